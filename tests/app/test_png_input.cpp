// PNG input: the same picture as a PNG and as a TIFF makes the same container,
// the header's fields come from the PNG's chunks, and what cannot be read is
// refused with its reason, leaving nothing behind.

#include <gmock/gmock.h>

#include "app/core/drivers.h"
#include "container/messages.h"
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

    // Cut inside the image data.
    writeFile(path("cut.png"), {good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2)});
    EXPECT_THAT(refusal("cut.png"), HasSubstr(kInputReadText));
    std::filesystem::remove(path("cut.png"));

    // A flipped bit in the image data: its CRC no longer matches.
    std::vector<uint8_t> flipped = good;
    flipped[flipped.size() - 20] ^= 0x10;
    writeFile(path("crc.png"), flipped);
    EXPECT_THAT(refusal("crc.png"), HasSubstr(kInputReadText));
    std::filesystem::remove(path("crc.png"));

    // A header claiming 2^31 - 1 square pixels, its CRC right: refused before
    // anything is allocated for them.
    std::vector<uint8_t> huge = good;
    for (const std::size_t at : {16, 20}) huge[at] = 0x7f, huge[at + 1] = huge[at + 2] = huge[at + 3] = 0xff;
    fixChunkCrc(huge, 8);
    writeFile(path("huge.png"), huge);
    EXPECT_THAT(refusal("huge.png"), AnyOf(HasSubstr(kInputReadText), HasSubstr(kUnsupportedPngText)));
    std::filesystem::remove(path("huge.png"));

    writeFile(path("text.png"), {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'});
    EXPECT_THAT(refusal("text.png"), HasSubstr(kNotPngText));
}

}  // namespace
