#pragma once
// Runs images through the whole codec in memory, strip by strip, with the
// drivers' own pipeline (encodeStrip; decodeStripResiduals, residualsToRgb)
// but without a container: 16-bit RGB in, the streams copied to separate
// decoder working sets, 16-bit RGB out.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/codec_state.h"
#include "codec/stream_syntax.h"
#include "tests/codec/codec_test.h"

namespace kirune::harness {

// Interleaved R, G, B samples, row-major, top row first.
struct RgbImage {
    int32_t width = 0, height = 0;
    std::vector<uint16_t> rgb;

    RgbImage() = default;
    RgbImage(int32_t w, int32_t h) : width(w), height(h), rgb(std::size_t(w) * std::size_t(h) * 3) {}
    uint16_t& at(int32_t x, int32_t y, int c) { return rgb[(std::size_t(y) * width + x) * 3 + c]; }
    uint16_t at(int32_t x, int32_t y, int c) const { return rgb[(std::size_t(y) * width + x) * 3 + c]; }
};

// tests/data/NAME.rgb16: u32 width, u32 height, then width x height x 3 u16
// samples, all little endian.
RgbImage loadFixture(const std::string& name);

struct CodecChoice {
    int32_t quality = 12;
    int32_t sampling = Sampling444;
    int32_t stripBudgetLog2 = kStripBudgetLog2;
};

// A strip of `img` with its working set allocated.
TestStrip stateFor(const RgbImage& img, const CodecChoice& choice);

// Each stream's bytes up to its raw length, as the container carries them.
using Streams = std::array<std::vector<uint8_t>, kStreamCount>;

// How encodeImageStrip codes: planes side by side on `planeThreads`, and the
// rate-aware coder in place of the cascade.
struct EncodeOptions {
    int planeThreads = 1;
    bool rateAware = false;
    double lambdaScale = 1.0;  // of the rate-aware coder
    bool meetCascade = false;  // the rate-aware coder under the cascade's error
    bool reuseCascadeSearches = true;
};

// Loads strip k of `img` as the image reader does ((v + 8) >> 4, bottom row
// first, padding mirrored) and encodes it.
Streams encodeImageStrip(TestStrip& enc, const RgbImage& img, int32_t k, const EncodeOptions& options = {});

// Decodes strip k from streams of any length into RGB planes, as expansion
// does (means and residuals only). A stream longer than its buffer is
// damaged data, as the container's reader refuses it.
void decodeStreams(TestStrip& dec, int32_t k, const Streams& streams);

struct ImageResult {
    RgbImage decoded;
    std::string mismatch;  // first encoder/decoder or decoder/decoder difference, or empty
    uint64_t bytes = 0;    // of the seven streams over all strips
};

// Codes and decodes every strip; the decoder's planes must equal the
// encoder's reconstruction. `secondDecode` adds a decoder as expansion runs
// it (decodeStreams), its buffers scrambled before every strip, whose RGB
// output must be the same.
ImageResult runImage(const RgbImage& img, const CodecChoice& choice, bool secondDecode = true,
                     const EncodeOptions& options = {});

// RGB PSNR in dB over all three channels, 16-bit peak.
double psnr16(const RgbImage& a, const RgbImage& b);

}  // namespace kirune::harness
