// Greyscale input: coded as the RGB picture with R = G = B (white-at-0 grey inverted first), expanded back to one
// sample of the input's depth and photometric, checked by the grey checksum; refusals of what is not grey.

#include <gmock/gmock.h>

#include <fcntl.h>

#include "app/core/drivers.h"
#include "container/input_file.h"
#include "container/messages.h"
#include "container/rpx_container.h"
#include "container/trailer.h"
#include "tests/app/app_support.h"
#include "tests/container/png_support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;

namespace {

uint16_t greyPattern(int x, int y, int) { return static_cast<uint16_t>((x * 1553 + y * 4099 + x * y * 37) * 5); }
uint16_t inverted(int x, int y, int c) { return static_cast<uint16_t>(0xffff - greyPattern(x, y, c)); }

// The grey an expansion writes for a decoded RGB picture: the rounded mean.
std::vector<uint16_t> greyOf(const std::vector<uint16_t>& rgb) {
    std::vector<uint16_t> grey;
    for (std::size_t i = 0; i + 2 < rgb.size(); i += 3)
        grey.push_back(static_cast<uint16_t>((uint32_t{rgb[i]} + rgb[i + 1] + rgb[i + 2] + 1) / 3));
    return grey;
}

class Greyscale : public ScratchDir {
protected:
    std::string compress(const std::string& name, FileKind kind) {
        Quiet ui;
        const std::string out = compressFile(path(name), kind, settings, ui).output;
        EXPECT_THAT(ui.warnings, IsEmpty());
        return out;
    }
    std::string expand(const std::string& rpx, bool png = false, bool bmp = false) {
        Quiet ui;
        JobSettings s = settings;
        s.pngOutput = png;
        s.bmpOutput = bmp;
        s.replaceExisting = true;
        const std::string out = expandFile(rpx, s, ui).output;
        EXPECT_THAT(ui.warnings, IsEmpty());
        return out;
    }
    JobSettings settings = [] {
        JobSettings s;
        s.stripBudgetLog2 = 12;  // several strips
        return s;
    }();
};

TEST_F(Greyscale, TiffOrPngOfEitherPhotometricAndDepthCodesItsRgbPictureAndExpandsBackToGrey) {
    constexpr int W = 45, H = 120;
    for (const int bits : {16, 8})
        for (const uint16_t photometric : {PHOTOMETRIC_MINISBLACK, PHOTOMETRIC_MINISWHITE}) {
            SCOPED_TRACE(std::to_string(bits) + (photometric ? " min-is-black" : " min-is-white"));
            std::filesystem::remove_all(dir);
            std::filesystem::create_directory(dir);
            // The grey picture's RGB twin: the same container bytes.
            const bool white = photometric == PHOTOMETRIC_MINISWHITE;
            writeTiff(path("rgb.tif"), {.width = W, .height = H, .bits = bits}, white ? inverted : greyPattern);
            writeTiff(path("grey.tif"),
                      {.width = W, .height = H, .bits = bits, .tile = 16, .samples = 1, .photometric = photometric},
                      greyPattern);
            const std::string rgbRpx = compress("rgb.tif", FileKind::CompressTiff);
            const std::string greyRpx = compress("grey.tif", FileKind::CompressTiff);
            EXPECT_EQ(withoutTrailer(readFile(greyRpx)), withoutTrailer(readFile(rgbRpx)));

            const std::vector<uint16_t> grey = greyOf(readTiff(expand(rgbRpx)).values);
            ASSERT_EQ(grey.size(), std::size_t{W} * H);
            const std::vector<uint16_t> grey8 = to8(grey);
            std::vector<uint16_t> stored = bits == 8 ? grey8 : grey;
            if (white)
                for (uint16_t& v : stored) v = static_cast<uint16_t>((bits == 8 ? 0xff : 0xffff) - v);

            const ReadTiff tif = readTiff(expand(greyRpx));
            EXPECT_EQ(tif.samples, 1);
            EXPECT_EQ(tif.bits, bits);
            EXPECT_EQ(tif.photometric, photometric);
            EXPECT_EQ(tif.values, stored);
            // PNG has only black at 0; BMP three equal samples.
            const ReadPng png = readPng(expand(greyRpx, true));
            EXPECT_EQ(png.channels, 1);
            EXPECT_EQ(png.bits, bits);
            EXPECT_EQ(png.samples, bits == 8 ? grey8 : grey);
            std::vector<uint16_t> grey3;
            for (uint16_t v : grey8) grey3.insert(grey3.end(), 3, v);
            EXPECT_EQ(bmpSamples(expand(greyRpx, false, true), W, H), grey3);
            // A grey PNG (black at 0 only) codes as the TIFF and comes back as it, as grey TIFF or PNG.
            for (const bool interlaced : {false, true}) {
                if (white) continue;
                writePng(path("p.png"), {.width = W, .height = H, .bits = bits, .colour = PNG_COLOR_TYPE_GRAY,
                                         .interlaced = interlaced}, greyPattern);
                const std::string pngRpx = compress("p.png", FileKind::CompressPng);
                EXPECT_EQ(withoutTrailer(readFile(pngRpx)), withoutTrailer(readFile(greyRpx)));
                const ReadTiff back = readTiff(expand(pngRpx));
                EXPECT_EQ(std::tie(back.samples, back.photometric, back.values),
                          std::tie(tif.samples, photometric, stored));
                const ReadPng again = readPng(expand(pngRpx, true));
                EXPECT_EQ(std::tie(again.channels, again.bits, again.samples),
                          std::tie(png.channels, png.bits, png.samples));
            }
        }
}

// The container with its trailer replaced by `edit`'s version of it.
void editTrailer(const std::string& rpx, const std::function<void(Trailer&)>& edit) {
    std::optional<Trailer> t = trailerOf(rpx);
    ASSERT_TRUE(t && t->grey);
    edit(*t);
    writeFile(rpx, withTrailer(withoutTrailer(readFile(rpx)), *t));
}

TEST_F(Greyscale, TheGreyChecksumIsCheckedAndReadersWithoutItGetTheRgbPicture) {
    writeTiff(path("g.tif"), {.width = 33, .height = 50, .samples = 1, .photometric = PHOTOMETRIC_MINISBLACK},
              greyPattern);
    const std::string rpx = compress("g.tif", FileKind::CompressTiff);
    Quiet ui;
    EXPECT_TRUE(verifyFile(rpx, false, settings, ui).pixelChecksum);

    const std::vector<uint8_t> good = readFile(rpx);
    editTrailer(rpx, [](Trailer& t) { t.grey->pixels.low ^= 1; });
    EXPECT_THAT(errorText([&] { verifyFile(rpx, false, settings, ui); }), HasSubstr(kDamagedFileText));
    for (const bool png : {false, true}) {
        EXPECT_THAT(errorText([&] { expand(rpx, png); }), HasSubstr(kDamagedFileText));
        EXPECT_EQ(entries(), (std::set<std::string>{"g.tif", "g_49-2.rpx"}));
    }

    // As a reader that skips the record sees it: RGB, its pixel checksum right.
    writeFile(rpx, good);
    editTrailer(rpx, [](Trailer& t) { t.grey.reset(); });
    const ReadTiff rgb = readTiff(expand(rpx));
    EXPECT_EQ(rgb.samples, 3);
    EXPECT_EQ(rgb.photometric, PHOTOMETRIC_RGB);
}

TEST_F(Greyscale, RefusesWhatIsNotPlainGreyAndLeavesNothing) {
    const auto refusal = [&](const std::string& name, FileKind kind) {
        Quiet ui;
        const std::string text = errorText([&] { compressFile(path(name), kind, {}, ui); });
        EXPECT_EQ(entries(), std::set<std::string>{name});
        std::filesystem::remove(path(name));
        return text;
    };
    const std::pair<TiffLayout, const char*> tiffs[] = {
        {{.samples = 1, .photometric = PHOTOMETRIC_RGB}, "PhotometricInterpretation 2 with 1 sample"},
        {{.bits = 8, .samples = 1, .photometric = PHOTOMETRIC_SEPARATED}, "PhotometricInterpretation 5"},
        {{.samples = 3, .photometric = PHOTOMETRIC_MINISBLACK}, "PhotometricInterpretation 1 with 3 samples"},
        {{.samples = 2, .photometric = PHOTOMETRIC_MINISBLACK}, "SamplesPerPixel 2"},
    };
    for (const auto& [layout, reason] : tiffs) {
        SCOPED_TRACE(reason);
        writeTiff(path("t.tif"), layout);
        EXPECT_THAT(refusal("t.tif", FileKind::CompressTiff),
                    AllOf(HasSubstr(kUnsupportedTiffText), HasSubstr(reason)));
    }
    // Cut inside the pixels of a grey TIFF.
    writeTiff(path("g.tif"), {.width = 200, .height = 50, .samples = 1, .photometric = PHOTOMETRIC_MINISWHITE});
    std::vector<uint8_t> cut = readFile(path("g.tif"));
    cut.resize(cut.size() / 3);
    writeFile(path("g.tif"), cut);
    EXPECT_THAT(refusal("g.tif", FileKind::CompressTiff),
                AnyOf(HasSubstr(kInputReadText), HasSubstr(kUnsupportedTiffText), HasSubstr(kNotTiffText)));

    writePng(path("g4.png"), {.bits = 4, .colour = PNG_COLOR_TYPE_GRAY});
    EXPECT_THAT(refusal("g4.png", FileKind::CompressPng), AllOf(HasSubstr(kUnsupportedPngText), HasSubstr("bit depth 4")));
}

TEST(GreyStripPlanes, TakesTheRoundedMeanOfEachPixelAndSumsItAsWritten) {
    TestImage img = layout(6, 5);
    img.alloc();
    // Sums 0, 1, 2 (mod 3) round down, down, up.
    const uint16_t rgb[][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 1}, {65520, 65534, 65534}, {100, 200, 400}, {7, 7, 7}};
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x)
            for (int c = 0; c < 3; ++c) sample(img.strip, img, c, x, y) = static_cast<int16_t>(rgb[x][c] + (c == 0 ? 3 * y : 0));
    const Checksum128 sum = greyStripPlanes(img, 0, img.strip);
    Checksummer expected;
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) {
            const auto grey = static_cast<uint16_t>((uint32_t{rgb[x][0]} + 3 * y + rgb[x][1] + rgb[x][2] + 1) / 3);
            for (int c = 0; c < 3; ++c) ASSERT_EQ(static_cast<uint16_t>(sample(img.strip, img, c, x, y)), grey);
            addSamples(expected, &grey, 1);
        }
    EXPECT_EQ(sum, expected.digest());
}

}  // namespace
