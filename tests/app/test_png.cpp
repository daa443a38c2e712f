// PNG input and output: the same picture as a PNG or a TIFF makes the same container; what cannot be read is
// refused with its reason, leaving nothing behind; expansions to PNG hold the TIFF expansion's samples at the
// input's depth, and its chunks (colour, ICC, texts, Exif, wherever they stood) come back.

#include <gmock/gmock.h>

#include <functional>
#include <sstream>

#include "app/core/drivers.h"
#include "container/image_input.h"
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

TEST_F(PngInput, RefusesPaletteAlphaAndDamagedFilesCleanly) {
    writePng(path("good.png"), {.width = 64, .height = 64});
    const std::vector<uint8_t> good = readFile(path("good.png"));
    std::filesystem::remove(path("good.png"));
    std::vector<uint8_t> flipped = good, huge = good;
    flipped[flipped.size() - 20] ^= 0x10;  // in the image data: its CRC no longer matches
    // A header claiming 2^31 - 1 square pixels, its CRC right: refused before anything is allocated for them.
    for (const std::size_t at : {16, 20}) huge[at] = 0x7f, huge[at + 1] = huge[at + 2] = huge[at + 3] = 0xff;
    fixChunkCrc(huge, 8);
    const auto unsupported = [](const char* why) { return AllOf(HasSubstr(kUnsupportedPngText), HasSubstr(why)); };
    const std::tuple<const char*, std::vector<uint8_t>, Matcher<std::string>> cases[] = {
        {"palette.png", {}, unsupported("palette")}, {"rgba.png", {}, unsupported("alpha")},
        {"ga.png", {}, unsupported("alpha")},
        {"cut.png", {good.begin(), good.begin() + std::ptrdiff_t(good.size() / 2)}, HasSubstr(kInputReadText)},
        {"crc.png", flipped, HasSubstr(kInputReadText)},
        {"huge.png", huge, AnyOf(HasSubstr(kInputReadText), HasSubstr(kUnsupportedPngText))},
        {"text.png", {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'}, HasSubstr(kNotPngText)}};
    const PngLayout colours[] = {{.bits = 8, .colour = PNG_COLOR_TYPE_PALETTE},
                                 {.colour = PNG_COLOR_TYPE_RGB_ALPHA},
                                 {.bits = 8, .colour = PNG_COLOR_TYPE_GRAY_ALPHA}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [name, bytes, says] = cases[i];
        if (i < std::size(colours)) writePng(path(name), colours[i]);
        else writeFile(path(name), bytes);
        Quiet ui;  // refused, leaving no file but the input behind
        EXPECT_THAT(errorText([&] { compressFile(path(name), FileKind::CompressPng, {}, ui); }), says) << name;
        EXPECT_EQ(entries(), std::set<std::string>{name});
        std::filesystem::remove(path(name));
    }
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
        if (k.kind == FileKind::CompressPng) {
            const ImageMetadata m = openContainer(rpx).meta;  // the header's resolution from pHYs
            EXPECT_EQ(std::tie(m.resolutionUnit, m.description), std::make_tuple(RESUNIT_CENTIMETER, creditText()));
            EXPECT_FLOAT_EQ(m.xResolution, 118.11f);
            EXPECT_FLOAT_EQ(m.yResolution, 118.11f);
        }
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
        if (k.kind == FileKind::CompressPng) {
            EXPECT_EQ(png.pixelsPerMetre, 11811u);
        }
        EXPECT_EQ(png.samples, bits == 16 ? reference : to8(reference));
        EXPECT_EQ(bmpSamples(bmp, 37, 21), to8(reference));
    }
}

// exiftool's listing of a file, sorted, without the lines about the file itself (name, dates, size) and exiftool's
// own.
std::vector<std::string> exiftool(const std::string& file) {
    std::vector<std::string> lines;
    std::istringstream listing(runCommand("exiftool -a -G1 -s '" + file + "'").output);
    for (std::string s; std::getline(listing, s);)
        if (s.rfind("[System]", 0) != 0 && s.rfind("[File]", 0) != 0 && s.rfind("[ExifTool]", 0) != 0) lines.push_back(s);
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

// A 16 x 8 8-bit PNG of colour type `colour`, with chunks set by the hooks.
using Hook = std::function<void(png_structp, png_infop)>;
void writeChunkPng(const std::string& p, int colour, const Hook& before, const Hook& after = {}) {
    writePng(p, {.width = 16, .height = 8, .bits = 8, .colour = colour, .before = before, .after = after});
}

// What libpng reads of a PNG's chunks, texts and Exif included (wherever they stand).
struct Chunks {
    png_fixed_point gamma = 0;
    std::vector<png_fixed_point> chrm;
    int intent = -1;
    std::vector<png_uint_16> background;
    std::vector<uint8_t> icc, exif;
    std::vector<std::string> texts;
    bool operator==(const Chunks&) const = default;
};
void PrintTo(const Chunks& c, std::ostream* os) {
    *os << PrintToString(std::make_tuple(c.gamma, c.chrm, c.intent, c.background, c.icc.size(), c.exif, c.texts));
}
void readChunksInto(Chunks& c, png_structp png, png_infop info) {
    png_get_gAMA_fixed(png, info, &c.gamma);
    png_fixed_point v[8];
    if (png_get_cHRM_fixed(png, info, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]))
        c.chrm.assign(v, v + 8);
    png_get_sRGB(png, info, &c.intent);
    png_color_16p bg = nullptr;
    if (png_get_bKGD(png, info, &bg)) c.background = {bg->red, bg->green, bg->blue, bg->gray};
    png_charp name = nullptr;
    png_bytep profile = nullptr, exif = nullptr;
    png_uint_32 length = 0, exifLength = 0;
    int compression = 0, count = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &length)) c.icc.assign(profile, profile + length);
    if (png_get_eXIf_1(png, info, &exifLength, &exif)) c.exif.assign(exif, exif + exifLength);
    png_textp text = nullptr;
    png_get_text(png, info, &text, &count);
    for (int i = 0; i < count; ++i) c.texts.push_back(std::string(text[i].key) + "=" + text[i].text);
    std::sort(c.texts.begin(), c.texts.end());  // those before and after the image data may change places
}
Chunks readChunks(const std::string& p) {
    Chunks c;
    readPng(p, [&](png_structp png, png_infop info) { readChunksInto(c, png, info); });
    return c;
}

// A small ICC profile libpng takes: the header, one tag (the white point) and bytes that do not compress, as a
// real profile's (libpng refuses an iCCP chunk of fewer than 92 bytes).
std::vector<uint8_t> iccProfile(const char* colourSpace) {
    std::vector<uint8_t> p(400, 0);
    const auto be = [&](std::size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) p[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    };
    be(0, 400), be(8, 0x02100000);  // version 2.1
    std::memcpy(&p[12], "mntr", 4), std::memcpy(&p[16], colourSpace, 4), std::memcpy(&p[20], "XYZ ", 4);
    std::memcpy(&p[36], "acsp", 4);
    be(68, 0xf6d6), be(72, 0x10000), be(76, 0xd32d);  // D50
    be(128, 1), std::memcpy(&p[132], "wtpt", 4), be(136, 144), be(140, 20), std::memcpy(&p[144], "XYZ ", 4);
    be(152, 0xf6d6), be(156, 0x10000), be(160, 0xd32d);
    uint32_t x = 12345;
    for (std::size_t i = 164; i < p.size(); ++i) p[i] = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 24);
    return p;
}

using PngChunkCarrying = ScratchDir;

// One text chunk, of the given kind, written where the writer stands.
void setText(png_structp png, png_infop info, int compression, const char* key, const char* text) {
    png_text t{};
    t.compression = compression;
    t.key = const_cast<char*>(key);
    t.text = const_cast<char*>(text);
    png_set_text(png, info, &t, 1);
}

// What libpng reads of the input's chunks it reads of the PNG expansion: colour chunks on RGB and grey, texts and
// Exif after the image data, ICC profiles (which also fill the container's header and come back on a TIFF).
TEST_F(PngChunkCarrying, ColourIccTextAndExifChunksComeBackWhereverTheyStood) {
    static const uint8_t exif[] = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> rgbIcc = iccProfile("RGB "), greyIcc = iccProfile("GRAY");
    const auto icc = [](const std::vector<uint8_t>& p) {
        return [&p](png_structp png, png_infop info) {
            png_set_iCCP(png, info, "test", PNG_COMPRESSION_TYPE_BASE, p.data(), static_cast<png_uint_32>(p.size()));
        };
    };
    const struct { const char* name; int colour; Hook before, after = {}; } cases[] = {
        {"rgb.png", PNG_COLOR_TYPE_RGB, [](png_structp png, png_infop info) {
             png_set_gAMA_fixed(png, info, 45455);
             png_set_cHRM_fixed(png, info, 31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000);
             png_color_16 bg{0, 10, 20, 30, 0};
             png_set_bKGD(png, info, &bg);
         }},
        {"grey.png", PNG_COLOR_TYPE_GRAY, [](png_structp png, png_infop info) {
             png_set_sRGB(png, info, PNG_sRGB_INTENT_RELATIVE);
             png_color_16 bg{0, 0, 0, 0, 77};
             png_set_bKGD(png, info, &bg);
         }},
        {"late.png", PNG_COLOR_TYPE_RGB,
         [](png_structp png, png_infop info) { setText(png, info, PNG_TEXT_COMPRESSION_NONE, "Title", "early"); },
         [](png_structp png, png_infop info) {
             setText(png, info, PNG_TEXT_COMPRESSION_zTXt, "Comment", "written after the pixels");
             png_set_eXIf_1(png, info, sizeof exif, const_cast<png_bytep>(exif));
         }},
        {"icc-rgb.png", PNG_COLOR_TYPE_RGB, icc(rgbIcc)},
        {"icc-grey.png", PNG_COLOR_TYPE_GRAY, icc(greyIcc)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeChunkPng(path(c.name), c.colour, c.before, c.after);
        const Chunks in = readChunks(path(c.name));
        ASSERT_NE(in, Chunks{});  // the hooks wrote their chunks
        Quiet ui;
        const std::string rpx = compressFile(path(c.name), FileKind::CompressPng, {}, ui).output;
        JobSettings s;
        s.pngOutput = true;
        EXPECT_EQ(readChunks(expandFile(rpx, s, ui).output), in);
        if (!in.icc.empty()) {
            EXPECT_EQ(openContainer(rpx).meta.iccProfile, in.icc);
            s.pngOutput = false;
            EXPECT_EQ(openInputImage(expandFile(rpx, s, ui).output, InputFormat::Tiff)->metadata.iccProfile, in.icc);
        }
        EXPECT_THAT(ui.warnings, IsEmpty());
    }
}

TEST_F(PngChunkCarrying, AChunkLongerThanTheFileIsNeverAllocated) {
    writeChunkPng(path("p.png"), PNG_COLOR_TYPE_RGB, [](png_structp, png_infop) {});
    const std::vector<uint8_t> good = readFile(path("p.png"));
    // A tEXt header claiming 2 GB, after the header chunk or before IEND.
    const uint8_t forged[] = {0x7f, 0xff, 0xff, 0x00, 't', 'E', 'X', 't', 'k', 'e', 'y', 0};
    for (const bool afterImage : {false, true}) {
        SCOPED_TRACE(afterImage ? "after the image data" : "before it");
        std::vector<uint8_t> bytes = good;
        const std::size_t at = afterImage ? bytes.size() - 12 : 8 + 25;
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), std::begin(forged), std::end(forged));
        writeFile(path("p.png"), bytes);
        Quiet ui;
        const std::string text = errorText([&] { compressFile(path("p.png"), FileKind::CompressPng, {}, ui); });
        if (afterImage) {
            EXPECT_EQ(text, "accepted");
            EXPECT_THAT(ui.warnings, Contains(HasSubstr("tEXt chunk at byte")));
        } else {
            EXPECT_THAT(text, AllOf(HasSubstr(kInputReadText), HasSubstr("claiming 2147483392 bytes")));
        }
    }
}

TEST(PngChunksRecord, RoundTripsAndRefusesEveryCutForgedCountOrWrongColourChunk) {
    PngChunks chunks{{'M', 'M', 0, 42}, {{0, "Comment", "", "", "a"}, {3, "Description", "ja", "k", "t"}}, {}};
    EXPECT_EQ(encodePngChunks(chunks).at(4), 1);  // without colour chunks the record is what it always was
    chunks.colour = {{"gAMA", {0, 0, 0xb1, 0x8f}}, {"bKGD", {0, 1, 0, 2, 0, 3}}};
    const std::vector<uint8_t> bytes = encodePngChunks(chunks);
    EXPECT_EQ(decodePngChunks(bytes), chunks);
    for (std::size_t n = 1; n < bytes.size(); ++n) EXPECT_THROW(decodePngChunks(std::span(bytes).first(n)), Error) << n;
    std::vector<uint8_t> forged = encodePngChunks({chunks.exif, chunks.texts, {}});
    forged[5 + 4 + 4 + 3] = 0x7f;  // text count near 2^31
    EXPECT_THROW(decodePngChunks(forged), Error);
    for (const PngColourChunk& wrong : {PngColourChunk{"IHDR", {1, 2, 3, 4}}, PngColourChunk{"gAMA", {1, 2, 3}},
                                        PngColourChunk{"bKGD", {1, 2, 3, 4}}}) {
        chunks.colour = {wrong};
        EXPECT_THROW(decodePngChunks(encodePngChunks(chunks)), Error) << wrong.type;
    }
}

}  // namespace
