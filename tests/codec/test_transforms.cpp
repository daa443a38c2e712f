#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <iterator>

#include "codec/transforms.h"
#include "tests/codec/codec_test.h"

using namespace kirune;

namespace {

void expectRows(const BlockVec& v, const int (&rows)[4][4], const char* what) {
    for (int i = 0; i < 16; ++i) EXPECT_EQ(v.lane[i], rows[i / 4][i % 4]) << what << " lane " << i;
}

// The means of a plane of B block columns whose region holds `rows` rows from
// `firstRow` on.
PlaneRegion meansOf(const uint8_t* means, int32_t B, int32_t rows, int32_t firstRow = 0) {
    PlaneRegion r;
    r.means = const_cast<uint8_t*>(means);
    r.blocksPerRow = B;
    r.rows = rows;
    r.firstRow = firstRow;
    return r;
}

}  // namespace

TEST(SmoothPredictor, NeighbourMeansTiltTheBlock) {
    // Means around the centre block (1, 1) of a 3 x 3 plane: up, left, right, down.
    const auto centre = [](uint8_t c, uint8_t u, uint8_t l, uint8_t r, uint8_t d, int level = 0) {
        const uint8_t means[9] = {0, u, 0, l, c, r, 0, d, 0};
        BlockVec out;
        interpolateFromMeans(meansOf(means, 3, 3), 1, 1, level, out);
        return out;
    };
    expectRows(centre(100, 100, 100, 101, 100), {{1598, 1598, 1600, 1604}, {1598, 1598, 1600, 1604},
                                                 {1598, 1598, 1600, 1604}, {1598, 1598, 1600, 1604}}, "right");
    expectRows(centre(100, 105, 100, 100, 100), {{1620, 1620, 1620, 1620}, {1600, 1600, 1600, 1600},
                                                 {1590, 1590, 1590, 1590}, {1590, 1590, 1590, 1590}}, "up");
    // A dark block under bright neighbours clamps at 0; mean level 1 doubles
    // every step, and the clamp stays at 4080.
    EXPECT_EQ(centre(0, 255, 255, 255, 255).lane[5], 0);
    EXPECT_EQ(centre(127, 127, 127, 127, 127, 1).lane[9], 4064);
    EXPECT_EQ(centre(200, 200, 200, 200, 200, 1).lane[0], 4080);
}

TEST(SmoothPredictor, RegionEdgesUseTheBlocksOwnMean) {
    // 2 columns x 4 block rows, region rows 2..3 (O = 2, R = 2): the rows above
    // are ignored, and row a = 2 >= R - 1 has no lower neighbour either.
    const uint8_t means[8] = {250, 250, 250, 250, 50, 60, 90, 60};
    BlockVec first, last, mid, bottom;
    interpolateFromMeans(meansOf(means, 2, 2, 2), 0, 0, 0, first);
    EXPECT_EQ(first.lane[0], 800 - 20);  // only the right neighbour differs
    EXPECT_EQ(first.lane[3], 800 + 40);
    interpolateFromMeans(meansOf(means, 2, 2, 2), 0, 1, 0, last);  // last column: no right neighbour
    expectRows(last, {{920, 960, 980, 980}, {920, 960, 980, 980}, {920, 960, 980, 980}, {920, 960, 980, 980}}, "last");
    // Without an offset the lower neighbour counts while a < R - 1.
    const uint8_t column[3] = {100, 100, 108};
    interpolateFromMeans(meansOf(column, 1, 3), 1, 0, 0, mid);
    interpolateFromMeans(meansOf(column, 1, 3), 2, 0, 0, bottom);  // the last row: only the upper neighbour
    EXPECT_EQ(mid.lane[0], 1600 - 16);
    EXPECT_EQ(mid.lane[12], 1600 + 32);
    EXPECT_EQ(bottom.lane[0], 108 * 16 - 32);
}

TEST(ColourConversion, MatrixOffsetAndClamp) {
    TestStrip s = stripState(8, 8);
    StripWork& w = s.work;
    // Y, Cb, Cr -> R, G, B; (t + 256) >> 9 clamped to 0..65535: white stays white.
    const struct { int16_t y, cb, cr; uint16_t r, g, b; } cases[] = {
        {2048, 2048, 2048, 32768, 32768, 32768}, {4095, 2048, 2048, 65520, 65520, 65520},
        {0, 2048, 2048, 0, 0, 0},                {2048, 2048, 4095, 65535, 9387, 32768},
        {2048, 0, 2048, 32768, 44044, 0},        {-100, 2048, 2048, 0, 0, 0},
        {2048, 2048, 2304, 38511, 29844, 32768}};  // R exactly halfway: rounds up
    for (std::size_t i = 0; i < std::size(cases); ++i) w.yPlane[3].lane[i] = cases[i].y, w.cbPlane[3].lane[i] = cases[i].cb, w.crPlane[3].lane[i] = cases[i].cr;
    yccToRgb(s.geometry, w);
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ((std::array{uint16_t(w.rPlane[3].lane[i]), uint16_t(w.gPlane[3].lane[i]), uint16_t(w.bPlane[3].lane[i])}),
                  (std::array{cases[i].r, cases[i].g, cases[i].b})) << i;
}

TEST(ChromaUpsampling, ReplicatesEachSampleIntoTheBlocksItCovers) {
    TestStrip q = stripState(16, 16, Sampling420);  // chroma 2 x 2 blocks, luma 4 x 4
    for (int i = 0; i < 16; ++i) q.work.crPlaneQuarter[2].lane[i] = static_cast<int16_t>(200 + i);
    upsample420(q.geometry, q.work);
    // Chroma block (row 1, column 0) covers luma blocks rows 2..3, columns 0..1.
    for (int by = 0; by < 2; ++by)
        for (int bx = 0; bx < 2; ++bx)
            for (int e = 0; e < 16; ++e)
                ASSERT_EQ(q.work.crPlane[(2 + by) * 4 + bx].lane[e], 200 + 4 * (2 * by + e / 8) + 2 * bx + e % 4 / 2);
    TestStrip h = stripState(16, 8, Sampling422);  // chroma 2 x 2 blocks, luma 4 x 2
    for (int i = 0; i < 16; ++i) h.work.cbPlaneHalf[3].lane[i] = static_cast<int16_t>(i);
    upsample422(h.geometry, h.work);
    for (int bx = 0; bx < 2; ++bx)
        for (int e = 0; e < 16; ++e) ASSERT_EQ(h.work.cbPlane[6 + bx].lane[e], e / 4 * 4 + 2 * bx + e % 4 / 2);
}
