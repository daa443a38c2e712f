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
    CodecState s = stripState(8, 8);
    StripWork& w = s.strip;
    for (const auto& c : cases) {
        blockFill(w.rPlane[3], c.r), blockFill(w.gPlane[3], c.g), blockFill(w.bPlane[3], c.b);
        rgbToYcc(s, w, c.in);
        EXPECT_EQ((std::array{w.yPlane[3].lane[15], w.cbPlane[3].lane[15], w.crPlane[3].lane[15]}),
                  (std::array{c.y, c.cb, c.cr})) << c.r << " " << c.g << " " << c.b;
    }
}

TEST(DownsampleChroma, AveragesHorizontalThenVerticalPairsWithFloor) {
    CodecState s = stripState(16, 16, Sampling420);  // 4 x 4 blocks, half 2 x 4, quarter 2 x 2
    StripWork& w = s.strip;
    for (int k = 0; k < 16; ++k)
        for (int e = 0; e < 16; ++e) w.crPlane[k].lane[e] = static_cast<int16_t>(-(k * 16 + e));
    downsampleChroma(s, w);
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
    CodecState t = stripState(16, 16, Sampling420, 50000);
    for (int k = 0; k < 16; ++k) blockFill(t.strip.yPlane[k], 4095);
    for (int k = 0; k < 4; ++k) blockFill(t.strip.cbPlaneQuarter[k], 1000);
    for (int k = 0; k < 4; ++k) blockFill(t.strip.crPlaneQuarter[k], 17);
    computeMeans(t, t.strip);
    removeMeans(t, t.strip);
    // 4095 saturates at 31 steps; 1000 / 128 and 17 / 128 round to 8 and 0.
    EXPECT_EQ((std::array{t.strip.yMeans[15], t.strip.cbMeansQuarter[3], t.strip.crMeansQuarter[0]}),
              (std::array<uint8_t, 3>{31, 8, 0}));
    EXPECT_EQ((std::array{t.strip.yResidual[15].lane[0], t.strip.cbResidualQuarter[3].lane[9], t.strip.crResidualQuarter[1].lane[5]}),
              (std::array<int16_t, 3>{4095 - 31 * 128, 1000 - 8 * 128, 17}));
}
