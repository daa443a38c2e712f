// Files in and out: input images read strip by strip or refused with their reason, the container's header and
// strips read back or refused when damaged, outputs renamed over their final names, and the image writers.

#include <gmock/gmock.h>

#include <sys/stat.h>

#include <algorithm>

#include "codec/stream_syntax.h"
#include "container/image_input.h"
#include "container/image_output.h"
#include "container/messages.h"
#include "container/output_file.h"
#include "container/rpx_container.h"
#include "support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;

namespace {

// Streams of a 16 x 16 strip: random bytes (stored), runs (coded unless verbatim), a single byte and an empty one.
void fillStreams(SideStreams& st, uint32_t seed) {
    const uint32_t lengths[7] = {1, 48, 100, 120, 90, 0, 700};
    for (int i = 0; i < 7; ++i) {
        for (uint32_t k = 0; k < lengths[i]; ++k) {
            seed = seed * 1103515245 + 12345;
            streamBuffer(st, i)[k] = i == 3 || i == 4 || i == 6 ? uint8_t(k / 50) : uint8_t(seed >> 16);
        }
        st.rawLength[i] = lengths[i];
    }
}

class Container : public ScratchDir {
protected:
    // Writes a header and the strips to a.rpx; returns the strips' tables.
    std::vector<StreamTable> write(const TestImage& s, const ImageMetadata& meta,
                                   std::vector<const SideStreams*> strips) {
        ContainerWriter out(path("a.rpx"));
        writeContainerHeader(out, s.file(), meta);
        std::vector<StreamTable> tables;
        for (const SideStreams* st : strips) tables.push_back(encodeAndAppendStripSection(out, *st));
        out.commit();
        return tables;
    }
    // `b` with n little-endian bytes of v at `at`, and `padding` zeros after.
    static std::vector<uint8_t> patched(std::vector<uint8_t> b, size_t at, uint64_t v, int n, size_t padding) {
        putLe(b, at, v, n);
        b.resize(b.size() + padding, 0);
        return b;
    }
    // Reads the header and every strip of `bytes` as a driver would.
    void readAll(const std::vector<uint8_t>& bytes, bool headerOnly = false) {
        writeFile(path("b.rpx"), bytes);
        OpenedContainer c = openContainer(path("b.rpx"));
        if (headerOnly) return;
        TestImage s = c.coding;
        s.alloc();
        for (int i = 0; i < s.stripCount; ++i) readAndExpandStripSection(*c.reader, s.strip.streams);
    }
};

TEST_F(Container, ForeignOrImpossibleHeadersAreRefused) {
    const std::vector<uint8_t> good = encodeContainerHeader(layout(16, 16).file(), ImageMetadata{});
    auto with = [&](size_t at, uint32_t v, int n = 4, size_t pad = 1000) { return patched(good, at, v, n, pad); };
    EXPECT_EQ(errorText([&] { readAll(with(0, 0xE7, 1)); }), kBadMagicText);
    EXPECT_EQ(errorText([&] { readAll(with(8, 0x36, 1)); }), kUnsupportedVersionText);  // "09.15"
    const std::vector<uint8_t> damaged[] = {
        with(10, 0), with(10, 600000),                // width 0, beyond the strip budget
        with(14, 0x80000000u), with(18, 0),           // height beyond 31 bits, level 0
        with(18, kMaxQualityLevel + 1), with(22, 3),  // level whose K * 256 overflows, no such sampling
        with(26, 24), with(30, 0xFFFFFFFFu),          // budget never written, description length < 0
    };
    for (const auto& b : damaged) {
        const UserMessage m = errorMessage([&] { readAll(b); });
        EXPECT_EQ(m.text, kDamagedHeaderText) << &b - damaged;
        EXPECT_THAT(m.args, ElementsAre(Not(IsEmpty()))) << &b - damaged;  // which field
    }
    // Lengths beyond the file's end: a file cut short.
    for (const auto& b : {with(30, 5000), with(76, 1u << 30), with(80, 2000)})  // description, ICC profile, Make
        EXPECT_EQ(errorText([&] { readAll(b); }), kTruncatedHeaderText);
    // More strips than the file holds tables for: refused before any strip buffer exists.
    EXPECT_EQ(errorText([&] { readAll(with(14, 0x7FFFFFF0, 4, 0), true); }), kTooShortForStripsText);
    EXPECT_THAT(errorText([] { ContainerReader("/nonexistent/x.rpx"); }), StartsWith(kCannotOpenInputText));
}

TEST_F(Container, DamagedFilesThrowTheirMessageAndNeverReadPastTheData) {
    TestImage s = layout(16, 16);
    s.alloc(16, 16);
    fillStreams(s.strip.streams, 7);
    const ImageMetadata meta{"M", {}, {}, {}, {}, 1, 1, 1, {9}, "xyzw", {}, {}, {}};
    write(s, meta, {&s.strip.streams});
    const std::vector<uint8_t> good = readFile(path("a.rpx"));
    const size_t headerSize = encodeContainerHeader(s.file(), meta).size();
    ASSERT_NO_THROW(readAll(good));
    // Cut anywhere: too short for a magic number, cut inside the header, short of the strip tables, or cut inside
    // the strip (said so unless the cut leaves a table that fits and the streams' own framing finds the damage).
    int cutInStrip = 0;
    for (size_t cut = 0; cut < good.size(); ++cut) {
        const UserMessage m = errorMessage([&] { readAll({good.begin(), good.begin() + cut}); });
        if (cut < 4) {
            ASSERT_EQ(m.text, kBadMagicText) << cut;
        } else if (cut < headerSize) {
            ASSERT_EQ(m.text, kTruncatedHeaderText) << cut;
        } else if (cut < headerSize + kStreamTableBytes) {
            ASSERT_EQ(m.text, kTooShortForStripsText) << cut;
        } else if (m.text != kDamagedFileText) {
            ASSERT_EQ(m.text, kTruncatedStripText) << cut;
        }
        if (m.text == kTruncatedStripText) {
            ASSERT_THAT(m.args, ElementsAre("1", "1")) << cut;
            ++cutInStrip;
        }
    }
    EXPECT_GT(cutInStrip, 0);
    // matchBytes stored with a length beyond its buffer, in a file long enough for it.
    for (uint64_t raw : {uint64_t(s.strip.streams.matchBytes.size()), uint64_t{0xFFFFFFFF}})
        EXPECT_EQ(errorText([&] { readAll(patched(good, headerSize + 48, raw | raw << 32, 8, 20000)); }),
                  kDamagedFileText) << raw;
}

// A coded section is written from the streams it was coded from; read back, it is the same stream by stream.
TEST_F(Container, SectionsReadBackAsCodedAndTakeTheSizeTheySay) {
    TestImage s = layout(16, 16);
    s.alloc(16, 16);
    fillStreams(s.strip.streams, 3);
    StripSection coded;
    encodeStripSection(s.strip.streams, coded);
    {
        ContainerWriter out(path("a.rpx"));
        writeContainerHeader(out, s.file(), ImageMetadata{});
        const int64_t start = out.end();
        appendStripSection(out, coded);
        EXPECT_EQ(out.end() - start, static_cast<int64_t>(coded.size()));
        out.commit();
    }
    OpenedContainer c = openContainer(path("a.rpx"));
    StripSection read;
    readStripSection(*c.reader, s.strip.streams, read);
    EXPECT_EQ(read.size(), coded.size());
    int stored = 0;
    for (int i = 0; i < kStreamCount; ++i) {
        const auto u = static_cast<std::size_t>(i);
        EXPECT_EQ(read.table[u].recordedSize, coded.table[u].recordedSize) << i;
        EXPECT_TRUE(std::ranges::equal(read.recorded[u], coded.recorded[u])) << i;
        stored += coded.table[u].rawLength > 0 && coded.table[u].recordedSize == coded.table[u].rawLength;
    }
    EXPECT_GE(stored, 2);  // the random streams, written from the side streams themselves
}

using Outputs = ScratchDir;

// Permissions, times, folders and names too long at the output's name are covered end to end by the safe-outputs
// test.
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

// BMP pixels and headers are pinned by the identical-outputs test.
TEST_F(Outputs, ImageWritersDropRefusedTagsNotPixelsTakeBmpResolutionFromTagsAndLeaveNothingUnfinished) {
    TestImage rec = layout(5, 11, 6);  // strips of 8 rows
    rec.alloc();
    const auto fill = [&](int k) {
        for (int r = 0; r < rec.stripHeight; ++r)
            for (int x = 0; x < rec.paddedWidth; ++x)
                for (int c = 0; c < 3; ++c)
                    sample(rec.strip, rec, c, x, r) = int16_t(x * 1000 + (k * rec.stripHeight + r) * 10 + c);
    };
    ImageMetadata meta = allTags();
    meta.resolutionUnit = 0;
    const auto write = [&](const std::string& name) {
        auto out = openTiffOutput(path(name), rec, meta);
        for (int k = 0; k < rec.stripCount; ++k) fill(k), writeTiffStrip(*out, rec, k, rec.strip);
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
    // The carried resolution in pixels per metre; 72 dpi when there is none in real units.
    const auto ppm = [&](uint16_t unit, float x, float y) {
        ImageMetadata m;
        m.resolutionUnit = unit, m.xResolution = x, m.yResolution = y;
        const auto h = buildBmpHeader(rec, m);
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
        auto tiff = openTiffOutput(path("x.tif"), rec, ImageMetadata{});
        writeTiffStrip(*tiff, rec, 0, rec.strip);
        EXPECT_THROW(finishTiffOutput(*tiff), Error);  // a strip missing
        BmpOutput bmp(path("x.bmp"), rec);
        writeBmpStrip(bmp, rec, 1, rec.strip);
        EXPECT_THROW(bmp.commit(), Error);
    }
    std::filesystem::remove(path("unit0.tif")), std::filesystem::remove(path("negative.tif"));
    EXPECT_TRUE(entries().empty());
}

class ImageInput : public ScratchDir {
protected:
    // Reads every strip of `p` under a budget of 2^budgetLog2 pixels and checks each coded sample against px
    // through the mirror rules, converted as the input's sample width says.
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
    // Column 1 holds the top 16-bit values, which round to 4096 only when the sum is formed beyond 16 bits.
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
    // Budget 2^6 over 8 padded columns: strips of 8 rows, the last holding 1 to 4. Odd heights are stored
    // top-down; pixel data starts at 61, 68, 75, 82.
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
    std::vector<std::array<uint32_t, 3>> pages(302, {1, 1, FILETYPE_REDUCEDIMAGE});
    pages.front() = pages.back() = {8, 8, 0};
    writePages(path("thumbs.tif"), pages);
    EXPECT_EQ(errorMessage([&] { openInputImage(path("thumbs.tif"), InputFormat::Tiff); }).text,
              kTooManyDirectoriesText);
}

}  // namespace
