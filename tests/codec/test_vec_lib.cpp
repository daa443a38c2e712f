#include <gtest/gtest.h>

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
    return blockFill(b, static_cast<int16_t>(v)), b;
}

void expectLanes(const int16_t* got, std::initializer_list<int> want, const char* what) {
    const int* w = want.begin();
    for (int i = 0; i < int(want.size()); ++i) EXPECT_EQ(got[i], w[i]) << what << " lane " << i;
}

}  // namespace

TEST(BlockArithmetic, SumsWrapAndProductsShiftTheFloor) {
    BlockVec out, v = make({-32768, 5, 0, 100, 32767, 1, -1, 7});
    int16_t rd[4];
    expectLanes(blockAdd(v, filled(1), out).lane, {-32767, 6, 1, 101, -32768}, "add");
    expectLanes(blockSub(v, filled(1), out).lane, {32767, 4, -1, 99, 32766}, "sub");
    expectLanes((blockSubScalar(v, -1, out), out.lane), {-32767, 6, 1, 101, -32768}, "sub scalar");
    expectLanes(rowSub(v.lane, make({1, 7, -32768, -100}).lane, rd), {32767, -2, -32768, 200}, "row sub");
    expectLanes(blockAdd(v, v, v).lane, {0, 10, 0, 200, -2, 2, -2, 14}, "in place");

    v = make({1, -1, 0, 32767, -32768, 100, -100, 7});
    expectLanes(blockScale15(v, 32768, out).lane, {1, -1, 0, 32767, -32768, 100, -100, 7}, "scale by 1");
    expectLanes(blockScale15(v, -1, out).lane, {-1, 0, 0, -1, 1, -1, 0, -1}, "scale by -1/32768");
    expectLanes(blockScale15(filled(4096), -1008, out).lane, {-126, -126}, "pattern 6 at -1008");
    // The 32-bit product wraps before the shift: 32767 * 2^17 = 2^32 - 2^17.
    expectLanes(blockScale15(filled(32767), 1 << 17, out).lane, {-4}, "wrapped product");
    int16_t r[4] = {8191, -8192, 3, -3}, w[4] = {256, -256, 255, -1};
    expectLanes((rowScale13(r, 16384, rd), rd), {16382, -16384, 6, -6}, "row scale 13");
    expectLanes((rowScale13(r, 1, rd), rd), {0, -1, 0, -1}, "row scale 13 floor");
    expectLanes((rowScale8(w, 3), w), {3, -3, 2, -1}, "row scale 8");
}

TEST(BlockArithmetic, DotHalvesEachPairSumAndEnergiesWrap) {
    // Lanes 0, 1 and 2, 3 of each row go to D0 and D1, each halved on its own.
    EXPECT_EQ(blockDot(make({2, 0, 2}), make({2, 0, 2})), 4);
    EXPECT_EQ(blockDot(make({1, 0, 1}), make({1, 0, 1})), 0);
    EXPECT_EQ(blockDot(make({3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), make({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})), 1);
    EXPECT_EQ(blockDot(make({-3}), filled(1)), -2);  // the shift floors
    const int16_t row[4] = {-32768, -32768, 1, 0};
    EXPECT_EQ(blockEnergy(make({3, -4, 0, 0, 0, 12})), 169);
    EXPECT_TRUE(blockEnergy(filled(-32768)) == 0 && rowEnergy(row) == int32_t(0x80000001u));  // 2^34, 2^31 + 1 wrap
}

TEST(BlockArithmetic, MeanByteRoundsAndSaturates) {
    const struct { BlockVec v; int level, mean; } cases[] = {
        {filled(4095), 0, 255},  // 32824 saturates to 32767
        {filled(0), 0, 0},  {filled(16), 0, 1}, {filled(2048), 0, 128},
        {make({135}), 0, 1}, {make({120}), 0, 0},  // (sum + 128) >> 8
        {filled(2048), 1, 64}, {filled(2048), 3, 16}, {filled(4095), 3, 31},
        {filled(-100), 0, 255}};  // a negative sum reads as beyond 32767
    for (const auto& c : cases) EXPECT_EQ(blockMeanByte(c.v, c.level), c.mean) << c.v.lane[0] << " level " << c.level;
}

TEST(BlockArithmetic, NormalizeScalesToNorm16384UnlessEnergyIsZero) {
    // F = round(32768 / sqrt(e / 256)), then lane * F >> 5: 524288 for e = 1, 43691 for e = 144.
    BlockVec v;
    expectLanes((blockNormalize(v = make({1, -1}), 1), v.lane), {16384, -16384}, "e = 1");
    expectLanes((blockNormalize(v = filled(3), 144), v.lane), {4096, 4096, 4096}, "e = 144");
    for (int e : {0, -5}) expectLanes((blockNormalize(v = make({7, -3}), e), v.lane), {7, -3}, "energy <= 0");
}

TEST(BlockArithmetic, ShiftsRoundWithEightAndDropBits) {
    BlockVec v = make({1, 0, -1, 9, -9, 100, -100, 32767});
    expectLanes((blockShiftDown(v, 1), v.lane), {4, -4, -4, 8, -8, 54, -54, 16387}, "down 1");
    expectLanes((blockShiftDown(v = make({0, 1, -1, 8}), 2), v.lane), {-2, 2, -2, 4}, "down 2");
    v = make({1, -1, 16384, 0x4001, -16384});
    expectLanes(blockShiftUp(v, 1).lane, {2, -2, -32768, -32766, -32768}, "up 1");
    expectLanes(blockShiftUp(v, 2).lane, {8, -8, 0}, "up 2");
}
