#pragma once
// Image output: a 16-bit RGB TIFF with the carried metadata, written a strip
// at a time, or a 24-bit BMP whose rows are written at their final offsets.
// A greyscale picture (meta.grey) becomes a one-sample TIFF of its own bits
// and photometric, taken from the R plane (greyStripPlanes made R = G = B).
// Both go to a temporary file that commit() renames over the final name, so a
// failed expansion leaves nothing behind and an existing file untouched.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/codec_state.h"
#include "container/metadata.h"
#include "container/output_file.h"
#include "container/trailer.h"

namespace kirune {

inline constexpr int kBmpHeaderBytes = 54;
inline constexpr int32_t kOutputBitsPerSample = 16;

class TiffOutput;

// Sample (x, strip row r) of a decoded plane, as the unsigned value it stands
// for (planes hold the strip bottom row first).
inline uint16_t sampleAt(const BlockPlane& plane, const ImageLayout& layout, int32_t x, int32_t r) {
    const int32_t y = layout.stripHeight - 1 - r;
    return static_cast<uint16_t>(plane[static_cast<std::size_t>((y >> 2) * (layout.paddedWidth / 4) + (x >> 2))]
                                     .lane[(y & 3) * 4 + (x & 3)]);
}

// Image row r of a decoded strip, R, G, B interleaved, into line (3 * width
// samples).
void interleaveRow(const ImageLayout& layout, int32_t r, const StripWork& w, uint16_t* line);

// How an expanded TIFF's pixels are stored. The compressed kinds use the
// horizontal predictor and strips of about 256 KiB, written as they come.
enum class TiffCompression { None, Deflate, Zstd, Lzw };

// Creates the TIFF with exactly these tags: PhotometricInterpretation RGB,
// SamplesPerPixel 3, PlanarConfiguration 1, ImageWidth, ImageLength,
// BitsPerSample 16 (grey: meta.grey's photometric and bits, 1 sample), the photograph's own ImageDescription (never the program's
// credit that the header holds in its place), and when xResolution > 0 the
// three resolution tags, then each carried text and the ICC profile when present.
// Metadata never blocks the pixels: a carried tag that libtiff refuses (a
// resolution unit of 0 or out of range, a resolution that is not a number)
// is left out with a warning.
std::unique_ptr<TiffOutput> openTiffOutput(const std::string& outputPath, const ImageLayout& layout,
                                           const ImageMetadata& meta, const OutputOptions& options = {},
                                           TiffCompression compression = TiffCompression::None);

// Writes the image rows of strip `stripIndex` from w.rPlane, w.gPlane, w.bPlane
// (16-bit values, unchanged); strips must come in order. With `stripSum`, also
// the strip's pixel checksum (stripPixelChecksum) from the rows as written.
void writeTiffStrip(TiffOutput& out, const ImageLayout& layout, int32_t stripIndex, const StripWork& w,
                    Checksum128* stripSum = nullptr);

// Completes the TIFF: directory written, the file read back with libtiff
// (every strip within the file and the image's samples all there, the
// carried tags' directories readable, else libtiff's own directory instead,
// with a warning), its size checked against what was written, and renamed
// to its final name. A picture whose classic TIFF would pass 4 GiB is a
// BigTIFF; a compressed one that unexpectedly does fails with libtiff's reason.
void finishTiffOutput(TiffOutput& out);

class TiffOutput {
public:
    ~TiffOutput();
    TiffOutput(const TiffOutput&) = delete;
    TiffOutput& operator=(const TiffOutput&) = delete;
    const std::string& path() const { return file_.finalPath(); }
    // Tags left out and libtiff's own warnings, each once.
    std::vector<std::string> warnings() const;
    struct Handle;  // libtiff's state, opaque outside image_output.cpp

private:
    TiffOutput(std::string path, const OutputOptions& options);
    friend std::unique_ptr<TiffOutput> openTiffOutput(const std::string&, const ImageLayout&, const ImageMetadata&,
                                                      const OutputOptions&, TiffCompression);
    friend void writeTiffStrip(TiffOutput&, const ImageLayout&, int32_t, const StripWork&, Checksum128*);
    friend void finishTiffOutput(TiffOutput&);

    OutputFile file_;
    std::unique_ptr<Handle> handle_;  // closed before file_ goes
    int32_t nextRow_ = 0;
};

// Where a bottom-up 24-bit BMP of the image puts its rows: each padded to a
// multiple of 4 bytes, after the header. The size may exceed what the header
// can hold; buildBmpHeader checks.
struct BmpGeometry {
    int32_t rowStride = 0;
    int64_t fileSize = 0;
};
BmpGeometry bmpGeometry(const ImageLayout& layout);

// The 54 header bytes of a bottom-up 24-bit BMP of the image, at the
// resolution `meta` carries (2835 pixels per metre, 72 dpi, when it carries
// none in inches or centimetres). Throws Error(kBmpTooLargeText) when the file
// size does not fit the format's 32-bit size field.
std::array<uint8_t, kBmpHeaderBytes> buildBmpHeader(const ImageLayout& layout, const ImageMetadata& meta = {});

// A BMP being written: the header at once, each strip's rows at their final
// offsets, so the image is never assembled whole in memory.
class BmpOutput {
public:
    BmpOutput(std::string outputPath, const ImageLayout& layout, const OutputOptions& options = {},
              const ImageMetadata& meta = {});
    const std::string& path() const { return file_.finalPath(); }
    // Renames the complete file over its final name; throws when a strip is
    // missing.
    void commit();

private:
    friend void writeBmpStrip(BmpOutput&, const ImageLayout&, int32_t, const StripWork&);
    OutputFile file_;
    int64_t height_ = 0;
    int64_t fileSize_ = 0;
    int64_t rowsWritten_ = 0;
    std::vector<uint8_t> rows_;  // one strip of file rows
};

// Writes strip `stripIndex`: image row i goes to byte 54 + (H - 1 - i) *
// rowStride as (B + 128) >> 8, (G + 128) >> 8, (R + 128) >> 8 per pixel,
// with the padding bytes 0.
void writeBmpStrip(BmpOutput& out, const ImageLayout& layout, int32_t stripIndex, const StripWork& w);

}  // namespace kirune
