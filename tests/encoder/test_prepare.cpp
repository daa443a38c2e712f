#include <gtest/gtest.h>

#include <array>

#include "encoder/prepare.h"
#include "tests/codec/codec_test.h"

using namespace kirune;

TEST(RgbToYcc, WeightedSumsInBothInputUnits) {
    // Y = 2449 R + 4809 G + 934 B, Cb = 4096 B - 2716 G - 1380 R and
    // Cr = 4096 R - 3430 G - 666 B around 2048 (12-bit) or 128 (8-bit),
    // shifted down 13 (12-bit) or 9 (8-bit, so scaled by 16).
    const struct { RgbInput in; int16_t r, g, b, y, cb, cr; } cases[] = {
        {RgbInput::Native12, 4095, 0, 0, 1224, 1358, 4095}, {RgbInput::Native12, 0, 0, 4095, 466, 4095, 1715},
        {RgbInput::Native12, 100, 100, 100, 100, 2048, 2048}, {RgbInput::Eight, 100, 100, 100, 1600, 2048, 2048},
        {RgbInput::Eight, 0, 255, 0, 2395, 695, 339}};
    TestStrip s = stripState(8, 8);
    StripWork& w = s.work;
    for (const auto& c : cases) {
        blockFill(w.rPlane[3], c.r), blockFill(w.gPlane[3], c.g), blockFill(w.bPlane[3], c.b);
        rgbToYcc(s.geometry, w, c.in);
        EXPECT_EQ(w.yPlane[3].lane[15], c.y) << c.r << " " << c.g << " " << c.b;
        EXPECT_EQ(w.cbPlane[3].lane[15], c.cb) << c.r << " " << c.g << " " << c.b;
        EXPECT_EQ(w.crPlane[3].lane[15], c.cr) << c.r << " " << c.g << " " << c.b;
    }
}

TEST(DownsampleChroma, AveragesHorizontalThenVerticalPairsWithFloor) {
    TestStrip s = stripState(16, 16, Sampling420);  // 4 x 4 blocks, half 2 x 4, quarter 2 x 2
    StripWork& w = s.work;
    for (int k = 0; k < 16; ++k)
        for (int e = 0; e < 16; ++e) w.crPlane[k].lane[e] = static_cast<int16_t>(-(k * 16 + e));
    downsampleChroma(s.geometry, w);
    // Pixel (x, y) of a plane of B blocks per row.
    const auto at = [](const BlockPlane& p, int B, int x, int y) { return p[(y / 4) * B + x / 4].lane[(y % 4) * 4 + x % 4]; };
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 8; ++x)
            ASSERT_EQ(at(w.crPlaneHalf, 2, x, y), (at(w.crPlane, 4, 2 * x, y) + at(w.crPlane, 4, 2 * x + 1, y)) >> 1);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            ASSERT_EQ(at(w.crPlaneQuarter, 2, x, y), (at(w.crPlaneHalf, 2, x, 2 * y) + at(w.crPlaneHalf, 2, x, 2 * y + 1)) >> 1);
    EXPECT_EQ(w.crPlaneHalf[0].lane[1], -3);  // (-2 + -3) >> 1 rounds down
}

// Mean level 3 (steps of 128) on the quarter planes that 4:2:0 codes.
TEST(MeansAndCorrections, SplitEachCodedBlockIntoMeanByteAndRemainder) {
    TestStrip t = stripState(16, 16, Sampling420, 50000);
    for (int k = 0; k < 16; ++k) blockFill(t.work.yPlane[k], 4095);
    for (int k = 0; k < 4; ++k) blockFill(t.work.cbPlaneQuarter[k], 1000);
    for (int k = 0; k < 4; ++k) blockFill(t.work.crPlaneQuarter[k], 17);
    computeMeans(t.quality, t.geometry, t.work);
    removeMeans(t.quality, t.geometry, t.work);
    // 4095 saturates at 31 steps; 1000 / 128 and 17 / 128 round to 8 and 0.
    EXPECT_EQ(t.work.yMeans[15], 31);
    EXPECT_EQ(t.work.cbMeansQuarter[3], 8);
    EXPECT_EQ(t.work.crMeansQuarter[0], 0);
    EXPECT_EQ(t.work.yResidual[15].lane[0], 4095 - 31 * 128);
    EXPECT_EQ(t.work.cbResidualQuarter[3].lane[9], 1000 - 8 * 128);
    EXPECT_EQ(t.work.crResidualQuarter[1].lane[5], 17);
}
