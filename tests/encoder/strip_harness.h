#pragma once
// Runs images through the whole codec in memory, strip by strip, as the two
// drivers would but without a container: 16-bit RGB in, plane preparation,
// the block encoder, the streams handed to a separate decoder state, the
// decoder, up-sampling and colour conversion, 16-bit RGB out. Every strip is
// decoded twice, by decoders with different earlier contents, and both are
// compared with the encoder's own reconstruction.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/payload.h"
#include "codec/val.h"

namespace kirune::harness {

// Interleaved R, G, B samples, row-major, top row first.
struct RgbImage {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint16_t> rgb;

    RgbImage() = default;
    RgbImage(int32_t w, int32_t h) : width(w), height(h), rgb(std::size_t(w) * std::size_t(h) * 3) {}
    uint16_t& at(int32_t x, int32_t y, int c) { return rgb[(std::size_t(y) * width + x) * 3 + c]; }
    uint16_t at(int32_t x, int32_t y, int c) const { return rgb[(std::size_t(y) * width + x) * 3 + c]; }
};

// A committed fixture tests/data/NAME.rgb16: u32 width, u32 height (little
// endian), then width x height x 3 little-endian u16 samples.
RgbImage loadFixture(const std::string& name);

struct CodecChoice {
    int32_t quality = 12;
    int32_t sampling = Sampling444;
    int32_t stripBudgetLog2 = kStripBudgetLog2;
};

// A codec state with buffers laid out for `img` (setupExpandGeometry).
CodecState stateFor(const RgbImage& img, const CodecChoice& choice);

// Fills rPlane, gPlane, bPlane of the current strip (beginStrip) as the image
// reader does: (v + 8) >> 4, bottom row first, padding mirrored without the
// edge (repeating the edge where the image is too small to mirror).
void loadStripRgb(const CodecState& s, StripWork& w, const RgbImage& img);

// Copies each stream's raw bytes and lengths, as the container's writer and
// reader would carry them.
void handOverStreams(const SideStreams& from, SideStreams& to);

// First difference between the encoder's and a decoder's coded, correction
// and mean planes over the current strip's regions; empty when identical.
std::string comparePlanes(const CodecState& enc, const CodecState& dec);

struct ImageResult {
    RgbImage decoded;
    std::string mismatch;  // first encoder/decoder or decoder/decoder difference, or empty
    std::array<uint64_t, kStreamCount> streamBytes{};  // raw lengths summed over the strips
    int32_t strips = 0;
    int32_t lastStripRowOffset = 0;

    uint64_t totalBytes() const;
    double bitsPerPixel(const RgbImage& img) const;
};

// Codes and decodes every strip of `img` in order; `secondDecode` adds the
// second decoder and its comparison (measurements may leave it out).
ImageResult runImage(const RgbImage& img, const CodecChoice& choice, bool secondDecode = true);

// RGB PSNR in dB over all three channels, 16-bit peak (65535).
double psnr16(const RgbImage& a, const RgbImage& b);

}  // namespace kirune::harness
