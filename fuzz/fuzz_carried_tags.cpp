// A metadata blob as a container's trailer carries it: checked, and when
// accepted written into a small TIFF, which libtiff must then read back.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include <tiffio.h>

#include "container/carried_tags.h"
#include "fuzz/fuzz_support.h"
#include "kirune/Error.h"

using namespace kirune;
using namespace kirune::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> blob(data, size);
    try {
        checkCarriedTags(blob);
    } catch (const Error&) {
        return 0;
    }
    const ScratchDir& dir = scratch();
    dir.clear();
    const std::string path = dir.path("out.tif");
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif) std::abort();
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 4), TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 2);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16), TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB), TIFFSetField(tif, TIFFTAG_PLANARCONFIG, 1);
    std::vector<uint16_t> line(12, 1000);
    for (uint32_t y = 0; y < 2; ++y)
        if (TIFFWriteScanline(tif, line.data(), y, 0) != 1) std::abort();
    std::vector<std::string> warnings;
    if (TIFFFlush(tif) != 1) std::abort();
    try {
        appendCarriedTags(tif, blob, warnings);
    } catch (const Error&) {
        std::abort();  // the blob was accepted: writing it may warn, never fail
    }
    TIFFClose(tif);
    // What was written must read back: same pixels, every directory, and the
    // tags again as a blob.
    tif = TIFFOpen(path.c_str(), "r");
    if (!tif || !unreadableSubDirectory(tif).empty()) std::abort();
    std::vector<uint16_t> back(12);
    for (uint32_t y = 0; y < 2; ++y)
        if (TIFFReadScanline(tif, back.data(), y, 0) != 1 || back != line) std::abort();
    const std::vector<uint8_t> again = readCarriedTags(tif, warnings);
    TIFFClose(tif);
    checkCarriedTags(again);
    return 0;
}
