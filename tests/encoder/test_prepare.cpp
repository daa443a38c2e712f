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
