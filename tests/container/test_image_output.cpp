#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "container/image_input.h"
#include "container/image_output.h"
#include "container/messages.h"
#include "container/rpx_container.h"
#include "kirune/Error.h"
#include "support.h"

namespace kirune {
namespace {

using test::readFile;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::StartsWith;

uint32_t le(const std::vector<uint8_t>& b, size_t at, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | b[at + i];
    return v;
}

// Tags of a little-endian classic TIFF's first directory.
std::set<uint16_t> directoryTags(const std::vector<uint8_t>& b) {
    std::set<uint16_t> tags;
    const uint32_t ifd = le(b, 4, 4);
    for (uint32_t i = 0; i < le(b, ifd, 2); ++i) tags.insert(static_cast<uint16_t>(le(b, ifd + 2 + 12 * i, 2)));
    return tags;
}

// A W x H layout (W at most 16) in strips of 8 rows; fill(k) sets sample
// (x, image row) of channel c to value(x, row, c) in strip k's planes.
struct Reconstruction {
    CodecState s;
    std::function<uint16_t(int, int, int)> value;
    Reconstruction(int w, int h, std::function<uint16_t(int, int, int)> v) : value(std::move(v)) {
        s.sourceWidth = w, s.stripImageRows = h, s.stripBudgetLog2 = w > 8 ? 7 : 6;
        computeStripLayout(s);
        allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
    }
    void fill(int k) {
        BlockPlane* planes[3] = {&s.strip.rPlane, &s.strip.gPlane, &s.strip.bPlane};
        for (int r = 0; r < s.stripHeight; ++r)
            for (int x = 0; x < s.paddedWidth; ++x)
                for (int c = 0; c < 3; ++c) {
                    const int y = s.stripHeight - 1 - r;
                    (*planes[c])[(y / 4) * (s.paddedWidth / 4) + x / 4].lane[(y % 4) * 4 + x % 4] =
                        static_cast<int16_t>(value(x, k * s.stripHeight + r, c));
                }
    }
};

TEST(BmpHeader, MatchesTheFormatsFieldsFor1001x10) {
    CodecState s;
    s.sourceWidth = 1001, s.stripImageRows = 10;
    computeStripLayout(s);
    const auto h = buildBmpHeader(s);
    const std::vector<uint8_t> b(h.begin(), h.end());
    EXPECT_EQ(s.bmpRowStride, 3004);
    EXPECT_THAT(std::vector<uint8_t>(b.begin(), b.begin() + 2), ElementsAre('B', 'M'));
    const std::vector<uint32_t> fields = {le(b, 2, 4),  le(b, 6, 4),  le(b, 10, 4), le(b, 14, 4), le(b, 18, 4),
                                          le(b, 22, 4), le(b, 26, 2), le(b, 28, 2), le(b, 30, 4), le(b, 34, 4),
                                          le(b, 38, 4), le(b, 42, 4), le(b, 46, 4), le(b, 50, 4)};
    EXPECT_THAT(fields, ElementsAre(54 + 30040, 0, 54, 40, 1001, 10, 1, 24, 0, 0, 2835, 2835, 0, 0));
}

class ImageOutput : public test::ScratchDir {};

TEST_F(ImageOutput, BmpRowsLandBottomUpRoundedWithZeroPadding) {
    // 65280 -> 255, 128 -> 1, 127 -> 0; row 0 ends the file.
    Reconstruction rec(5, 11, [](int x, int y, int c) -> uint16_t {
        const uint16_t v[] = {65280, 128, 127, uint16_t(y * 256 + c * 2560), uint16_t(x * 1000)};
        return x < 5 ? v[x] : 0;  // columns past the image are never written
    });
    {
        BmpOutput out(path("o.bmp"), rec.s);
        for (int k = rec.s.stripCount - 1; k >= 0; --k) {  // any order: rows go to their offsets
            rec.fill(k);
            writeBmpStrip(out, rec.s, k, rec.s.strip);
        }
        out.commit();
    }
    const std::vector<uint8_t> b = readFile(path("o.bmp"));
    ASSERT_EQ(b.size(), 54u + 16 * 11);
    for (int y = 0; y < 11; ++y) {
        const uint8_t* row = &b[54 + (10 - y) * 16];
        for (int x = 0; x < 5; ++x)
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(row[3 * x + 2 - c], std::min(255, (rec.value(x, y, c) + 128) >> 8)) << x << "," << y;
        EXPECT_EQ(row[15], 0);
    }
    EXPECT_EQ(b[54 + 10 * 16], 255);  // top-left blue of 65280
}

TEST_F(ImageOutput, BmpBeyondFourGibibytesIsRefusedBeforeAnyFileExists) {
    CodecState s;
    s.sourceWidth = 524288, s.stripImageRows = 2800;
    computeStripLayout(s);
    try {
        BmpOutput out(path("big.bmp"), s);
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_THAT(e.what(), StartsWith(kBmpTooLargeText));
    }
    EXPECT_TRUE(entries().empty());
}

TEST_F(ImageOutput, TiffCarriesTheSamplesAndExactlyTheListedTags) {
    Reconstruction rec(13, 19, [](int x, int y, int c) { return uint16_t(x * 5000 + y * 300 + c * 7); });
    ImageMetadata meta;
    meta.description = "abcd";
    meta.make = "Maker", meta.model = "M", meta.software = "S", meta.dateTime = "2024:01:01 00:00:00";
    meta.artist = "\x8A\x4A";
    meta.resolutionUnit = 2, meta.xResolution = 350.0f, meta.yResolution = 351.0f;
    meta.iccProfile = {7, 0, 7};
    auto out = openTiffOutput(path("o.tif"), rec.s, meta);
    for (int k = 0; k < rec.s.stripCount; ++k) {
        rec.fill(k);
        writeTiffStrip(*out, rec.s, k, rec.s.strip);
    }
    EXPECT_TRUE(entries().size() == 1 && entries()[0] != "o.tif");  // still under its temporary name
    finishTiffOutput(*out);

    // libtiff adds only Compression 1 and the offset and size of its one strip.
    EXPECT_EQ(directoryTags(readFile(path("o.tif"))),
              (std::set<uint16_t>{256, 257, 258, 259, 262, 270, 271, 272, 273, 277, 279, 282, 283, 284, 296, 305,
                                  306, 315, 34675}));
    // What a reader of the file sees is what the container carried.
    const std::unique_ptr<InputImage> in = openInputImage(path("o.tif"), InputFormat::Tiff);
    EXPECT_EQ(in->metadata.make, meta.make);
    EXPECT_EQ(in->metadata.model, meta.model);
    EXPECT_EQ(in->metadata.software, meta.software);
    EXPECT_EQ(in->metadata.dateTime, meta.dateTime);
    EXPECT_EQ(in->metadata.artist, meta.artist);
    EXPECT_EQ(in->metadata.description, "abcd");
    EXPECT_EQ(in->metadata.resolutionUnit, 2);
    EXPECT_EQ(in->metadata.xResolution, 350.0f);
    EXPECT_EQ(in->metadata.yResolution, 351.0f);
    EXPECT_EQ(in->metadata.iccProfile, meta.iccProfile);
    EXPECT_EQ(in->bitsPerSample(), 16);

    TIFF* tif = TIFFOpen(path("o.tif").c_str(), "r");
    ASSERT_NE(tif, nullptr);
    std::vector<uint16_t> line(13 * 3);
    for (int y = 0; y < 19; ++y) {
        ASSERT_EQ(TIFFReadScanline(tif, line.data(), y, 0), 1);
        for (int x = 0; x < 13; ++x)
            for (int c = 0; c < 3; ++c) ASSERT_EQ(line[3 * x + c], rec.value(x, y, c));
    }
    TIFFClose(tif);
}

TEST_F(ImageOutput, MetadataOfAnUntaggedInputLeavesOutResolutionTextsAndProfile) {
    Reconstruction rec(8, 8, [](int, int, int) { return uint16_t(0); });
    ImageMetadata meta;
    meta.description = creditText();
    auto out = openTiffOutput(path("p.tif"), rec.s, meta);
    rec.fill(0);
    writeTiffStrip(*out, rec.s, 0, rec.s.strip);
    finishTiffOutput(*out);
    EXPECT_EQ(directoryTags(readFile(path("p.tif"))),
              (std::set<uint16_t>{256, 257, 258, 259, 262, 270, 273, 277, 279, 284}));
}

TEST_F(ImageOutput, MetadataRoundTripFromInputThroughContainerToOutput) {
    const uint8_t icc[] = {1, 2, 3};
    test::writeTiff(path("in.tif"), test::TiffLayout{.tags = [&](TIFF* t) {
                        TIFFSetField(t, TIFFTAG_MAKE, "Cam");
                        TIFFSetField(t, TIFFTAG_ARTIST, "Me");
                        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
                        TIFFSetField(t, TIFFTAG_XRESOLUTION, 240.0);
                        TIFFSetField(t, TIFFTAG_YRESOLUTION, 240.0);
                        TIFFSetField(t, TIFFTAG_ICCPROFILE, 3u, icc);
                    }});
    CodecState s;
    setCodecParams(s, 12);
    const std::unique_ptr<InputImage> in = openInputImage(path("in.tif"), InputFormat::Tiff, s);
    ContainerWriter w(path("in_49-2.rpx"));
    writeContainerHeader(w, s, in->metadata);
    allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
    for (int k = 0; k < s.stripCount; ++k) writeStripSection(w, s.strip.streams);  // empty streams
    w.commit();

    ContainerReader r(path("in_49-2.rpx"));
    CodecState e;
    ImageMetadata carried;
    readContainerHeader(r, e, carried);
    allocCodecBuffers(e, e.paddedWidth, e.stripHeight);
    auto out = openTiffOutput(path("in_49-2.tif"), e, carried);
    for (int k = 0; k < e.stripCount; ++k) writeTiffStrip(*out, e, k, e.strip);
    finishTiffOutput(*out);
    const ImageMetadata back = openInputImage(path("in_49-2.tif"), InputFormat::Tiff)->metadata;
    EXPECT_EQ(back.make, "Cam");
    EXPECT_EQ(back.artist, "Me");
    EXPECT_EQ(back.model, std::nullopt);
    EXPECT_EQ(back.resolutionUnit, RESUNIT_INCH);
    EXPECT_EQ(back.xResolution, 240.0f);
    EXPECT_THAT(back.iccProfile, ElementsAreArray(icc));
    EXPECT_EQ(back.description, creditText());
}

TEST_F(ImageOutput, AnUnfinishedOutputLeavesNothingBehind) {
    Reconstruction rec(8, 20, [](int, int, int) { return uint16_t(1); });
    {
        auto out = openTiffOutput(path("x.tif"), rec.s, ImageMetadata{});
        writeTiffStrip(*out, rec.s, 0, rec.s.strip);
        EXPECT_THROW(finishTiffOutput(*out), Error);  // two strips missing
        BmpOutput bmp(path("x.bmp"), rec.s);
        writeBmpStrip(bmp, rec.s, 1, rec.s.strip);
        EXPECT_THROW(bmp.commit(), Error);
    }
    EXPECT_TRUE(entries().empty());
}

}  // namespace
}  // namespace kirune
