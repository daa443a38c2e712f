#include <gmock/gmock.h>

#include "container/image_input.h"
#include "container/messages.h"
#include "support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;

namespace {

class ImageInput : public ScratchDir {
protected:
    // Reads every strip of `p` under a budget of 2^budgetLog2 pixels and checks
    // each coded sample against px through the mirror rules, converted as the
    // input's sample width says.
    void expectStrips(const std::string& p, InputFormat format, int budgetLog2, const Pixels& px = pattern) {
        std::unique_ptr<InputImage> in = openInputImage(p, format);
        TestImage s = layout(in->width(), in->height(), budgetLog2);
        s.alloc();
        const int W = in->width();
        for (int k = 0; k < s.stripCount; ++k) {
            readInputStrip(*in, s, k, s.strip);
            const bool last = k == s.stripCount - 1;
            const int rows = last ? s.lastStripRows : s.stripHeight;
            for (int r = 0; r < (last ? s.lastStripPaddedRows : s.stripHeight); ++r)
                for (int x = 0; x < s.paddedWidth; ++x)
                    for (int c = 0; c < 3; ++c) {
                        const int sr = r < rows ? r : std::max(0, 2 * rows - r - 2);
                        const uint16_t v = px(x < W ? x : std::max(0, 2 * W - x - 2), k * s.stripHeight + sr, c);
                        ASSERT_EQ(sample(s.strip, s, c, x, r), in->bitsPerSample() == 16 ? (v + 8) >> 4 : v >> 8)
                            << p << " strip " << k << " row " << r << " column " << x << " channel " << c;
                    }
        }
    }
};

TEST_F(ImageInput, EveryTiffLayoutLibtiffDecodesGivesTheSamePlanes) {
    const uint16_t deflate = COMPRESSION_ADOBE_DEFLATE, separate = PLANARCONFIG_SEPARATE;
    TiffLayout layouts[] = {{}, {.bits = 8}, {.compression = deflate, .rowsPerStrip = 11},
                            {.compression = COMPRESSION_LZW}, {.tile = 16},
                            {.bits = 8, .compression = deflate, .tile = 16}, {.planar = separate},
                            {.compression = deflate, .planar = separate}, {.planar = separate, .tile = 16}};
    // Column 1 holds the top 16-bit values, which round to 4096 only when the
    // sum is formed beyond 16 bits.
    const Pixels px = [](int x, int y, int c) { return x == 1 ? uint16_t(65535 - y % 9) : pattern(x, y, c); };
    for (TiffLayout& layout : layouts) {
        layout.width = 37, layout.height = 45;
        const std::string p = path(std::to_string(&layout - layouts) + ".tif");
        writeTiff(p, layout, px);
        // 2^9 pixels over 40 padded columns: strips of 8 rows, the last of 5.
        expectStrips(p, InputFormat::Tiff, 9, px);
    }
}

TEST_F(ImageInput, NarrowImagesAndShortLastStripsClampTheMirrorAndBmpRowsComeInEitherOrder) {
    // Budget 2^6 over 8 padded columns: strips of 8 rows, the last holding 1 to
    // 4. Odd heights are stored top-down; pixel data starts at 61, 68, 75, 82.
    for (int w = 1; w <= 4; ++w)
        for (int h : {1, 2, 3, 4, 17, 20}) {
            writeTiff(path("n.tif"), TiffLayout{.width = w, .height = h, .bits = 8});
            expectStrips(path("n.tif"), InputFormat::Tiff, 6);
            writeFile(path("n.bmp"), bmpBytes(w, h, h % 2, 54 + 7 * w));
            expectStrips(path("n.bmp"), InputFormat::Bmp, 6);
        }
    writeFile(path("wide.bmp"), bmpBytes(37, 45, true, 138));  // several blocks across
    expectStrips(path("wide.bmp"), InputFormat::Bmp, 9);
}

TEST_F(ImageInput, TheDescriptionRuleHoldsPerFile) {
    // Only a description of 4 to 30 bytes is the file's own.
    for (const auto& [d, own] : {std::pair{std::string("abc"), false}, {std::string(31, 'x'), false},
                                 {std::string(30, 'y'), true}, {std::string("abcd"), true}}) {
        ImageMetadata m;
        m.description = d;
        writeTiff(path("d.tif"), TiffLayout{.tags = &m});
        EXPECT_EQ(openInputImage(path("d.tif"), InputFormat::Tiff)->metadata.description, own ? d : creditText());
    }
    // Files without tags, read after one with its own description, carry nothing.
    ImageMetadata none;
    none.description = creditText();
    writeTiff(path("plain.tif"), TiffLayout{});
    EXPECT_EQ(fields(openInputImage(path("plain.tif"), InputFormat::Tiff)->metadata), fields(none));
    writeFile(path("plain.bmp"), bmpBytes(5, 4, false));
    EXPECT_EQ(fields(openInputImage(path("plain.bmp"), InputFormat::Bmp)->metadata), fields(none));
}

TEST_F(ImageInput, WhatCannotBeReadIsRefusedWithItsReason) {
    writeFile(path("text.tif"), {'h', 'e', 'l', 'l', 'o'});
    writeTiff(path("rgba.tif"), TiffLayout{.samples = 4});
    writeTiff(path("cmy.tif"), TiffLayout{.photometric = PHOTOMETRIC_SEPARATED});
    const auto bmp = [&](const char* name, size_t at, uint8_t value, size_t cut = 0) {
        std::vector<uint8_t> b = bmpBytes(5, 4, false);
        b[at] = value;
        writeFile(path(name), {b.begin(), b.end() - cut});
    };
    bmp("32.bmp", 28, 32), bmp("rle.bmp", 30, 1), bmp("nobm.bmp", 0, 'X'), bmp("short.bmp", 0, 'B', 1);
    using enum InputFormat;
    const std::tuple<std::string, InputFormat, std::string> cases[] = {
        {"missing.tif", Tiff, kCannotOpenInputText}, {"", Bmp, kNotRegularFileText},  // "": the folder
        {"text.tif", Tiff, kNotTiffText},            {"cmy.tif", Tiff, kUnsupportedTiffText},
        {"rgba.tif", Tiff, kUnsupportedTiffText + std::string(": SamplesPerPixel 4")},
        {"nobm.bmp", Bmp, kNotBmpText},              {"32.bmp", Bmp, kUnsupportedBmpText},
        {"rle.bmp", Bmp, kUnsupportedBmpText},       {"short.bmp", Bmp, kInputReadText},
    };
    ::testing::internal::CaptureStderr();
    for (const auto& [file, format, text] : cases)
        EXPECT_THAT(errorText([&] { openInputImage(path(file), format); }), StartsWith(text)) << file;
    // libtiff's complaints stay with the file they concern.
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    // Data that fails to decode fails the strip instead of leaving stale pixels.
    writeTiff(path("z.tif"), TiffLayout{.width = 40, .height = 40, .compression = COMPRESSION_ADOBE_DEFLATE,
                                      .rowsPerStrip = 40});
    std::vector<uint8_t> b = readFile(path("z.tif"));
    for (size_t i = 16; i < 200; ++i) b[i] ^= 0x5A;  // inside the only strip's deflate data
    writeFile(path("z.tif"), b);
    std::unique_ptr<InputImage> in = openInputImage(path("z.tif"), InputFormat::Tiff);
    TestImage s = layout(in->width(), in->height());
    s.alloc();
    EXPECT_THAT(errorText([&] { readInputStrip(*in, s, 0, s.strip); }), StartsWith(kInputReadText));
}

// A page after more thumbnails than the page walk reads is refused, never lost.
TEST_F(ImageInput, APageBeyondTheDirectoriesWalkedIsRefusedNotLost) {
    TIFF* tif = TIFFOpen(path("thumbs.tif").c_str(), "w");
    ASSERT_NE(tif, nullptr);
    const auto page = [&](uint32_t side, uint32_t subfile) {
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, subfile);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, side), TIFFSetField(tif, TIFFTAG_IMAGELENGTH, side);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8), TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        const std::vector<uint8_t> line(side * 3, 90);
        for (uint32_t y = 0; y < side; ++y) ASSERT_EQ(TIFFWriteScanline(tif, const_cast<uint8_t*>(line.data()), y, 0), 1);
        ASSERT_EQ(TIFFWriteDirectory(tif), 1);
    };
    page(8, 0);
    for (int i = 0; i < 300; ++i) page(1, FILETYPE_REDUCEDIMAGE);
    page(8, 0);
    TIFFClose(tif);
    EXPECT_EQ(errorMessage([&] { openInputImage(path("thumbs.tif"), InputFormat::Tiff); }).text,
              kTooManyDirectoriesText);
}

}  // namespace
