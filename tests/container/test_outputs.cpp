// Outputs: temporary files renamed over their final names, and the image writers.

#include <gmock/gmock.h>
#include <sys/stat.h>

#include "container/image_output.h"
#include "container/messages.h"
#include "container/output_file.h"
#include "support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;

namespace {

// A W x H layout (W at most 16) in strips of 8 rows; fill(k) puts
// value(x, image row, c) into strip k's planes.
struct Reconstruction {
    TestImage s;
    Pixels value;
    Reconstruction(int w, int h, Pixels v) : s(layout(w, h, w > 8 ? 7 : 6)), value(std::move(v)) {
        s.alloc();
    }
    void fill(int k) {
        for (int r = 0; r < s.stripHeight; ++r)
            for (int x = 0; x < s.paddedWidth; ++x)
                for (int c = 0; c < 3; ++c)
                    sample(s.strip, s, c, x, r) = int16_t(value(x, k * s.stripHeight + r, c));
    }
};

using Outputs = ScratchDir;

// Permissions, times, folders and names too long at the output's name are
// covered end to end by the safe-outputs test.
TEST_F(Outputs, TemporaryFilesReplaceTheFinalNameOnlyWhenCommittedAndVanishOtherwise) {
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed" : "named");
        const OutputOptions options{.source = {}, .unnamedTemporary = unnamed};
        writeFile(path("out.rpx"), {'o', 'l', 'd'});
        {
            OutputFile f(path("out.rpx"), options);
            ASSERT_GE(std::fputs("new", f.stream()), 0);
            EXPECT_EQ(entries().size(), unnamed ? 1u : 2u);  // an unnamed one is nowhere to be left behind
            EXPECT_EQ(f.tempPath().empty(), unnamed);
            EXPECT_EQ(readFile(path("out.rpx")), std::vector<uint8_t>({'o', 'l', 'd'}));
            f.commit();
        }
        EXPECT_THAT(entries(), ElementsAre("out.rpx"));
        EXPECT_EQ(readFile(path("out.rpx")), std::vector<uint8_t>({'n', 'e', 'w'}));
        struct stat st {};
        ASSERT_EQ(::stat(path("out.rpx").c_str(), &st), 0);
        EXPECT_NE(st.st_mode & 0044, 0u);  // without a source the umask decides, not 0600
        {
            OutputFile abandoned(path("gone.rpx"), options);
            ASSERT_GE(std::fputs("x", abandoned.stream()), 0);
        }
        EXPECT_THAT(entries(), ElementsAre("out.rpx"));
        std::filesystem::remove(path("out.rpx"));
    }

    EXPECT_THAT(errorText([&] { OutputFile g(path("missing/x.rpx")); }),
                AllOf(StartsWith(kCannotCreateOutputText), HasSubstr(path("missing/x.rpx"))));
    // Paths beyond 255 bytes, and a name near the limit of one.
    std::filesystem::path deep = dir;
    for (char c : {'a', 'b', 'c'}) deep /= std::string(100, c);
    std::filesystem::create_directories(deep);
    const std::string p = (deep / (std::string(240, 'n') + "_49-2.rpx")).string();
    OutputFile h(p);
    h.commit();
    EXPECT_TRUE(std::filesystem::exists(p));
}

TEST_F(Outputs, WithoutReplacingAnExistingNameIsRefusedAtTheStartAndAtTheEnd) {
    const OutputOptions keep{.replaceExisting = false, .source = {}};
    // A dangling symbolic link holds the name as well (a plain file: the safe-outputs test).
    std::filesystem::create_symlink(path("nowhere"), path("link.rpx"));
    EXPECT_THAT(errorText([&] { OutputFile f(path("link.rpx"), keep); }), StartsWith(kOutputExistsText));
    for (const bool unnamed : {true, false}) {
        OutputOptions options = keep;
        options.unnamedTemporary = unnamed;
        OutputFile f(path("late.rpx"), options);
        ASSERT_GE(std::fputs("new", f.stream()), 0);
        writeFile(path("late.rpx"), {'m', 'e'});  // appears while the output is written
        EXPECT_EQ(errorText([&] { f.commit(); }), std::string(kOutputExistsText) + ": " + path("late.rpx"));
        EXPECT_EQ(readFile(path("late.rpx")), std::vector<uint8_t>({'m', 'e'}));
        EXPECT_THAT(entries(), ElementsAre("late.rpx", "link.rpx"));
        std::filesystem::remove(path("late.rpx"));
    }
}

TEST_F(Outputs, TiffMetadataThatLibtiffRefusesIsLeftOutWithAWarningNotThePicture) {
    Reconstruction rec(5, 11, [](int x, int y, int c) { return uint16_t(x * 1000 + y * 10 + c); });
    ImageMetadata meta = allTags();
    meta.resolutionUnit = 0;
    const auto write = [&](const std::string& name) {
        auto out = openTiffOutput(path(name), rec.s, meta);
        for (int k = 0; k < rec.s.stripCount; ++k) {
            rec.fill(k);
            writeTiffStrip(*out, rec.s, k, rec.s.strip);
        }
        finishTiffOutput(*out);
        return out->warnings();
    };
    EXPECT_THAT(write("unit0.tif"), ElementsAre(HasSubstr("ResolutionUnit left out")));
    meta.resolutionUnit = RESUNIT_CENTIMETER;
    meta.yResolution = -1.0f;
    EXPECT_THAT(write("negative.tif"), ElementsAre(HasSubstr("Resolution left out")));
    for (const char* name : {"unit0.tif", "negative.tif"}) {
        TIFF* t = TIFFOpen(path(name).c_str(), "r");
        ASSERT_NE(t, nullptr) << name;
        std::vector<uint16_t> line(15);
        ASSERT_EQ(TIFFReadScanline(t, line.data(), 10, 0), 1);
        EXPECT_EQ(line[3 * 4 + 2], 4000 + 100 + 2) << name;  // the pixels are all there
        const char* make = nullptr;
        EXPECT_EQ(TIFFGetField(t, TIFFTAG_MAKE, &make), 1);
        float x = 0;
        EXPECT_EQ(TIFFGetField(t, TIFFTAG_XRESOLUTION, &x), name == std::string("unit0.tif") ? 1 : 0) << name;
        TIFFClose(t);
    }
}

// BMP pixels and headers are pinned by the identical-outputs test.
TEST_F(Outputs, BmpResolutionComesFromTheTagsAndUnfinishedOutputsLeaveNothing) {
    Reconstruction rec(5, 11, [](int x, int y, int c) { return uint16_t(x * 1000 + y * 10 + c); });
    // The carried resolution in pixels per metre; 72 dpi when there is none in real units.
    const auto ppm = [&](uint16_t unit, float x, float y) {
        ImageMetadata m;
        m.resolutionUnit = unit, m.xResolution = x, m.yResolution = y;
        const auto h = buildBmpHeader(rec.s, m);
        return std::make_pair(h[38] | h[39] << 8 | h[40] << 16 | h[41] << 24, h[42] | h[43] << 8 | h[44] << 16 | h[45] << 24);
    };
    EXPECT_EQ(ppm(RESUNIT_INCH, 300, 150), std::make_pair(11811, 5906));
    EXPECT_EQ(ppm(RESUNIT_CENTIMETER, 118.5f, 100), std::make_pair(11850, 10000));
    for (const auto& [unit, x] : {std::pair<uint16_t, float>{RESUNIT_NONE, 300}, {0, 300}, {RESUNIT_INCH, 0},
                                  {RESUNIT_INCH, std::nanf("")}, {RESUNIT_INCH, -5}})
        EXPECT_EQ(ppm(unit, x, x), std::make_pair(2835, 2835)) << unit << " " << x;

    // Oversized or unfinished outputs leave nothing behind.
    EXPECT_EQ(errorMessage([&] { BmpOutput(path("big.bmp"), layout(524288, 2800)); }).text, kBmpTooLargeText);
    {
        auto tiff = openTiffOutput(path("x.tif"), rec.s, ImageMetadata{});
        writeTiffStrip(*tiff, rec.s, 0, rec.s.strip);
        EXPECT_THROW(finishTiffOutput(*tiff), Error);  // a strip missing
        BmpOutput bmp(path("x.bmp"), rec.s);
        writeBmpStrip(bmp, rec.s, 1, rec.s.strip);
        EXPECT_THROW(bmp.commit(), Error);
    }
    EXPECT_TRUE(entries().empty());
}

}  // namespace
