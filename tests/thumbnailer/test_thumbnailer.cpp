// The .rpx thumbnailer: strip-wise decoding, a faithful turned preview, failures without output.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <tuple>

#include "app/core/drivers.h"
#include "app/thumbnailer/thumbnail.h"
#include "container/decoded_strips.h"
#include "tests/app/app_support.h"
#include "tests/container/png_support.h"
#include "tests/container/range_damage.h"

using namespace kirune;
using namespace kirune::test;

namespace {

// Shading, a diagonal edge and quadrant colours: no flipped or channel-swapped preview passes.
uint16_t scene(int x, int y, int c) {
    double v = 18000 + 8000 * std::sin(x * 0.04 + c) + 6000 * std::cos(y * 0.05 - c);
    if (x > 2 * y) v += 14000;
    if ((x < 150) != (y < 100)) v += c == 0 ? 16000 : -9000;
    return static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0));
}

constexpr int kWidth = 301, kHeight = 203;

class Thumbnailer : public ScratchDir {
protected:
    // 301 x 203 in strips of 8 rows (the last one short), tagged unless `orientation` is 1.
    std::string makeContainer(int orientation = 1) {
        writeTiff(path("scene.tif"), {.width = kWidth, .height = kHeight}, scene);
        if (TIFF* t = orientation != 1 ? TIFFOpen(path("scene.tif").c_str(), "r+") : nullptr)
            TIFFSetField(t, TIFFTAG_ORIENTATION, orientation), TIFFRewriteDirectory(t), TIFFClose(t);
        Quiet ui;
        JobSettings settings;
        settings.outputDir = dir.string(), settings.stripBudgetLog2 = 12;
        return compressFile(path("scene.tif"), FileKind::CompressTiff, settings, ui).output;
    }

    // Its status and what it printed (errors only: a preview goes to its file).
    static Ran thumbnail(const std::string& args) { return runCommand(std::string(KIRUNE_THUMBNAILER) + " " + args); }
};

// The picture averaged over a 64 x 43 preview pixel's exact area, on the 8-bit scale.
double areaMean(int ox, int oy, int c) {
    const double x0 = ox * kWidth / 64.0, x1 = (ox + 1) * kWidth / 64.0;
    const double y0 = oy * kHeight / 43.0, y1 = (oy + 1) * kHeight / 43.0;
    double sum = 0, area = 0;
    for (int y = int(y0); y < int(std::ceil(y1)); ++y)
        for (int x = int(x0); x < int(std::ceil(x1)); ++x) {
            const double a = (std::min(x1, x + 1.0) - std::max(x0, double(x))) *
                             (std::min(y1, y + 1.0) - std::max(y0, double(y)));
            sum += a * scene(x, y, c);
            area += a;
        }
    return sum / area / 257.0;
}

}  // namespace

TEST_F(Thumbnailer, StripsDecodedOneAtATimeAreTheExpandedPicture) {
    const std::string rpx = makeContainer();
    JobSettings settings;
    settings.outputDir = (dir / "expanded").string();
    std::filesystem::create_directory(settings.outputDir);
    Quiet ui;
    const std::vector<uint16_t> expected = tiffSamples(expandFile(rpx, settings, ui).output);
    DecodedStrips strips(rpx);
    EXPECT_TRUE(strips.hasPixelChecksum());
    std::vector<uint16_t> got, row;
    int stripCount = 0;
    for (; strips.next(); ++stripCount) {
        EXPECT_EQ(size_t(strips.geometry().firstImageRow) * kWidth * 3, got.size());
        for (int32_t r = 0; r < strips.geometry().imageRows; ++r)
            strips.copyRow(r, row), got.insert(got.end(), row.begin(), row.end());
    }
    EXPECT_TRUE(got == expected);
    EXPECT_EQ(stripCount, strips.layout().stripCount);
    EXPECT_GT(stripCount, 20);
    EXPECT_FALSE(strips.next());
}

TEST(ThumbnailSize, KeepsTheAspectAndNeverEnlarges) {
    // The last, a panorama, keeps at least one row.
    const int cases[][5] = {{6000, 4000, 256, 256, 171}, {200, 120, 256, 200, 120}, {100000, 10, 128, 128, 1}};
    for (const auto& c : cases) {
        const ThumbnailSize s = thumbnailSize(c[0], c[1], c[2]);
        EXPECT_EQ(std::make_pair(s.width, s.height), std::make_pair(c[3], c[4])) << c[0] << "x" << c[1];
    }
}

TEST_F(Thumbnailer, PreviewResemblesThePictureTurnedAsTheOrientationTagSays) {
    // Display (X, Y) shows stored (x, y) of the 64 x 43 preview: a quarter turn clockwise for 6, back for 8.
    const std::pair<int, std::function<std::pair<int, int>(int, int)>> cases[] = {
        {1, [](int X, int Y) { return std::make_pair(X, Y); }},
        {6, [](int X, int Y) { return std::make_pair(Y, 42 - X); }},
        {8, [](int X, int Y) { return std::make_pair(63 - Y, X); }},
    };
    for (const auto& [orientation, stored] : cases) {
        const Ran r = thumbnail("-s 64 " + makeContainer(orientation) + " " + path("preview.png"));
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output, "");
        const ReadPng p = readPng(path("preview.png"));
        ASSERT_EQ(std::make_pair(p.bits, p.channels), std::make_pair(8, 3));
        ASSERT_EQ(p.width, orientation == 1 ? 64 : 43) << orientation;
        ASSERT_EQ(p.height, orientation == 1 ? 43 : 64) << orientation;
        double total = 0, worst = 0;
        for (int Y = 0; Y < p.height; ++Y)
            for (int X = 0; X < p.width; ++X) {
                const auto [x, y] = stored(X, Y);
                for (int c = 0; c < 3; ++c) {
                    const double d = std::abs(p.samples[(size_t(Y) * p.width + X) * 3 + c] - areaMean(x, y, c));
                    total += d;
                    worst = std::max(worst, d);
                }
            }
        // Boxes cut at whole pixels differ from the exact areas along edges only.
        EXPECT_LT(total / (64 * 43 * 3), 1.5) << orientation;
        EXPECT_LT(worst, 24) << orientation;
    }
}

TEST_F(Thumbnailer, DamagedOrHugeContainersFailWithOneLineAndNoOutput) {
    const std::vector<uint8_t> good = readFile(makeContainer()), legacy = withoutTrailer(good);
    const auto cut = [](const std::vector<uint8_t>& b, size_t n) { return std::vector<uint8_t>(b.begin(), b.begin() + n); };
    // An old container claiming a picture in strips of the usual budget, zeros for every strip table.
    const auto claim = [&](uint32_t w, uint32_t h, size_t padding) {
        std::vector<uint8_t> b = legacy;
        putLe(b, 10, w, 4), putLe(b, 14, h, 4), putLe(b, 26, kStripBudgetLog2, 4);
        b.resize(b.size() + padding);
        return b;
    };
    std::vector<uint8_t> flipped = good, longer = legacy;
    flipped[good.size() / 2] ^= 0x10;
    longer.resize(legacy.size() + 16);
    std::vector<std::tuple<std::string, std::vector<uint8_t>, std::string>> cases = {
        {"truncated", cut(good, good.size() / 2), ""}, {"one bit flipped", flipped, ""},
        {"without trailer, truncated", cut(legacy, legacy.size() - 100), ""},
        {"without trailer, bytes after the last strip", longer, ""}, {"header only", cut(good, 120), ""}, {"empty", {}, ""},
        {"2^31 pixels in 512 strips of 128 rows", claim(1u << 15, 1u << 16, 512 * 56), "too large"},
        {"within the limit, an empty first strip table", claim(1u << 14, 1u << 15, 128 * 56), kDamagedFileText}};
    writeRangeCoderDamage(makeContainer(), path("range.rpx"));
    cases.emplace_back("the first mean stream's payload overwritten, checksum recomputed", readFile(path("range.rpx")),
                       kDamagedFileText);
    // At 16 pixels the preview comes from the block means, which read less of the file.
    for (const std::string size : {"", "-s 16 "})
        for (const auto& [what, bytes, says] : cases) {
            writeFile(path("bad.rpx"), bytes);
            const Ran r = thumbnail(size + path("bad.rpx") + " " + path("bad.png"));
            EXPECT_EQ(r.status, 1) << size << what;
            EXPECT_FALSE(std::filesystem::exists(path("bad.png"))) << size << what;
            EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << size << what << ": " << r.output;
            EXPECT_NE(r.output.find(says), std::string::npos) << size << what << ": " << r.output;
        }
    // A container of an older writer, without checksums, still has a preview, by default 256 wide.
    writeFile(path("legacy.rpx"), legacy);
    EXPECT_EQ(thumbnail(path("legacy.rpx") + " " + path("legacy.png")).status, 0);
    EXPECT_EQ(readPng(path("legacy.png")).width, 256);
}

TEST_F(Thumbnailer, UsageErrorsExitWithTwo) {
    for (const char* args : {"", "only-one.rpx", "-s 0 a.rpx b.png", "-s 12x a.rpx b.png", "-s 5000 a.rpx b.png",
                             "a.rpx b.png c.png", "a.rpx -s"})
        EXPECT_EQ(thumbnail(args).status, 2) << args;
    EXPECT_EQ(thumbnail(path("missing.rpx") + " " + path("x.png")).status, 1);
}
