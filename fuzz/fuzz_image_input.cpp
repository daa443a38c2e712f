// A TIFF (KIRUNE_FUZZ_TIFF), a PNG (KIRUNE_FUZZ_PNG) or a BMP from bytes as compression input. Small
// images are compressed whole, with the preset chosen by the input's length;
// larger ones up to kReadLimit pixels are only read strip by strip, so that a
// header claiming a huge image stays quick; beyond that only the header is.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "app/core/drivers.h"
#include "codec/codec_state.h"
#include "container/image_input.h"
#include "fuzz/fuzz_support.h"
#include "kirune/Error.h"

using namespace kirune;
using namespace kirune::fuzz;

namespace {

#ifdef KIRUNE_FUZZ_TIFF
constexpr InputFormat kFormat = InputFormat::Tiff;
constexpr FileKind kKind = FileKind::CompressTiff;
constexpr const char* kName = "in.tif";
#elif defined(KIRUNE_FUZZ_PNG)
constexpr InputFormat kFormat = InputFormat::Png;
constexpr FileKind kKind = FileKind::CompressPng;
constexpr const char* kName = "in.png";
#else
constexpr InputFormat kFormat = InputFormat::Bmp;
constexpr FileKind kKind = FileKind::CompressBmp;
constexpr const char* kName = "in.bmp";
#endif

constexpr int64_t kCompressLimit = int64_t{1} << 16;
constexpr int64_t kReadLimit = int64_t{1} << 22;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ScratchDir& dir = scratch();
    dir.clear();
    const std::string input = dir.path(kName);
    writeInput(input, data, size);
    int64_t pixels = 0;
    try {
        std::unique_ptr<InputImage> in = openInputImage(input, kFormat);
        const ImageLayout layout = computeStripLayout(in->width(), in->height(), kStripBudgetLog2);
        pixels = int64_t{in->width()} * in->height();
        if (pixels > kCompressLimit && pixels <= kReadLimit) {
            StripWork w;
            allocCodecBuffers(w, Sampling444, layout.paddedWidth, layout.stripHeight);
            for (int32_t k = 0; k < layout.stripCount; ++k) readInputStrip(*in, layout, k, w);
        }
    } catch (const Error&) {
        return 0;
    }
    if (pixels > kCompressLimit) return 0;
    const JobSettings settings = presetSettings(size, dir.dir().string());
    SilentUi ui;
    try {
        compressFile(input, kKind, settings, ui);
    } catch (const Error&) {
        requireNoTemporaries();
    }
    return 0;
}
