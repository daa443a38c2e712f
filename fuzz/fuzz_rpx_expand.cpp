// A whole container from bytes, expanded to TIFF and then to BMP: the header
// and strip readers, the block-sorting expander, the decoder and both writers.
// Whatever fails must fail as kirune::Error and leave no temporary behind.

#include <cstddef>
#include <cstdint>

#include "app/core/drivers.h"
#include "fuzz/fuzz_support.h"
#include "kirune/Error.h"

using namespace kirune;
using namespace kirune::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ScratchDir& dir = scratch();
    dir.clear();
    const std::string input = dir.path("in.rpx");
    writeInput(input, data, size);
    SilentUi ui;
    for (bool bmp : {false, true}) {
        JobSettings settings;
        settings.bmpOutput = bmp;
        settings.outputDir = dir.dir().string();
        try {
            expandFile(input, settings, ui);
        } catch (const Error&) {
            requireNoTemporaries();
        }
    }
    return 0;
}
