// Previews built from block means against previews of the decoded pixels, and which one the program shows.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>

#include "app/core/drivers.h"
#include "app/thumbnailer/thumbnail.h"
#include "container/decoded_strips.h"
#include "container/preview_strips.h"
#include "tests/app/app_support.h"
#include "tests/container/png_support.h"

using namespace kirune;
using namespace kirune::test;

namespace {

// Squares of saturated colours, a diagonal split, a black corner and a one-pixel white line, off the block edges.
uint16_t edges(int x, int y, int c) {
    if (x < 61 && y < 50) return 0;
    if (x == 2 * y + 7) return 65535;
    if (((x + 1) / 37 + (y + 2) / 29) % 2) return c == 0 ? 65535 : c == 1 ? 0 : 9000;
    return x + y > 300 ? (c == 1 ? 50000 : 3000) : c == 2 ? 60000 : 12000;
}
// Full-contrast stripes 3 pixels wide every 9: an edge through a block at nearly every preview pixel's side.
uint16_t stripes(int x, int, int c) { return (x / 3) % 3 == 0 ? 65535 : c == 2 ? 60000 : 12000; }
uint16_t gradient(int x, int y, int c) { return static_cast<uint16_t>((x * 97 + y * 53 + c * 7000) % 65536); }

struct Shape {
    const char* name;
    int width, height, maxSide;
    const Preset& preset;
    Pixels px;
    double meanBound;  // on the 8-bit scale
    int largestBound;
    int stripBudgetLog2 = kStripBudgetLog2;
    bool grey = false;
};

// Mean and largest difference on the 8-bit scale.
std::pair<double, int> difference(const Thumbnail& a, const Thumbnail& b) {
    double total = 0;
    int largest = 0;
    for (std::size_t i = 0; i < a.rgb.size(); ++i) {
        total += std::abs(a.rgb[i] - b.rgb[i]);
        largest = std::max(largest, std::abs(a.rgb[i] - b.rgb[i]));
    }
    return {total / double(a.rgb.size()), largest};
}

class PreviewMeans : public ScratchDir {
protected:
    std::string compress(const Shape& s) {
        const std::string tif = path(std::string(s.name) + ".tif");
        TiffLayout t{.width = s.width, .height = s.height, .rowsPerStrip = 16};
        if (s.grey) t.samples = 1, t.photometric = PHOTOMETRIC_MINISBLACK;
        writeTiff(tif, t, s.px);
        Quiet ui;
        JobSettings settings;
        settings.usePreset(s.preset);
        settings.outputDir = dir.string(), settings.stripBudgetLog2 = s.stripBudgetLog2;
        return compressFile(tif, FileKind::CompressTiff, settings, ui).output;
    }
    static std::pair<Thumbnail, Thumbnail> previews(const std::string& rpx, int maxSide) {
        PreviewStrips means(rpx);
        DecodedStrips decoded(rpx);
        return {makeThumbnail(means, maxSide), makeThumbnail(decoded, maxSide)};
    }
};

}  // namespace

TEST_F(PreviewMeans, CloseToTheDecodedPreviewOnEdgesGradientsOddSizesSamplingsAndGrey) {
    // Each preview pixel spans 16 to 18 pixels per 4 of block. Where a block is cut by a preview pixel's side,
    // its mean stands for pixels that differ: an edge there moves the preview pixel by up to a column's share,
    // 1/16 of the contrast per side cut (32 levels for two). Stripes cut blocks at nearly every side.
    const Shape shapes[] = {
        {"edges", 517, 389, 32, kPresets[2], edges, 2.0, 32},
        {"edges, odd sizes, 4:2:0", 661, 519, 20, kPresets[0], edges, 2.0, 32},
        {"edges, 4:2:2, strips of 8 rows, a short last one", 650, 301, 20, kPresets[8], edges, 1.0, 16, 13},
        {"stripes", 517, 389, 32, kPresets[2], stripes, 4.0, 24},
        {"grey", 411, 270, 25, kPresets[2], [](int x, int y, int) { return edges(x, y, 1); }, 2.0, 24,
         kStripBudgetLog2, true},
        {"gradient", 650, 406, 40, kPresets[6], gradient, 0.5, 8},
        {"photograph", 700, 420, 40, kPresets[3], photo, 0.5, 4},
    };
    for (const Shape& s : shapes) {
        ASSERT_TRUE(previewFromMeans(s.width, s.height, s.preset.colourSampling, s.maxSide)) << s.name;
        const auto [fromMeans, decoded] = previews(compress(s), s.maxSide);
        ASSERT_EQ(std::make_pair(fromMeans.width, fromMeans.height), std::make_pair(decoded.width, decoded.height))
            << s.name;
        const auto [mean, largest] = difference(fromMeans, decoded);
        EXPECT_LE(mean, s.meanBound) << s.name;
        EXPECT_LE(largest, s.largestBound) << s.name;
    }
}

TEST_F(PreviewMeans, TheProgramShowsMeansOnlyWhenThePictureShrinksEnough) {
    const std::string rpx = compress({"edges", 517, 389, 0, kPresets[2], edges, 0, 0});
    for (const int maxSide : {32, 256}) {
        const auto [fromMeans, decoded] = previews(rpx, maxSide);
        // Otherwise the program's choice could not show.
        ASSERT_GT(difference(fromMeans, decoded).second, 0) << maxSide;
        const std::string run = std::string(KIRUNE_THUMBNAILER) + " -s " + std::to_string(maxSide) + " " + rpx;
        ASSERT_EQ(std::system((run + " " + path("preview.png")).c_str()), 0);
        const std::vector<uint16_t> shown = readPng(path("preview.png")).samples;
        const Thumbnail& expected = maxSide == 32 ? fromMeans : decoded;
        EXPECT_TRUE(std::equal(shown.begin(), shown.end(), expected.rgb.begin(), expected.rgb.end())) << maxSide;
    }
}
