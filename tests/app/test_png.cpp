// PNG input and output: the same picture as a PNG and as a TIFF makes the same
// container, the header's fields come from the PNG's chunks, and what cannot
// be read is refused with its reason, leaving nothing behind. Expansion to PNG
// (rpx --png) holds the TIFF expansion's samples, 8 bits when the input had 8,
// the resolution kept; exiftool lists the same metadata on a PNG input and its
// PNG expansion, and a TIFF expansion carries the XMP.

#include <gmock/gmock.h>

#include <cstdio>

#include "app/core/drivers.h"
#include "container/messages.h"
#include "container/png_chunks.h"
#include "container/rpx_container.h"
#include "tests/app/app_support.h"
#include "tests/container/png_support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;

namespace {

class PngInput : public ScratchDir {
protected:
    std::vector<uint8_t> compressed(const std::string& input, FileKind kind, const JobSettings& s = {}) {
        Quiet ui;
        return withoutTrailer(readFile(compressFile(path(input), kind, s, ui).output));
    }
    // The refusal of `name`, which must leave no file but itself behind.
    std::string refusal(const std::string& name) {
        Quiet ui;
        const std::string text = errorText([&] { compressFile(path(name), FileKind::CompressPng, {}, ui); });
        EXPECT_EQ(entries(), std::set<std::string>{name});
        return text;
    }
};

TEST_F(PngInput, MakesTheContainerOfTheSameTiffAtEitherDepthInterlacedOrNot) {
    // Several strips, so that rows are read across strip boundaries.
    JobSettings s;
    s.stripBudgetLog2 = 12;
    for (const int bits : {8, 16}) {
        writeTiff(path("p.tif"), {.width = 70, .height = 150, .bits = bits});
        const std::vector<uint8_t> tiff = compressed("p.tif", FileKind::CompressTiff, s);
        for (const bool interlaced : {false, true}) {
            SCOPED_TRACE(std::to_string(bits) + (interlaced ? " interlaced" : ""));
            writePng(path("p.png"), {.width = 70, .height = 150, .bits = bits, .interlaced = interlaced});
            EXPECT_EQ(compressed("p.png", FileKind::CompressPng, s), tiff);
        }
    }
}

TEST_F(PngInput, FillsTheHeaderFromPhys) {
    writePng(path("r.png"), {.pixelsPerMetre = 11811});
    Quiet ui;
    const ImageMetadata m = openContainer(compressFile(path("r.png"), FileKind::CompressPng, {}, ui).output).meta;
    EXPECT_THAT(ui.warnings, IsEmpty());
    EXPECT_EQ(m.resolutionUnit, RESUNIT_CENTIMETER);
    EXPECT_FLOAT_EQ(m.xResolution, 118.11f);
    EXPECT_FLOAT_EQ(m.yResolution, 118.11f);
    EXPECT_EQ(m.description, creditText());
}

TEST_F(PngInput, RefusesPaletteAndAlphaByName) {
    const std::pair<PngLayout, const char*> cases[] = {
        {{.bits = 8, .colour = PNG_COLOR_TYPE_PALETTE}, "palette"},
        {{.colour = PNG_COLOR_TYPE_RGB_ALPHA}, "alpha"},
        {{.bits = 8, .colour = PNG_COLOR_TYPE_GRAY_ALPHA}, "alpha"},
    };
    for (const auto& [layout, reason] : cases) {
        SCOPED_TRACE(reason);
        writePng(path("a.png"), layout);
        EXPECT_THAT(refusal("a.png"), AllOf(HasSubstr(kUnsupportedPngText), HasSubstr(reason)));
    }
}

TEST_F(PngInput, RefusesDamagedFilesCleanly) {
    writePng(path("good.png"), {.width = 64, .height = 64});
    const std::vector<uint8_t> good = readFile(path("good.png"));
    std::filesystem::remove(path("good.png"));
    std::vector<uint8_t> flipped = good, huge = good;
    flipped[flipped.size() - 20] ^= 0x10;  // in the image data: its CRC no longer matches
    // A header claiming 2^31 - 1 square pixels, its CRC right: refused before anything is allocated for them.
    for (const std::size_t at : {16, 20}) huge[at] = 0x7f, huge[at + 1] = huge[at + 2] = huge[at + 3] = 0xff;
    fixChunkCrc(huge, 8);
    const std::tuple<const char*, std::vector<uint8_t>, Matcher<std::string>> cases[] = {
        {"cut.png", {good.begin(), good.begin() + std::ptrdiff_t(good.size() / 2)}, HasSubstr(kInputReadText)},
        {"crc.png", flipped, HasSubstr(kInputReadText)},
        {"huge.png", huge, AnyOf(HasSubstr(kInputReadText), HasSubstr(kUnsupportedPngText))},
        {"text.png", {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'}, HasSubstr(kNotPngText)}};
    for (const auto& [name, bytes, says] : cases) {
        writeFile(path(name), bytes);
        EXPECT_THAT(refusal(name), says);
        std::filesystem::remove(path(name));
    }
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

// An 8-bit picture, whatever its format, expands to an 8-bit PNG.
TEST_F(PngOutput, HoldsTheTiffExpansionsSamplesAtTheInputsDepthWithItsResolution) {
    struct Case {
        const char* input;
        FileKind kind;
        int bits;
    };
    for (const Case& k : {Case{"in.png", FileKind::CompressPng, 16}, Case{"in.png", FileKind::CompressPng, 8},
                          Case{"in.tif", FileKind::CompressTiff, 8}, Case{"in.bmp", FileKind::CompressBmp, 8}}) {
        const int bits = k.bits;
        SCOPED_TRACE(std::string(k.input) + " " + std::to_string(bits));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directory(dir);
        if (k.kind == FileKind::CompressPng)
            writePng(path("in.png"), {.width = 37, .height = 21, .bits = bits, .pixelsPerMetre = 11811});
        else if (k.kind == FileKind::CompressTiff)
            writeTiff(path("in.tif"), {.width = 37, .height = 21, .bits = 8});
        else
            writeFile(path("in.bmp"), bmpBytes(37, 21, false));
        Quiet ui;
        const std::string rpx = compressFile(path(k.input), k.kind, {}, ui).output;
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
        EXPECT_EQ(std::tie(png.width, png.height, png.channels, png.bits), std::make_tuple(37, 21, 3, bits));
        if (k.kind == FileKind::CompressPng) EXPECT_EQ(png.pixelsPerMetre, 11811u);
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

// exiftool's listing of a file, sorted, without the lines about the file
// itself (name, dates, size) and exiftool's own.
std::vector<std::string> exiftool(const std::string& file, const char* groups = "") {
    std::vector<std::string> lines;
    const std::string command = "exiftool -a -G1 -s " + std::string(groups) + " '" + file + "' 2>&1";
    std::FILE* p = ::popen(command.c_str(), "r");
    if (!p) return lines;
    char line[4096];
    while (std::fgets(line, sizeof line, p)) {
        const std::string s(line);
        if (s.rfind("[System]", 0) == 0 || s.rfind("[File]", 0) == 0 || s.rfind("[ExifTool]", 0) == 0) continue;
        lines.push_back(s);
    }
    ::pclose(p);
    std::sort(lines.begin(), lines.end());
    return lines;
}

using PngMetadata = ScratchDir;

TEST_F(PngMetadata, ExiftoolListsTheSameValuesOnTheInputAndItsPngExpansion) {
    if (std::system("exiftool -ver > /dev/null 2>&1") != 0) GTEST_SKIP() << "exiftool is not installed";
    writePng(path("in.png"), {.width = 24, .height = 16, .pixelsPerMetre = 3937, .texts = true});
    // Exif (eXIf) and XMP (iTXt) as exiftool writes them.
    ASSERT_EQ(std::system(("exiftool -q -overwrite_original -Make=Cam -Model=X1 -Artist=Ann "
                           "-DateTimeOriginal='2020:01:02 03:04:05' -XMP-dc:Title='A title' '" +
                           path("in.png") + "'").c_str()),
              0);
    const std::vector<std::string> before = exiftool(path("in.png"));
    ASSERT_THAT(before, IsSupersetOf({HasSubstr("[XMP-dc]        Title"), HasSubstr("[ExifIFD]       DateTimeOriginal"),
                                      HasSubstr("squeezed title"), HasSubstr("PixelsPerUnitX")}));

    Quiet ui;
    const std::string rpx = compressFile(path("in.png"), FileKind::CompressPng, {}, ui).output;
    JobSettings s;
    s.pngOutput = true;
    const std::string png = expandFile(rpx, s, ui).output;
    EXPECT_EQ(exiftool(png), before);
    EXPECT_THAT(ui.warnings, IsEmpty());

    s.pngOutput = false;
    const std::string tif = expandFile(rpx, s, ui).output;
    EXPECT_THAT(exiftool(tif), Contains(HasSubstr("A title")));
}

TEST(PngChunksRecord, RoundTripsAndRefusesEveryCutOrForgedCount) {
    const PngChunks chunks{{'M', 'M', 0, 42}, {{0, "Comment", "", "", "a"}, {3, "Description", "ja", "k", "t"}}, {}};
    const std::vector<uint8_t> bytes = encodePngChunks(chunks);
    EXPECT_EQ(decodePngChunks(bytes), chunks);
    for (std::size_t n = 1; n < bytes.size(); ++n)
        EXPECT_THROW(decodePngChunks(std::span(bytes).first(n)), Error) << n;
    std::vector<uint8_t> forged = bytes;
    forged[5 + 4 + 4 + 3] = 0x7f;  // text count near 2^31
    EXPECT_THROW(decodePngChunks(forged), Error);
}

}  // namespace
