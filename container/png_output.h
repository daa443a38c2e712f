#pragma once
// PNG output: RGB of 16 bits (8 when the container came from an 8-bit
// PNG), or one grey sample for a greyscale picture (meta.grey; taken from
// the R plane, which greyStripPlanes made equal to G and B), written row by
// row through libpng as strips are decoded, with the resolution, ICC
// profile and texts the container carries. It goes to a
// temporary file that commit() renames over the final name.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/codec_state.h"
#include "container/metadata.h"
#include "container/output_file.h"

namespace kirune {

class PngOutput {
public:
    // Writes the signature and the chunks before the image data. `bits` is
    // 8 or 16. A chunk libpng refuses (an ICC profile it finds malformed) is
    // left out with a warning, never the picture.
    PngOutput(std::string outputPath, const ImageLayout& layout, int bits, const ImageMetadata& meta,
              const OutputOptions& options = {});
    ~PngOutput();
    PngOutput(const PngOutput&) = delete;
    PngOutput& operator=(const PngOutput&) = delete;
    const std::string& path() const { return file_.finalPath(); }
    std::vector<std::string> warnings() const;
    // Ends the image, checks every byte reached the file and renames it to
    // its final name; throws when a row is missing.
    void commit();

private:
    struct Handle;
    friend void writePngStrip(PngOutput&, const ImageLayout&, int32_t, const StripWork&);
    OutputFile file_;
    std::unique_ptr<Handle> handle_;  // libpng lets go before file_ goes
    int32_t height_ = 0;
    int32_t nextRow_ = 0;
};

// Writes the image rows of strip `stripIndex` (16-bit values big-endian, or
// (v + 128) >> 8 for 8 bits); strips must come in order.
void writePngStrip(PngOutput& out, const ImageLayout& layout, int32_t stripIndex, const StripWork& w);

}  // namespace kirune
