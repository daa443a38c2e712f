#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>

#include "codec/vec_lib.h"

using namespace kirune;

namespace {

BlockVec make(std::initializer_list<int> v) {
    BlockVec b{};
    int i = 0;
    for (int x : v) b.lane[i++] = static_cast<int16_t>(x);
    return b;
}

BlockVec filled(int v) {
    BlockVec b;
    blockFill(b, static_cast<int16_t>(v));
    return b;
}

}  // namespace

TEST(BlockArithmetic, AdditionsWrapInsteadOfSaturating) {
    BlockVec a = filled(32767), one = filled(1), out;
    blockAdd(a, one, out);
    for (int16_t l : out.lane) EXPECT_EQ(l, -32768);

    BlockVec low = filled(-32768);
    blockSubScalar(low, 1, out);
    for (int16_t l : out.lane) EXPECT_EQ(l, 32767);

    blockSub(low, one, out);
    for (int16_t l : out.lane) EXPECT_EQ(l, 32767);

    int16_t ra[4] = {-32768, 5, 0, 100}, rb[4] = {1, 7, -32768, -100}, rd[4];
    rowSub(ra, rb, rd);
    EXPECT_EQ(rd[0], 32767);
    EXPECT_EQ(rd[1], -2);
    EXPECT_EQ(rd[2], -32768);
    EXPECT_EQ(rd[3], 200);
}

TEST(BlockArithmetic, OperationsWorkInPlace) {
    BlockVec v = make({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    blockAdd(v, v, v);
    EXPECT_EQ(v.lane[0], 2);
    EXPECT_EQ(v.lane[15], 32);
    blockScale15(v, 16384, v);  // halves
    EXPECT_EQ(v.lane[0], 1);
    EXPECT_EQ(v.lane[15], 16);
    BlockVec c;
    EXPECT_EQ(&blockCopy(v, c), &c);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(c.lane[i], v.lane[i]);
    blockZero(c);
    for (int16_t l : c.lane) EXPECT_EQ(l, 0);
    int16_t row[4];
    rowCopy(&v.lane[4], row);
    EXPECT_EQ(row[0], 5);
    EXPECT_EQ(row[3], 8);
}

TEST(BlockArithmetic, GainProductsShiftTheFloor) {
    BlockVec v = make({1, -1, 0, 32767, -32768, 100, -100, 7});
    BlockVec out;
    blockScale15(v, 32768, out);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out.lane[i], v.lane[i]);

    blockScale15(v, -1, out);
    EXPECT_EQ(out.lane[0], -1);  // floor(-1 / 32768)
    EXPECT_EQ(out.lane[1], 0);   // floor(1 / 32768)
    EXPECT_EQ(out.lane[2], 0);
    EXPECT_EQ(out.lane[3], -1);
    EXPECT_EQ(out.lane[4], 1);
    EXPECT_EQ(out.lane[6], 0);

    // Pattern 6 with gain 1008, negated.
    blockScale15(filled(4096), -1008, out);
    for (int16_t l : out.lane) EXPECT_EQ(l, -126);

    // The 32-bit product wraps before the shift: 32767 * 2^17 = 2^32 - 2^17.
    BlockVec big = filled(32767);
    blockScale15(big, 1 << 17, out);
    EXPECT_EQ(out.lane[0], static_cast<int16_t>(int32_t(0xFFFE0000u) >> 15));

    int16_t r[4] = {8191, -8192, 3, -3}, d[4];
    rowScale13(r, 16384, d);
    EXPECT_EQ(d[0], 16382);
    EXPECT_EQ(d[1], -16384);
    EXPECT_EQ(d[2], 6);
    EXPECT_EQ(d[3], -6);
    rowScale13(r, 1, d);
    EXPECT_EQ(d[0], 0);
    EXPECT_EQ(d[1], -1);
    EXPECT_EQ(d[3], -1);

    int16_t w[4] = {256, -256, 255, -1};
    rowScale8(w, 3);
    EXPECT_EQ(w[0], 3);
    EXPECT_EQ(w[1], -3);
    EXPECT_EQ(w[2], 2);
    EXPECT_EQ(w[3], -1);
}

TEST(BlockArithmetic, DotHalvesEachPairSumSeparately) {
    // Lanes 0,1 and 2,3 of each row go to D0 and D1.
    BlockVec even = make({2, 0, 2, 0});
    EXPECT_EQ(blockEnergy(even), 8);
    EXPECT_EQ(blockDot(even, even), 4);  // (4 >> 1) + (4 >> 1)

    BlockVec odd = make({1, 0, 1, 0});
    EXPECT_EQ(blockEnergy(odd), 2);
    EXPECT_EQ(blockDot(odd, odd), 0);  // each half loses its low bit: one less than 2/2

    BlockVec a = make({3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0});
    BlockVec b = make({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0});
    EXPECT_EQ(blockDot(a, b), 1);  // D0 = 3 -> 1, D1 = 1 -> 0

    BlockVec neg = make({-3});
    EXPECT_EQ(blockDot(neg, filled(1)), -2);  // arithmetic shift floors
}

TEST(BlockArithmetic, EnergiesWrapAt32Bits) {
    BlockVec v = filled(-32768);
    // 16 * 2^30 = 2^34 wraps to 0.
    EXPECT_EQ(blockEnergy(v), 0);
    BlockVec w = make({3, -4, 0, 0, 0, 12});
    EXPECT_EQ(blockEnergy(w), 169);
    int16_t r[4] = {-32768, -32768, 1, 0};
    EXPECT_EQ(rowEnergy(r), static_cast<int32_t>(0x80000001u));
}

TEST(BlockArithmetic, MeanByteRoundsAndSaturates) {
    EXPECT_EQ(blockMeanByte(filled(4095), 0), 255);  // 32824 saturates to 32767
    EXPECT_EQ(blockMeanByte(filled(0), 0), 0);
    EXPECT_EQ(blockMeanByte(filled(16), 0), 1);
    EXPECT_EQ(blockMeanByte(filled(2048), 0), 128);
    // (sum + 128) / 256: fifteen 0 and one 135 is 0.53 of a step: rounds up.
    BlockVec v = make({135});
    EXPECT_EQ(blockMeanByte(v, 0), 1);
    v = make({120});
    EXPECT_EQ(blockMeanByte(v, 0), 0);
    // Higher mean levels divide by 2^(level + 4) more.
    EXPECT_EQ(blockMeanByte(filled(2048), 1), 64);
    EXPECT_EQ(blockMeanByte(filled(2048), 3), 16);
    // Negative block sums do not produce a wrapped huge mean: clamp keeps it low.
    EXPECT_EQ(blockMeanByte(filled(-100), 0), 255);  // t negative reads as > 32767
}

TEST(BlockArithmetic, NormalizeScalesToNorm16384) {
    BlockVec v = make({100, -50, 25, 0, 10, 20, 30, 40, -10, -20, -30, -40, 5, 6, 7, 8});
    const int32_t e = blockEnergy(v);
    blockNormalize(v, e);
    const double norm = std::sqrt(static_cast<double>(blockEnergy(v)));
    EXPECT_NEAR(norm, 16384.0, 16384.0 * 0.01);
    EXPECT_GT(v.lane[0], 0);
    EXPECT_LT(v.lane[1], 0);

    // e = 1 gives F = 524288: one unit lane becomes 16384.
    BlockVec unit = make({1});
    blockNormalize(unit, 1);
    EXPECT_EQ(unit.lane[0], 16384);

    BlockVec same = make({7, -3});
    blockNormalize(same, 0);
    EXPECT_EQ(same.lane[0], 7);
    blockNormalize(same, -5);
    EXPECT_EQ(same.lane[1], -3);
}

TEST(BlockArithmetic, ShiftDownRoundsWithConstantEight) {
    BlockVec v = make({1, 0, -1, 9, -9, 100, -100, 32767});
    blockShiftDown(v, 1);
    EXPECT_EQ(v.lane[0], 4);
    EXPECT_EQ(v.lane[1], -4);
    EXPECT_EQ(v.lane[2], -4);
    EXPECT_EQ(v.lane[3], 8);
    EXPECT_EQ(v.lane[4], -8);
    EXPECT_EQ(v.lane[5], 54);
    EXPECT_EQ(v.lane[6], -54);
    EXPECT_EQ(v.lane[7], 16387);

    BlockVec w = make({0, 1, -1, 8});
    blockShiftDown(w, 2);
    EXPECT_EQ(w.lane[0], -2);
    EXPECT_EQ(w.lane[1], 2);
    EXPECT_EQ(w.lane[2], -2);
    EXPECT_EQ(w.lane[3], 4);
}

TEST(BlockArithmetic, ShiftUpDropsBitsLeavingTheLane) {
    BlockVec v = make({1, -1, 16384, 0x4001, -16384});
    blockShiftUp(v, 1);
    EXPECT_EQ(v.lane[0], 2);
    EXPECT_EQ(v.lane[1], -2);
    EXPECT_EQ(v.lane[2], -32768);
    EXPECT_EQ(v.lane[3], -32766);
    EXPECT_EQ(v.lane[4], -32768);
    blockShiftUp(v, 2);
    EXPECT_EQ(v.lane[0], 8);
    EXPECT_EQ(v.lane[2], 0);
}
