// An image from bytes (a BMP when it starts with "BM", a TIFF otherwise)
// compressed and its container expanded to TIFF and to BMP. Refusing the
// image is fine; accepting it and then failing to give it back in either form
// is the fault hunted here, so that aborts with the error text. Images are
// kept far below the 4 GiB BMP limit, so no expansion refusal is legitimate.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "app/core/drivers.h"
#include "container/image_input.h"
#include "fuzz/fuzz_support.h"
#include "kirune/Error.h"

using namespace kirune;
using namespace kirune::fuzz;

namespace {

// Whole images are compressed and expanded twice: keep them small so that a
// header claiming a huge image stays quick.
constexpr int64_t kPixelLimit = int64_t{1} << 16;

[[noreturn]] void fail(const char* stage, const std::string& input, const char* what) {
    std::fprintf(stderr, "fuzz_roundtrip: %s of %s failed: %s\n", stage, input.c_str(), what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ScratchDir& dir = scratch();
    dir.clear();
    const bool bmp = size >= 2 && data[0] == 'B' && data[1] == 'M';
    const InputFormat format = bmp ? InputFormat::Bmp : InputFormat::Tiff;
    const FileKind kind = bmp ? FileKind::CompressBmp : FileKind::CompressTiff;
    const std::string input = dir.path(bmp ? "in.bmp" : "in.tif");
    writeInput(input, data, size);
    try {
        std::unique_ptr<InputImage> in = openInputImage(input, format);
        if (int64_t{in->width()} * in->height() > kPixelLimit) return 0;
    } catch (const Error&) {
        return 0;
    }

    // The input's length picks the preset.
    JobSettings settings = presetSettings(size, dir.dir().string());
    settings.threads = 1;
    SilentUi ui;
    std::string container;
    try {
        container = compressFile(input, kind, settings, ui).output;
    } catch (const Error&) {
        requireNoTemporaries();
        return 0;
    } catch (const std::exception& e) {
        fail("compression", input, e.what());
    }
    requireNoTemporaries();

    for (bool toBmp : {false, true}) {
        settings.bmpOutput = toBmp;
        try {
            expandFile(container, settings, ui);
        } catch (const std::exception& e) {
            fail(toBmp ? "expansion to BMP" : "expansion to TIFF", input, e.what());
        }
        requireNoTemporaries();
    }
    return 0;
}
