#include <gtest/gtest.h>

#include <cstdint>

#include "codec/val.h"
#include "encoder/prepare.h"

using namespace kirune;

namespace {

// A strip state for a width x height image at quality K, on its strip `index`.
struct Strip {
    CodecState s;
    Strip(int width, int height, int sampling, int K = 21, int budgetLog2 = kStripBudgetLog2, int index = 0) {
        setCodecParams(s, K);
        s.colourSampling = sampling;
        s.sourceWidth = width;
        s.stripImageRows = height;
        s.stripBudgetLog2 = budgetLog2;
        computeStripLayout(s);
        allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
        beginStrip(s, index);
    }
    StripWork& w() { return s.strip; }
    std::size_t lumaBlocks() const { return static_cast<std::size_t>(s.lumaBlocksPerRow) * s.stripHeight / 4; }
};

void fillPlane(BlockPlane& p, std::size_t blocks, int16_t v) {
    for (std::size_t k = 0; k < blocks; ++k) blockFill(p[k], v);
}

}  // namespace

TEST(RgbToYcc, GreyKeepsChromaCentredInBothVariants) {
    Strip t(16, 8, Sampling444);
    const std::size_t n = t.lumaBlocks();
    fillPlane(t.w().rPlane, n, 100);
    fillPlane(t.w().gPlane, n, 100);
    fillPlane(t.w().bPlane, n, 100);
    rgbToYcc(t.s, t.w(), RgbInput::Eight);
    for (std::size_t k = 0; k < n; ++k)
        for (int e = 0; e < 16; ++e) {
            ASSERT_EQ(t.w().yPlane[k].lane[e], 1600);  // 8-bit input scaled by 16
            ASSERT_EQ(t.w().cbPlane[k].lane[e], 2048);
            ASSERT_EQ(t.w().crPlane[k].lane[e], 2048);
        }
    rgbToYcc(t.s, t.w(), RgbInput::Native12);
    EXPECT_EQ(t.w().yPlane[0].lane[0], 100);
    EXPECT_EQ(t.w().cbPlane[0].lane[0], 2048);
    EXPECT_EQ(t.w().crPlane[n - 1].lane[15], 2048);
}

TEST(RgbToYcc, PrimariesGiveTheWeightedSums) {
    Strip t(8, 8, Sampling444);
    const std::size_t n = t.lumaBlocks();
    fillPlane(t.w().rPlane, n, 0);
    fillPlane(t.w().gPlane, n, 0);
    fillPlane(t.w().bPlane, n, 0);
    t.w().rPlane[0].lane[0] = 4095;  // red
    t.w().bPlane[0].lane[1] = 4095;  // blue
    t.w().gPlane[1].lane[5] = 255;   // green, as 8-bit input below
    rgbToYcc(t.s, t.w(), RgbInput::Native12);
    // Y = 2449 R >> 13, Cb = (2048*8192 - 1380 R) >> 13, Cr = (2048*8192 + 4096 R) >> 13
    EXPECT_EQ(t.w().yPlane[0].lane[0], 1224);
    EXPECT_EQ(t.w().cbPlane[0].lane[0], 1358);
    EXPECT_EQ(t.w().crPlane[0].lane[0], 4095);
    // Blue: Y = 934 B >> 13, Cb = (..+ 4096 B) >> 13, Cr = (.. - 666 B) >> 13
    EXPECT_EQ(t.w().yPlane[0].lane[1], 466);
    EXPECT_EQ(t.w().cbPlane[0].lane[1], 4095);
    EXPECT_EQ(t.w().crPlane[0].lane[1], 1715);
    rgbToYcc(t.s, t.w(), RgbInput::Eight);
    // Green at 8 bits: Y = 4809*255 >> 9, Cb = (128*8192 - 2716*255) >> 9 (floor of a negative-free sum)
    EXPECT_EQ(t.w().yPlane[1].lane[5], 2395);
    EXPECT_EQ(t.w().cbPlane[1].lane[5], 695);
    EXPECT_EQ(t.w().crPlane[1].lane[5], 339);
}

TEST(RgbToYcc, TouchesOnlyTheCodedRowsOfTheLastStrip) {
    // Budget 2^8 at width 8: two strips of 24 rows, the last coding 16 of them.
    Strip t(8, 40, Sampling444, 21, 8, 1);
    ASSERT_EQ(t.s.stripHeight, 24);
    ASSERT_EQ(t.s.lumaRowOffset, 2);
    const std::size_t n = t.lumaBlocks();
    fillPlane(t.w().rPlane, n, 50);
    fillPlane(t.w().gPlane, n, 50);
    fillPlane(t.w().bPlane, n, 50);
    fillPlane(t.w().yPlane, n, -1);
    rgbToYcc(t.s, t.w(), RgbInput::Native12);
    const std::size_t firstCoded = static_cast<std::size_t>(t.s.lumaRowOffset) * t.s.lumaBlocksPerRow;
    for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(t.w().yPlane[k].lane[3], k < firstCoded ? -1 : 50) << k;
}

TEST(DownsampleChroma, AveragesPixelPairsWithFloor) {
    Strip t(16, 16, Sampling420);
    const std::size_t n = t.lumaBlocks();
    for (std::size_t k = 0; k < n; ++k)
        for (int e = 0; e < 16; ++e) {
            t.w().cbPlane[k].lane[e] = static_cast<int16_t>(k * 16 + e);  // distinct everywhere
            t.w().crPlane[k].lane[e] = static_cast<int16_t>(-(int)(k * 16 + e));
        }
    downsampleChroma(t.s, t.w());
    const int fullB = t.s.lumaBlocksPerRow, halfB = t.s.chroma422BlocksPerRow;
    ASSERT_EQ(fullB, 4);
    ASSERT_EQ(halfB, 2);
    auto cbFull = [&](int px, int py) { return t.w().cbPlane[(py / 4) * fullB + px / 4].lane[(py % 4) * 4 + px % 4]; };
    auto crFull = [&](int px, int py) { return t.w().crPlane[(py / 4) * fullB + px / 4].lane[(py % 4) * 4 + px % 4]; };
    for (int py = 0; py < 16; ++py)
        for (int hx = 0; hx < 8; ++hx) {
            const int16_t cb = t.w().cbPlaneHalf[(py / 4) * halfB + hx / 4].lane[(py % 4) * 4 + hx % 4];
            const int16_t cr = t.w().crPlaneHalf[(py / 4) * halfB + hx / 4].lane[(py % 4) * 4 + hx % 4];
            ASSERT_EQ(cb, (cbFull(2 * hx, py) + cbFull(2 * hx + 1, py)) >> 1);
            ASSERT_EQ(cr, (crFull(2 * hx, py) + crFull(2 * hx + 1, py)) >> 1);  // floor for negatives
        }
    const int qB = t.s.chroma420BlocksPerRow;
    auto crHalf = [&](int px, int py) { return t.w().crPlaneHalf[(py / 4) * halfB + px / 4].lane[(py % 4) * 4 + px % 4]; };
    for (int qy = 0; qy < 8; ++qy)
        for (int qx = 0; qx < 8; ++qx) {
            const int16_t cr = t.w().crPlaneQuarter[(qy / 4) * qB + qx / 4].lane[(qy % 4) * 4 + qx % 4];
            ASSERT_EQ(cr, (crHalf(qx, 2 * qy) + crHalf(qx, 2 * qy + 1)) >> 1);
        }
    // (-1 + -2) >> 1 is -2, not -1.
    EXPECT_EQ(t.w().crPlaneHalf[0].lane[0], -1);
    EXPECT_EQ(t.w().crPlaneHalf[0].lane[1], -3);
}

TEST(DownsampleChroma, LeavesFourFourFourAlone) {
    Strip t(8, 8, Sampling444);
    fillPlane(t.w().cbPlane, t.lumaBlocks(), 7);
    downsampleChroma(t.s, t.w());
    EXPECT_TRUE(t.w().cbPlaneHalf.empty());
    EXPECT_EQ(t.w().cbPlane[0].lane[0], 7);
}

TEST(MeansAndCorrections, SplitEachBlockIntoMeanByteAndRemainder) {
    Strip t(8, 8, Sampling444);
    BlockVec* y = t.w().yPlane.data();
    blockFill(y[0], 4095);  // clamps: mean byte 255, mean value 4080
    blockFill(y[1], 0);
    for (int e = 0; e < 16; ++e) y[2].lane[e] = static_cast<int16_t>(1000 + 10 * e);
    blockFill(y[3], 4095);
    blockFill(t.w().cbPlane[0], 2048);
    blockFill(t.w().crPlane[0], 17);
    computeMeans(t.s, t.w());
    removeMeans(t.s, t.w());
    EXPECT_EQ(t.w().yMeans[0], 255);
    EXPECT_EQ(t.w().yMeans[1], 0);
    EXPECT_EQ(t.w().yMeans[2], 67);  // mean 1075 / 16 rounded
    EXPECT_EQ(t.w().cbMeans[0], 128);
    EXPECT_EQ(t.w().crMeans[0], 1);
    for (int e = 0; e < 16; ++e) {
        EXPECT_EQ(t.w().yResidual[0].lane[e], 15);
        EXPECT_EQ(t.w().yResidual[2].lane[e], 1000 + 10 * e - 67 * 16);
        EXPECT_EQ(t.w().crResidual[0].lane[e], 1);
    }
}

TEST(MeansAndCorrections, UseTheMeanLevelAndTheCodedChromaPlanes) {
    Strip t(16, 16, Sampling420, 50000);  // meanLevel 3
    ASSERT_EQ(t.s.meanLevel, 3);
    const std::size_t n = t.lumaBlocks();
    fillPlane(t.w().yPlane, n, 4095);
    fillPlane(t.w().cbPlaneQuarter, n / 4, 1000);
    fillPlane(t.w().crPlaneQuarter, n / 4, 3000);
    computeMeans(t.s, t.w());
    removeMeans(t.s, t.w());
    EXPECT_EQ(t.w().yMeans[0], 31);  // at most 31 with s = 3
    EXPECT_EQ(t.w().yResidual[0].lane[0], 4095 - 31 * 128);
    EXPECT_EQ(t.w().cbMeansQuarter[3], 8);  // 1000 / 128 rounded
    EXPECT_EQ(t.w().cbResidualQuarter[3].lane[9], 1000 - 8 * 128);
    EXPECT_EQ(t.w().crMeansQuarter[0], 23);
}
