#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "tests/codec/codec_test.h"
#include "tests/harness/strip_harness.h"

using namespace kirune;
using namespace kirune::harness;

namespace {

struct Level {
    int32_t quality, sampling, db;
};
// The dialog's digit-key presets with the dB figure each promises, then levels
// only the format offers: shift mode with k = 1 and 2, mean levels 1 to 3.
constexpr Level kLevels[] = {{400, Sampling420, 35},  {21, Sampling444, 47},   {12, Sampling444, 49},
                             {6, Sampling444, 51},    {4, Sampling444, 53},    {3, Sampling444, 54},
                             {1, Sampling444, 56},    {65, Sampling444, 42},   {100, Sampling422, 40},
                             {200, Sampling422, 38},  {2000, Sampling420, 0},  {4001, Sampling444, 0},
                             {6400, Sampling422, 0},  {40000, Sampling444, 0}, {40001, Sampling420, 0},
                             {1000000, Sampling422, 0}};

// Flat, gradient, noise, checkerboards, hard edges (random colours on 6 x 5
// cells, across block borders) and bands of saturated primaries.
RgbImage synthetic(int kind, int32_t w, int32_t h) {
    RgbImage img(w, h);
    std::mt19937 rng(99);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                const uint32_t fine = (x + y) & 1, coarse = (x / 3 + y / 3 + c) & 1, band = (x / 5 + 3 * (y / 7)) % 8;
                const uint32_t cell = uint32_t(x / 6 * 7 + y / 5 * 3 + c) * 2654435761u;
                const uint32_t v[6] = {30000u + 1000 * c, uint32_t(c == 0 ? x : c == 1 ? y : x + y) * 65535 / (w + h),
                                       uint32_t(rng()), (fine ^ coarse) * 65535, cell >> 16, (band >> c & 1) * 65535};
                img.at(x, y, c) = uint16_t(v[kind]);
            }
    return img;
}

}  // namespace

// 93 x 70 crops in 2048-pixel strips: 5 strips of 16 rows, the last coding 8
// rows for 6 image rows, so its regions start at block row 2 (4:2:0 chroma 1).
TEST(RoundTrip, PhotographCropsAtEveryLevelWithAShortLastStrip) {
    for (const char* name : {"astronaut_face", "astronaut_flag", "coffee_spoon"}) {
        const RgbImage img = loadFixture(name);
        const TestStrip last = stripState(img.width, img.height, Sampling420, 12, 11);
        ASSERT_EQ(last.layout.stripCount, 5);
        ASSERT_EQ(last.geometry.luma.firstRow, 2);
        ASSERT_EQ(chromaGrid(last.geometry, Sampling420).firstRow, 1);
        std::vector<std::array<double, 3>> byLevel;  // 4:4:4 presets: level, PSNR, bytes
        for (const Level& l : kLevels) {
            const ImageResult r = runImage(img, {l.quality, l.sampling, 11});
            EXPECT_EQ(r.mismatch, "") << name << " level " << l.quality;
            const double psnr = psnr16(img, r.decoded);
            // A gross fault (a sign, a shift, a wrong plane) costs far more
            // than the margin the colour conversion leaves below the figure.
            EXPECT_GT(psnr, l.db - 8) << name << " level " << l.quality;
            if (l.db > 0 && l.sampling == Sampling444) byLevel.push_back({double(l.quality), psnr, double(r.bytes)});
        }
        // Lower levels spend more bits and lose less.
        std::sort(byLevel.begin(), byLevel.end());
        for (std::size_t i = 1; i < byLevel.size(); ++i) {
            EXPECT_LE(byLevel[i][1], byLevel[i - 1][1]) << name << " " << byLevel[i][0];
            EXPECT_LE(byLevel[i][2], byLevel[i - 1][2]) << name << " " << byLevel[i][0];
        }
    }
}

// 61 x 37 in 2048-pixel strips: 2 strips of 24 rows, the last coding 16 rows
// for 13 image rows.
TEST(RoundTrip, SyntheticImagesAtEveryLevelWithAShortLastStrip) {
    for (int kind = 0; kind < 6; ++kind)
        for (const Level& l : kLevels)
            EXPECT_EQ(runImage(synthetic(kind, 61, 37), {l.quality, l.sampling, 11}).mismatch, "") << kind << " " << l.quality;
}

// Widths 8 and 5 (one chroma block per row at 4:2:0 and 4:2:2), 1001 (padded
// to 1008) and 4000; then planes 8192 and 16385 blocks wide, where the match
// search must give up the rows above and then matches altogether.
TEST(RoundTrip, PaddedWidthsAndOneBlockOrVeryWidePlanes) {
    for (auto [w, h] : {std::pair{8, 40}, {5, 13}, {1001, 16}, {4000, 16}})
        for (int kind : {2, 4, 5})
            for (int32_t sampling : {Sampling420, Sampling422, Sampling444})
                for (int32_t q : {3, 400})
                    EXPECT_EQ(runImage(synthetic(kind, w, h), {q, sampling}).mismatch, "") << w << " " << kind << " " << q << " " << sampling;
    for (int32_t w : {32768, 65540})
        for (int kind : {3, 4})
            EXPECT_EQ(runImage(synthetic(kind, w, 8), {12, Sampling444}).mismatch, "") << w << " " << kind;
}

// Planes coded side by side give the sequential coder's streams and
// reconstruction, strip after strip in one working set, also after a strip
// that stopped halfway and left bits in a spare stream.
TEST(RoundTrip, PlanesSideBySideWriteTheSameStreams) {
    const RgbImage img = loadFixture("coffee_spoon");
    for (const int32_t sampling : {Sampling444, Sampling422, Sampling420})
        for (const bool rateAware : {false, true}) {
            SCOPED_TRACE(testing::Message() << "sampling " << sampling << (rateAware ? ", rate-aware" : ""));
            TestStrip alone = stateFor(img, {12, sampling, 11}), beside = stateFor(img, {12, sampling, 11});
            for (int32_t k = 0; k < alone.layout.stripCount; ++k) {
                if (k == 2) {
                    SideStreams& spare = beside.work.planeStreams[1];
                    ASSERT_FALSE(spare.headerBits.empty());
                    for (int i = 0; i < 37; ++i) putBits(spare.headerBits.data(), spare.headerPos, 5, 3);
                    spare.gainBytesPos = 11;
                    spare.blockCounter = 9;
                }
                EXPECT_EQ(encodeImageStrip(alone, img, k, {1, rateAware}),
                          encodeImageStrip(beside, img, k, {3, rateAware}))
                    << "strip " << k;
                const auto a = alone.regions(), b = beside.regions();
                for (std::size_t p = 0; p < 3; ++p) {
                    const std::size_t first = std::size_t(a[p].firstRow) * a[p].blocksPerRow;
                    EXPECT_EQ(0, std::memcmp(a[p].coded + first, b[p].coded + first, a[p].blocks() * sizeof(BlockVec)))
                        << "reconstruction of plane " << p << ", strip " << k;
                }
            }
        }
}
