#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <random>

#include "codec/block_ops.h"

using namespace kirune;

namespace {

BlockVec make(std::initializer_list<int> v) {
    BlockVec b{};
    int i = 0;
    for (int x : v) b.lane[i++] = static_cast<int16_t>(x);
    return b;
}

BlockVec filled(int v) { BlockVec b; return blockFill(b, static_cast<int16_t>(v)), b; }

void expectLanes(const int16_t* got, std::initializer_list<int> want, const char* what) {
    const int* w = want.begin();
    for (int i = 0; i < int(want.size()); ++i) EXPECT_EQ(got[i], w[i]) << what << " lane " << i;
}

constexpr int16_t kExtremes[] = {-32768, 32767, 0, -1, 1, -32767, 16384, -16384};

// Lanes of kind 0 over the whole range, 1 from the extremes, 2 small; factors split every way in 16-bit halves.
struct LaneSource {
    std::mt19937 rng;
    int16_t lane(int kind) {
        if (kind == 0) return static_cast<int16_t>(rng());
        if (kind == 1) return kExtremes[rng() % std::size(kExtremes)];
        return static_cast<int16_t>(static_cast<int>(rng() % 8193) - 4096);
    }
    BlockVec block(int kind) { BlockVec b; for (auto& l : b.lane) l = lane(kind); return b; }
    int32_t factor() {
        static constexpr int32_t special[] = {0, 1, -1, 32767, 32768, -32768, 65535, 65536, -65536, 0x18000,
                                              0x7FFF8000, INT32_MAX, INT32_MIN, 1 << 17, 524288, -1008};
        const uint32_t k = rng() % 4;
        if (k == 0) return special[rng() % std::size(special)];
        return k == 1 ? static_cast<int16_t>(rng()) : static_cast<int32_t>(rng());
    }
};

bool sameBlock(const BlockVec& a, const BlockVec& b) { return std::memcmp(a.lane, b.lane, sizeof a.lane) == 0; }
bool sameRow(const int16_t* a, const int16_t* b) { return std::memcmp(a, b, 4 * sizeof(int16_t)) == 0; }

constexpr int kRounds = 3000;

}  // namespace

// Hand-worked edges the wrap-around and flooring of the packed units give.
TEST(BlockArithmetic, SumsAndProductsWrapAndShiftsFloor) {
    BlockVec out, v = make({-32768, 5, 0, 100, 32767, 1, -1, 7});
    expectLanes(blockAdd(v, filled(1), out).lane, {-32767, 6, 1, 101, -32768}, "add");
    expectLanes(blockSub(v, filled(1), out).lane, {32767, 4, -1, 99, 32766}, "sub");
    expectLanes(blockScale15(make({1, -1, 0, 32767, -32768}), -1, out).lane, {-1, 0, 0, -1, 1}, "scale by -1/32768");
    // The 32-bit product wraps before the shift: 32767 * 2^17 = 2^32 - 2^17.
    expectLanes(blockScale15(filled(32767), 1 << 17, out).lane, {-4}, "wrapped product");
    EXPECT_EQ(blockDot(make({-3}), filled(1)), -2);  // each pair sum halved, flooring
    EXPECT_EQ(blockEnergy(filled(-32768)), 0);      // 2^34 wraps
    EXPECT_EQ(blockMeanByte(filled(4095), 0), 255);  // 32824 saturates to 32767
    EXPECT_EQ(blockMeanByte(filled(-100), 0), 255);  // a negative sum reads as beyond 32767
    EXPECT_EQ(blockMeanByte(make({135}), 0), 1);     // (sum + 128) >> 8
    EXPECT_EQ(blockMeanByte(make({120}), 0), 0);
    for (int e : {0, -5}) expectLanes((blockNormalize(v = make({7, -3}), e), v.lane), {7, -3}, "energy <= 0");
}

TEST(VectorForms, MatchScalarForEveryOperandAndFactor) {
    LaneSource src{std::mt19937(11)};
    for (int i = 0; i < kRounds; ++i) {
        const int kind = i % 3, shift = i % 16;
        const BlockVec a = src.block(kind), b = src.block(kind);
        const BlockVec four[4] = {b, a, src.block(kind), src.block(kind)};
        const int16_t s = src.lane(kind);
        const int32_t g = src.factor();
        SCOPED_TRACE(testing::Message() << "round " << i << " s " << s << " g " << g << " shift " << shift);
        BlockVec v, r;
        int16_t rv[4], rr[4];
        int32_t dv[4], dr[4];
        ASSERT_TRUE(sameBlock(blockAdd(a, b, v), scalar::blockAdd(a, b, r)));
        ASSERT_TRUE(sameBlock(blockSub(a, b, v), scalar::blockSub(a, b, r)));
        ASSERT_TRUE(sameBlock((blockSubScalar(a, s, v), v), (scalar::blockSubScalar(a, s, r), r)));
        ASSERT_TRUE(sameRow(rowSub(a.lane + 4, b.lane + 8, rv), scalar::rowSub(a.lane + 4, b.lane + 8, rr)));
        v = a, r = a;  // in place, as the encoder adds into its own operand
        ASSERT_TRUE(sameBlock(blockSub(v, b, v), scalar::blockSub(r, b, r)));
        ASSERT_TRUE(sameBlock(blockScale15(a, g, v), scalar::blockScale15(a, g, r)));
        ASSERT_TRUE(sameBlock((v = a, blockScale5(v, g), v), (r = a, scalar::blockScale5(r, g), r)));
        ASSERT_TRUE(sameRow((rowScale13(a.lane + 12, g, rv), rv), (scalar::rowScale13(a.lane + 12, g, rr), rr)));
        std::memcpy(rv, a.lane, sizeof rv), std::memcpy(rr, a.lane, sizeof rr);
        ASSERT_TRUE(sameRow((rowScale8(rv, g), rv), (scalar::rowScale8(rr, g), rr)));
        ASSERT_TRUE(sameBlock((v = a, blockShiftDown(v, shift), v), (r = a, scalar::blockShiftDown(r, shift), r)));
        ASSERT_TRUE(sameBlock((v = a, blockShiftUp(v, shift)), (r = a, scalar::blockShiftUp(r, shift))));
        ASSERT_EQ(blockDot(a, b), scalar::blockDot(a, b));
        ASSERT_EQ(blockEnergy(a), scalar::blockEnergy(a));
        ASSERT_EQ(blockDistance(a, b), scalar::blockDistance(a, b));
        ASSERT_EQ(rowEnergy(a.lane + 8), scalar::rowEnergy(a.lane + 8));
        ASSERT_EQ(rowDistance(a.lane, b.lane + 12), scalar::rowDistance(a.lane, b.lane + 12));
        blockDistance4(a, four, dv), scalar::blockDistance4(a, four, dr);
        ASSERT_TRUE(std::equal(dv, dv + 4, dr));
        ASSERT_EQ(dv[1], 0);
        ASSERT_EQ(rowLargest(b.lane), scalar::rowLargest(b.lane));
        ASSERT_EQ(rowLargestMagnitude(b.lane + 4), scalar::rowLargestMagnitude(b.lane + 4));
    }
    // Rows of a block left alone by a row operation.
    BlockVec v = filled(7);
    rowScale8(v.lane + 4, 1 << 9);
    expectLanes(v.lane, {7, 7, 7, 7, 14, 14, 14, 14, 7, 7, 7, 7, 7}, "one row scaled");
    // All lanes extreme: 2^34 and 2^33 dot halves wrap to 0; two -32768 squares overflow the packed multiply-add.
    const BlockVec lo = filled(-32768), hi = filled(32767), pair = make({-32768, -32768, 0, 0, -32768, -32768});
    EXPECT_EQ(blockDot(lo, lo), 0);
    EXPECT_EQ(blockDot(lo, hi), scalar::blockDot(lo, hi));
    EXPECT_EQ(blockEnergy(hi), scalar::blockEnergy(hi));
    EXPECT_EQ(blockDistance(hi, lo), 16);  // every difference wraps to -1
    EXPECT_EQ(rowDistance(lo.lane, hi.lane), 4);
    EXPECT_EQ(blockEnergy(pair), scalar::blockEnergy(pair));
    EXPECT_EQ(blockDot(pair, pair), scalar::blockDot(pair, pair));
    // -32768 outweighs 32767; equal magnitudes of either sign go to the first.
    const int16_t a[4] = {32767, -32768, 5, 32767}, b[4] = {-7, 7, -7, 3}, c[4] = {-2, -1, -1, -3};
    EXPECT_EQ(rowLargestMagnitude(a), 1);
    EXPECT_EQ(rowLargest(a), 0);
    EXPECT_EQ(rowLargestMagnitude(b), 0);
    EXPECT_EQ(rowLargest(b), 1);
    EXPECT_EQ(rowLargest(c), 1);
}

TEST(VectorForms, EnergyWindowMatchesScalar) {
    LaneSource src{std::mt19937(16)};
    const int32_t specials[] = {0, 1, -1, INT32_MAX, INT32_MIN, 1000, 999, 3000, 3001};
    for (int i = 0; i < kRounds; ++i) {
        int32_t e[4];
        for (auto& x : e) x = i % 2 ? specials[src.rng() % std::size(specials)] : int32_t(src.rng() % 5000) - 500;
        const int32_t lo = i % 3 ? 1000 : specials[src.rng() % std::size(specials)];
        const int32_t hi = i % 3 ? 3000 : specials[src.rng() % std::size(specials)];
        ASSERT_EQ(energyWindow4(e, lo, hi), scalar::energyWindow4(e, lo, hi))
            << i << ": " << e[0] << " " << e[1] << " " << e[2] << " " << e[3] << " in [" << lo << ", " << hi << "]";
    }
    const int32_t e[4] = {0, 1000, 3000, 3001};
    EXPECT_EQ(energyWindow4(e, 1000, 3000), 0b0110u);
}

// Rows whose energies wrap past 2^31 and to 0, vanish, reach the 1/255 floor
// or norms of 32768 and more (cut to 16 bits), and lie half a step off a
// rounding edge, in every row position.
TEST(VectorForms, QuarterNormalizeMatchesScalar) {
    const int16_t rows[][4] = {{-32768, -32768, -32768, -32768},
                               {-32768, -32768, 0, 0},
                               {32767, 32767, 32767, 0},
                               {0, 0, 0, 0},
                               {0, 0, 0, 1},
                               {64, 0, 0, 0},
                               {65, -1, 0, 0},
                               {23170, 23170, 0, 0},
                               {-23171, 23170, 0, 0},
                               {8192, 0, 0, 0},
                               {12, 5, 0, 0},
                               {3, 4, 12, 84}};
    constexpr int n = static_cast<int>(std::size(rows));
    LaneSource src{std::mt19937(31)};
    int wrapped = 0, floored = 0;
    for (int round = 0; round < kRounds + n * n * n * n; ++round) {
        BlockVec v = src.block(round % 3);
        if (round >= kRounds)
            for (int i = 0, k = round - kRounds; i < 4; ++i, k /= n) std::memcpy(v.lane + 4 * i, rows[k % n], 8);
        for (int i = 0; i < 4; ++i) {
            wrapped += scalar::rowEnergy(v.lane + 4 * i) < 0;
            floored += scalar::rowEnergy(v.lane + 4 * i) < 4128;  // 16384 / 255, squared
        }
        BlockVec want = v, got = v;
        int16_t wantNorms[4], gotNorms[4];
        scalar::quarterNormalize(want, wantNorms);
        quarterNormalize(got, gotNorms);
        ASSERT_TRUE(sameBlock(got, want)) << "round " << round;
        ASSERT_TRUE(sameRow(gotNorms, wantNorms)) << "round " << round;
    }
    EXPECT_GT(wrapped, 1000);
    EXPECT_GT(floored, 1000);
}

// All four rows at once: ties (first wins), -32768 against 32767, and rows
// that differ only in the low bits of the magnitude, in every row position.
TEST(VectorForms, RowsLargestMagnitudeMatchesScalar) {
    LaneSource src{std::mt19937(32)};
    constexpr int16_t close[] = {-32768, 32767, -32767, 0, 5, -5, 4, -4, 256, -257};
    for (int round = 0; round < 20 * kRounds; ++round) {
        BlockVec v = src.block(round % 3);
        if (round % 2)
            for (auto& l : v.lane) l = close[src.rng() % std::size(close)];
        int want[4], got[4];
        scalar::rowsLargestMagnitude(v, want);
        rowsLargestMagnitude(v, got);
        ASSERT_TRUE(std::equal(got, got + 4, want)) << "round " << round;
    }
}

// Four rows from anywhere, each scaled by its own 16-bit factor: extremes,
// negative factors, and rows that share one address.
TEST(VectorForms, RowsScale13MatchesScalar) {
    LaneSource src{std::mt19937(33)};
    for (int round = 0; round < 10 * kRounds; ++round) {
        const BlockVec a = src.block(round % 3), b = src.block((round + 1) % 3);
        const int16_t* rows[4] = {a.lane + 4 * (src.rng() % 4), b.lane + 4 * (src.rng() % 4), a.lane, b.lane + 12};
        if (round % 5 == 0) rows[2] = rows[1];
        int16_t g[4];
        for (auto& l : g) l = src.lane(round % 2);
        BlockVec want, got;
        scalar::rowsScale13(rows, g, want);
        rowsScale13(rows, g, got);
        ASSERT_TRUE(sameBlock(got, want)) << "round " << round;
    }
}
