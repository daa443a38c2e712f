// Expansion to PNG (rpx --png): the TIFF expansion's samples, 8 bits when the
// input had 8, the resolution kept; and PNG inputs expand to TIFF and BMP too.

#include <gmock/gmock.h>

#include "app/core/drivers.h"
#include "container/rpx_container.h"
#include "tests/app/app_support.h"
#include "tests/container/png_support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;

namespace {

// A TIFF's interleaved samples.
std::vector<uint16_t> tiffSamples(const std::string& p) {
    std::vector<uint16_t> all;
    TIFF* tif = TIFFOpen(p.c_str(), "r");
    if (!tif) return all;
    uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    std::vector<uint16_t> line(std::size_t{w} * 3);
    for (uint32_t y = 0; y < h && TIFFReadScanline(tif, line.data(), y) == 1; ++y)
        all.insert(all.end(), line.begin(), line.end());
    TIFFClose(tif);
    return all;
}

// A bottom-up 24-bit BMP's samples as R, G, B top-down.
std::vector<uint16_t> bmpSamples(const std::string& p, int w, int h) {
    const std::vector<uint8_t> b = readFile(p);
    std::vector<uint16_t> all;
    const int stride = (3 * w + 3) & ~3;
    for (int y = h - 1; y >= 0; --y)
        for (int x = 0; x < w; ++x)
            for (int c = 2; c >= 0; --c) all.push_back(b.at(54 + std::size_t(y) * stride + 3 * x + c));
    return all;
}

std::vector<uint16_t> to8(std::vector<uint16_t> v) {
    for (uint16_t& s : v) s = uint16_t(std::min(255, (s + 128) >> 8));
    return v;
}

using PngOutput = ScratchDir;

TEST_F(PngOutput, HoldsTheTiffExpansionsSamplesAtTheInputsDepthWithItsResolution) {
    for (const int bits : {16, 8}) {
        SCOPED_TRACE(bits);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directory(dir);
        writePng(path("in.png"), {.width = 37, .height = 21, .bits = bits, .pixelsPerMetre = 11811});
        Quiet ui;
        const std::string rpx = compressFile(path("in.png"), FileKind::CompressPng, {}, ui).output;
        JobSettings s;
        const std::string tif = expandFile(rpx, s, ui).output;
        s.pngOutput = true;
        EXPECT_EQ(expandFile(rpx, s, ui).output, path("in_49-2.png"));
        s.pngOutput = false;
        s.bmpOutput = true;
        const std::string bmp = expandFile(rpx, s, ui).output;
        EXPECT_THAT(ui.warnings, IsEmpty());

        const std::vector<uint16_t> reference = tiffSamples(tif);
        ASSERT_EQ(reference.size(), 37u * 21 * 3);
        const ReadPng png = readPng(path("in_49-2.png"));
        EXPECT_EQ(png.width, 37);
        EXPECT_EQ(png.height, 21);
        EXPECT_EQ(png.channels, 3);
        EXPECT_EQ(png.bits, bits);
        EXPECT_EQ(png.pixelsPerMetre, 11811u);
        EXPECT_EQ(png.samples, bits == 16 ? reference : to8(reference));
        EXPECT_EQ(bmpSamples(bmp, 37, 21), to8(reference));
    }
}

TEST_F(PngOutput, AFailedExpansionLeavesNoPng) {
    writePng(path("in.png"), {});
    Quiet ui;
    const std::string rpx = compressFile(path("in.png"), FileKind::CompressPng, {}, ui).output;
    std::vector<uint8_t> bytes = readFile(rpx);
    bytes[bytes.size() / 2] ^= 0xff;  // the container checksum no longer matches
    writeFile(rpx, bytes);
    JobSettings s;
    s.pngOutput = true;
    EXPECT_THROW(expandFile(rpx, s, ui), Error);
    EXPECT_EQ(entries(), (std::set<std::string>{"in.png", "in_49-2.rpx"}));
}

}  // namespace
