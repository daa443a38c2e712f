#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/transforms.h"
#include "codec/val.h"

using namespace kirune;

namespace {

CodecState stripOf(int32_t width, int32_t height, int sampling) {
    CodecState s;
    setCodecParams(s, 12);
    s.colourSampling = sampling;
    s.sourceWidth = width;
    s.stripImageRows = height;
    setupExpandGeometry(s);
    beginStrip(s, s.stripCount - 1);
    return s;
}

// Means of a 3 x 3 neighbourhood around the centre block (1, 1).
BlockVec smoothCentre(uint8_t centre, uint8_t up, uint8_t down, uint8_t left, uint8_t right,
                      int meanLevel = 0) {
    const uint8_t means[9] = {0, up, 0, left, centre, right, 0, down, 0};
    BlockVec out;
    interpolateFromMeans(means, 3, 3, 1, 1, 0, meanLevel, out);
    return out;
}

int32_t laneSum(const BlockVec& v) {
    int32_t s = 0;
    for (int16_t l : v.lane) s += l;
    return s;
}

uint16_t u16(int16_t lane) { return static_cast<uint16_t>(lane); }

}  // namespace

TEST(SmoothPredictor, OneBrighterNeighbourTiltsEveryRow) {
    const int Mc = 100 * 16;
    // Right neighbour one mean byte higher.
    BlockVec v = smoothCentre(100, 100, 100, 100, 101);
    for (int y = 0; y < 4; ++y) {
        EXPECT_EQ(v.lane[4 * y + 0], Mc - 2);
        EXPECT_EQ(v.lane[4 * y + 1], Mc - 2);
        EXPECT_EQ(v.lane[4 * y + 2], Mc);
        EXPECT_EQ(v.lane[4 * y + 3], Mc + 4);
    }
    EXPECT_EQ(laneSum(v), 16 * Mc);

    // Upper neighbour (the preceding block row) five bytes higher.
    v = smoothCentre(100, 105, 100, 100, 100);
    const int rows[4] = {Mc + 20, Mc, Mc - 10, Mc - 10};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(v.lane[4 * y + x], rows[y]) << y << "," << x;
    EXPECT_EQ(laneSum(v), 16 * Mc);

    v = smoothCentre(77, 77, 77, 77, 77);
    for (int16_t l : v.lane) EXPECT_EQ(l, 77 * 16);
}

TEST(SmoothPredictor, ClampsAndScalesWithMeanLevel) {
    // A dark block under very bright neighbours goes negative before the clamp.
    BlockVec v = smoothCentre(0, 255, 255, 255, 255);
    for (int16_t l : v.lane) {
        EXPECT_GE(l, 0);
        EXPECT_LE(l, 4080);
    }
    EXPECT_EQ(v.lane[5], 0);
    // meanLevel 1: bytes stand for 32 each, and the clamp stays at 4080.
    v = smoothCentre(127, 127, 127, 127, 127, 1);
    for (int16_t l : v.lane) EXPECT_EQ(l, 4064);
    v = smoothCentre(200, 200, 200, 200, 200, 1);
    for (int16_t l : v.lane) EXPECT_EQ(l, 4080);
}

TEST(SmoothPredictor, RegionEdgesUseTheBlocksOwnMean) {
    // Plane of 2 columns x 4 block rows; region starts at row 2 (O = 2, R = 2).
    // Rows above the region hold very different means that must be ignored.
    const uint8_t means[8] = {250, 250, 250, 250, 50, 60, 90, 60};
    BlockVec first;
    // a = O: no upper neighbour; a = 2 >= R - 1 = 1: no lower neighbour either,
    // although row 3 belongs to the region.
    interpolateFromMeans(means, 2, 2, 0, 2, 2, 0, first);
    // Only the right neighbour (60) differs: same tilt as the first case.
    const int Mc = 50 * 16;
    EXPECT_EQ(first.lane[0], Mc - 20);
    EXPECT_EQ(first.lane[3], Mc + 40);

    // Last column: the right neighbour is the block itself.
    BlockVec last;
    interpolateFromMeans(means, 2, 2, 1, 2, 2, 0, last);
    const int M2 = 60 * 16;
    // Left darker by 160: rows of M - 40, M, M + 20, M + 20.
    for (int y = 0; y < 4; ++y) {
        EXPECT_EQ(last.lane[4 * y], M2 - 40);
        EXPECT_EQ(last.lane[4 * y + 1], M2);
        EXPECT_EQ(last.lane[4 * y + 3], M2 + 20);
    }
    EXPECT_EQ(laneSum(last), 16 * M2);

    // Without an offset the lower neighbour is read while a < R - 1.
    const uint8_t col[3] = {100, 100, 108};
    BlockVec mid;
    interpolateFromMeans(col, 1, 3, 0, 1, 0, 0, mid);
    EXPECT_EQ(mid.lane[0], 1600 - 16);
    EXPECT_EQ(mid.lane[12], 1600 + 32);
    BlockVec bottom;
    interpolateFromMeans(col, 1, 3, 0, 2, 0, 0, bottom);
    EXPECT_EQ(bottom.lane[0], 108 * 16 - 2 * 16);  // only the upper neighbour counts
}

TEST(ColourConversion, MatrixOffsetAndClamp) {
    CodecState s = stripOf(8, 8, Sampling444);
    StripWork& w = s.strip;
    const std::size_t n = w.yPlane.size();
    for (std::size_t i = 0; i < n; ++i) {
        blockFill(w.yPlane[i], 2048);
        blockFill(w.cbPlane[i], 2048);
        blockFill(w.crPlane[i], 2048);
    }
    w.yPlane[0].lane[1] = 4095;  // clamps at 65280
    w.yPlane[0].lane[2] = 0;
    w.crPlane[0].lane[3] = 4095;
    w.cbPlane[1].lane[0] = 0;
    w.yPlane[3].lane[15] = -100;  // wrapped data never yields a negative sample
    yccToRgb(s, w);

    EXPECT_EQ(u16(w.rPlane[0].lane[0]), 32768);
    EXPECT_EQ(u16(w.gPlane[0].lane[0]), 32768);
    EXPECT_EQ(u16(w.bPlane[0].lane[0]), 32768);
    for (const BlockPlane* p : {&w.rPlane, &w.gPlane, &w.bPlane}) {
        EXPECT_EQ(u16((*p)[0].lane[1]), 65280);
        EXPECT_EQ(u16((*p)[0].lane[2]), 0);
        EXPECT_EQ(u16((*p)[3].lane[15]), 0);
    }
    EXPECT_EQ(u16(w.rPlane[0].lane[3]), 65280);
    EXPECT_EQ(u16(w.gPlane[0].lane[3]), 9387);
    EXPECT_EQ(u16(w.bPlane[0].lane[3]), 32768);
    // Cb = 0: B = (8192 * 2048 - 14515 * 2048 + 256) >> 9, below 0 -> 0;
    // G = (8192*2048 + 2819*2048 + 256) >> 9 = 44044.
    EXPECT_EQ(u16(w.bPlane[1].lane[0]), 0);
    EXPECT_EQ(u16(w.gPlane[1].lane[0]), 44044);
    EXPECT_EQ(u16(w.rPlane[1].lane[0]), 32768);
}

TEST(ColourConversion, TouchesOnlyTheCodedRegionOfTheLastStrip) {
    // 8 x 20 with 128-pixel strips: two strips of 16 rows, the last coding 8.
    CodecState s;
    setCodecParams(s, 12);
    s.colourSampling = Sampling444;
    s.sourceWidth = 8;
    s.stripImageRows = 20;
    s.stripBudgetLog2 = 7;  // 128 pixels: strips of 16 rows
    setupExpandGeometry(s);
    ASSERT_EQ(s.stripCount, 2);
    beginStrip(s, 1);
    ASSERT_EQ(s.lumaRowOffset, 2);
    StripWork& w = s.strip;
    for (std::size_t i = 0; i < w.yPlane.size(); ++i) {
        blockFill(w.yPlane[i], 2048);
        blockFill(w.cbPlane[i], 2048);
        blockFill(w.crPlane[i], 2048);
        blockFill(w.rPlane[i], 7);
    }
    yccToRgb(s, w);
    for (std::size_t i = 0; i < w.rPlane.size(); ++i)
        EXPECT_EQ(u16(w.rPlane[i].lane[0]), i < 4 ? 7 : 32768) << i;
}

TEST(ChromaUpsampling, Replicates420IntoTwoBlockRows) {
    CodecState s = stripOf(16, 16, Sampling420);  // chroma 2 x 2 blocks, luma 4 x 4
    StripWork& w = s.strip;
    for (int i = 0; i < 16; ++i) {
        w.cbPlaneQuarter[1].lane[i] = static_cast<int16_t>(100 + i);
        w.crPlaneQuarter[2].lane[i] = static_cast<int16_t>(200 + i);
    }
    upsample420(s, w);
    // Chroma block (0, 1) covers luma blocks (0..1, 2..3).
    for (int by = 0; by < 2; ++by)
        for (int bx = 0; bx < 2; ++bx)
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 4; ++x) {
                    const int sy = 2 * by + (y >> 1), sx = 2 * bx + (x >> 1);
                    ASSERT_EQ(w.cbPlane[by * 4 + 2 + bx].lane[4 * y + x], 100 + 4 * sy + sx);
                    ASSERT_EQ(w.crPlane[(2 + by) * 4 + bx].lane[4 * y + x], 200 + 4 * sy + sx);
                }
}

TEST(ChromaUpsampling, Replicates422Horizontally) {
    CodecState s = stripOf(16, 8, Sampling422);  // chroma 2 x 2 blocks, luma 4 x 2
    StripWork& w = s.strip;
    for (int i = 0; i < 16; ++i) w.cbPlaneHalf[3].lane[i] = static_cast<int16_t>(i);
    upsample422(s, w);
    for (int bx = 0; bx < 2; ++bx)
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
                ASSERT_EQ(w.cbPlane[4 + 2 + bx].lane[4 * y + x], 4 * y + 2 * bx + (x >> 1));
}
