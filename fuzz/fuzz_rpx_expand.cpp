// A whole container from bytes, expanded to TIFF and then to BMP: the header
// and strip readers, the block-sorting expander, the decoder and both writers;
// then walked as `rpx info` does, and read for a preview from its block means.
// Whatever fails must fail as kirune::Error and leave no temporary behind.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "app/core/drivers.h"
#include "container/preview_strips.h"
#include "container/rpx_container.h"
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
    bool expanded = false;
    for (bool bmp : {false, true}) {
        JobSettings settings;
        settings.bmpOutput = bmp;
        settings.outputDir = dir.dir().string();
        try {
            expandFile(input, settings, ui);
            expanded = true;
        } catch (const Error&) {
            requireNoTemporaries();
        }
    }
    // The layout walk of `rpx info` steps over the streams by their framing;
    // on a file that expanded it must land exactly on the end.
    try {
        OpenedContainer c = openContainer(input);
        ContainerReader& in = *c.reader;
        for (int32_t k = 0; k < c.coding.layout.stripCount; ++k) skipStripSection(in);
        if (expanded && in.remaining() != 0) std::abort();
    } catch (const Error&) {
        if (expanded) std::abort();
    }
    // The preview reads a subset of what expansion reads: a file that expanded
    // must give one.
    try {
        PreviewStrips preview(input);
        std::vector<uint16_t> rgb;
        while (preview.next())
            for (int32_t r = 0; r < preview.geometry().imageRows; r += 4) preview.blockRowRgb(r, rgb);
    } catch (const Error&) {
        if (expanded) std::abort();
    }
    return 0;
}
