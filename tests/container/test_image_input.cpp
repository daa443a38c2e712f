#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "container/image_input.h"
#include "container/messages.h"
#include "kirune/Error.h"
#include "support.h"

namespace kirune {
namespace {

using test::bmpBytes;
using test::pattern;
using test::Pixels;
using test::TiffLayout;
using test::writeFile;
using test::writeTiff;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class ImageInput : public test::ScratchDir {
protected:
    // Reads every strip of `p` under a budget of 2^budgetLog2 pixels and checks
    // each coded sample against px through the mirror rules, converted as
    // the input's sample width says.
    void expectStrips(const std::string& p, InputFormat format, int budgetLog2, const Pixels& px = pattern) {
        std::unique_ptr<InputImage> in = openInputImage(p, format);
        CodecState s;
        s.sourceWidth = in->width();
        s.stripImageRows = in->height();
        s.stripBudgetLog2 = budgetLog2;
        computeStripLayout(s);
        allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
        const int W = in->width();
        for (int k = 0; k < s.stripCount; ++k) {
            readInputStrip(*in, s, k, s.strip);
            const bool last = k == s.stripCount - 1;
            const int rows = last ? s.lastStripRows : s.stripHeight;
            const int coded = last ? s.lastStripPaddedRows : s.stripHeight;
            const BlockPlane* planes[3] = {&s.strip.rPlane, &s.strip.gPlane, &s.strip.bPlane};
            for (int r = 0; r < coded; ++r)
                for (int x = 0; x < s.paddedWidth; ++x)
                    for (int c = 0; c < 3; ++c) {
                        const int sx = x < W ? x : std::max(0, 2 * W - x - 2);
                        const int sr = r < rows ? r : std::max(0, 2 * rows - r - 2);
                        const uint16_t v = px(sx, k * s.stripHeight + sr, c);
                        const int want = in->bitsPerSample() == 16 ? (v + 8) >> 4 : v >> 8;
                        const int y = s.stripHeight - 1 - r;
                        ASSERT_EQ((*planes[c])[(y / 4) * (s.paddedWidth / 4) + x / 4].lane[(y % 4) * 4 + x % 4], want)
                            << p << " strip " << k << " row " << r << " column " << x << " channel " << c;
                    }
        }
    }
    std::string refusal(const std::string& p, InputFormat format) {
        try {
            openInputImage(p, format);
        } catch (const Error& e) {
            return e.what();
        }
        return "accepted";
    }
};

TEST_F(ImageInput, EveryTiffLayoutLibtiffDecodesGivesTheSamePlanes) {
    std::vector<TiffLayout> layouts(9);
    layouts[1].bits = 8;
    layouts[2].compression = COMPRESSION_ADOBE_DEFLATE, layouts[2].rowsPerStrip = 11;
    layouts[3].compression = COMPRESSION_LZW;
    layouts[4].tile = 16;
    layouts[5].tile = 16, layouts[5].compression = COMPRESSION_ADOBE_DEFLATE, layouts[5].bits = 8;
    layouts[6].planar = PLANARCONFIG_SEPARATE;
    layouts[7].planar = PLANARCONFIG_SEPARATE, layouts[7].compression = COMPRESSION_ADOBE_DEFLATE;
    layouts[8].planar = PLANARCONFIG_SEPARATE, layouts[8].tile = 16;
    for (size_t i = 0; i < layouts.size(); ++i) {
        layouts[i].width = 37, layouts[i].height = 45;
        const std::string p = path(std::to_string(i) + ".tif");
        writeTiff(p, layouts[i]);
        // 2^9 pixels over 40 padded columns: strips of 8 rows, the last of 5.
        expectStrips(p, InputFormat::Tiff, 9);
    }
}

TEST_F(ImageInput, SixteenBitSamplesRoundToTwelveBits) {
    const Pixels px = [](int x, int, int) -> uint16_t { return x == 0 ? 65535 : x == 1 ? 8 : 7; };
    writeTiff(path("c.tif"), TiffLayout{.width = 3, .height = 1}, px);
    CodecState s;
    std::unique_ptr<InputImage> in = openInputImage(path("c.tif"), InputFormat::Tiff, s);
    allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
    readInputStrip(*in, s);
    const int16_t* row = s.strip.rPlane[2].lane + 12;  // buffer row 7 of 2-block rows: image row 0
    EXPECT_EQ(row[0], 4096);
    EXPECT_EQ(row[1], 1);
    EXPECT_EQ(row[2], 0);
}

TEST_F(ImageInput, BmpRowsInEitherOrderAndAtAnyOffset) {
    const struct {
        int w, h;
        bool topDown;
        uint32_t offset;
    } cases[] = {{37, 45, false, 54}, {37, 45, true, 54}, {37, 45, false, 61}, {6, 17, true, 138}};
    for (const auto& c : cases) {
        writeFile(path("i.bmp"), bmpBytes(c.w, c.h, c.topDown, c.offset));
        expectStrips(path("i.bmp"), InputFormat::Bmp, 9);
    }
}

TEST_F(ImageInput, NarrowImagesAndShortLastStripsClampTheMirror) {
    // Budget 2^6 over 8 padded columns: strips of 8 rows, the last holding
    // 1 to 4 rows.
    for (int w = 1; w <= 4; ++w)
        for (int h : {1, 2, 3, 4, 17, 20}) {
            writeTiff(path("n.tif"), TiffLayout{.width = w, .height = h, .bits = 8});
            expectStrips(path("n.tif"), InputFormat::Tiff, 6);
            writeFile(path("n.bmp"), bmpBytes(w, h, false));
            expectStrips(path("n.bmp"), InputFormat::Bmp, 6);
        }
}

TEST_F(ImageInput, TagsAreCarriedAndTheDescriptionRuleHoldsPerFile) {
    const uint8_t icc[] = {0, 1, 2, 250};
    writeTiff(path("tags.tif"), TiffLayout{.tags = [&](TIFF* t) {
                  TIFFSetField(t, TIFFTAG_MAKE, "Maker");
                  TIFFSetField(t, TIFFTAG_MODEL, "M-1");
                  TIFFSetField(t, TIFFTAG_SOFTWARE, "\x8A\x4A");
                  TIFFSetField(t, TIFFTAG_DATETIME, "2024:01:02 03:04:05");
                  TIFFSetField(t, TIFFTAG_ARTIST, "");
                  TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER);
                  TIFFSetField(t, TIFFTAG_XRESOLUTION, 118.5);
                  TIFFSetField(t, TIFFTAG_YRESOLUTION, 100.0);
                  TIFFSetField(t, TIFFTAG_ICCPROFILE, 4u, icc);
                  TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, "abcd");
              }});
    const ImageMetadata m = openInputImage(path("tags.tif"), InputFormat::Tiff)->metadata;
    EXPECT_EQ(m.make, "Maker");
    EXPECT_EQ(m.model, "M-1");
    EXPECT_EQ(m.software, "\x8A\x4A");
    EXPECT_EQ(m.dateTime, "2024:01:02 03:04:05");
    EXPECT_EQ(m.artist, "");
    EXPECT_EQ(m.resolutionUnit, RESUNIT_CENTIMETER);
    EXPECT_EQ(m.xResolution, 118.5f);
    EXPECT_EQ(m.yResolution, 100.0f);
    EXPECT_EQ(m.iccProfile, std::vector<uint8_t>(icc, icc + 4));
    EXPECT_EQ(m.description, "abcd");

    // An untagged file after it carries nothing of it.
    writeTiff(path("plain.tif"), TiffLayout{});
    const ImageMetadata plain = openInputImage(path("plain.tif"), InputFormat::Tiff)->metadata;
    EXPECT_FALSE(plain.make || plain.model || plain.software || plain.dateTime || plain.artist);
    EXPECT_EQ(plain.resolutionUnit, 0);
    EXPECT_EQ(plain.xResolution, 0.0f);
    EXPECT_TRUE(plain.iccProfile.empty());
    EXPECT_EQ(plain.description, creditText());

    for (const std::string& d : {std::string("abc"), std::string(31, 'x'), std::string(30, 'y')}) {
        writeTiff(path("d.tif"), TiffLayout{.tags = [&](TIFF* t) { TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, d.c_str()); }});
        EXPECT_EQ(openInputImage(path("d.tif"), InputFormat::Tiff)->metadata.description,
                  d.size() == 30 ? d : creditText());
    }
}

TEST(CreditText, IsTheDeveloperLabelInCp932AndFitsTheField) {
    EXPECT_EQ(creditText(), "\x8A\x4A\x94\xAD\x8E\xD2\x81\x46Kirune");
    EXPECT_LE(creditText().size(), 31u);
}

TEST_F(ImageInput, WhatCannotBeReadIsRefusedBeforeAnyOutputWithItsReason) {
    writeFile(path("text.tif"), {'h', 'e', 'l', 'l', 'o'});
    writeTiff(path("rgba.tif"), TiffLayout{.samples = 4});
    writeTiff(path("grey.tif"), TiffLayout{.samples = 1, .photometric = PHOTOMETRIC_MINISBLACK});
    writeTiff(path("cmy.tif"), TiffLayout{.photometric = PHOTOMETRIC_SEPARATED});
    std::vector<uint8_t> bmp = bmpBytes(5, 4, false);
    writeFile(path("ok.bmp"), bmp);
    bmp[28] = 32;
    writeFile(path("32.bmp"), bmp);
    bmp[28] = 24, bmp[30] = 1;
    writeFile(path("rle.bmp"), bmp);
    bmp[30] = 0, bmp[0] = 'X';
    writeFile(path("nobm.bmp"), bmp);
    bmp[0] = 'B';
    bmp.resize(bmp.size() - 1);
    writeFile(path("short.bmp"), bmp);

    ::testing::internal::CaptureStderr();
    EXPECT_THAT(refusal(path("missing.tif"), InputFormat::Tiff), StartsWith(kCannotOpenInputText));
    EXPECT_THAT(refusal(dir.string(), InputFormat::Bmp), StartsWith(kCannotOpenInputText));
    EXPECT_THAT(refusal(path("text.tif"), InputFormat::Tiff), StartsWith(kNotTiffText));
    EXPECT_THAT(refusal(path("ok.bmp"), InputFormat::Tiff), StartsWith(kNotTiffText));
    EXPECT_THAT(refusal(path("rgba.tif"), InputFormat::Tiff), HasSubstr("SamplesPerPixel 4"));
    EXPECT_THAT(refusal(path("grey.tif"), InputFormat::Tiff), StartsWith(kUnsupportedTiffText));
    EXPECT_THAT(refusal(path("cmy.tif"), InputFormat::Tiff), HasSubstr("PhotometricInterpretation 5"));
    EXPECT_THAT(refusal(path("text.tif"), InputFormat::Bmp), StartsWith(kNotBmpText));
    EXPECT_THAT(refusal(path("nobm.bmp"), InputFormat::Bmp), StartsWith(kNotBmpText));
    EXPECT_THAT(refusal(path("32.bmp"), InputFormat::Bmp), StartsWith(kUnsupportedBmpText));
    EXPECT_THAT(refusal(path("rle.bmp"), InputFormat::Bmp), StartsWith(kUnsupportedBmpText));
    EXPECT_THAT(refusal(path("short.bmp"), InputFormat::Bmp), StartsWith(kInputReadText));
    // libtiff's complaints stay with the file they concern.
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(ImageInput, DamagedTiffDataFailsTheStripWithAMessage) {
    writeTiff(path("z.tif"), TiffLayout{.width = 40, .height = 40, .compression = COMPRESSION_ADOBE_DEFLATE,
                                      .rowsPerStrip = 40});
    std::vector<uint8_t> b = test::readFile(path("z.tif"));
    for (size_t i = 16; i < 200; ++i) b[i] ^= 0x5A;  // inside the only strip's deflate data
    writeFile(path("z.tif"), b);
    CodecState s;
    std::unique_ptr<InputImage> in = openInputImage(path("z.tif"), InputFormat::Tiff, s);
    allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
    try {
        readInputStrip(*in, s);
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_THAT(e.what(), StartsWith(kInputReadText));
    }
}

}  // namespace
}  // namespace kirune
