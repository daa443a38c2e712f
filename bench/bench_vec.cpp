// Cost of the packed block operations, each in its vector form and in its
// scalar reference, over a working set that stays in L1 as the encoder's does.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "codec/block_ops.h"

using namespace kirune;

namespace {

constexpr std::size_t kBlocks = 256;  // 8 KiB

std::vector<BlockVec> randomBlocks(uint32_t seed, int spread) {
    std::mt19937 rng(seed);
    std::vector<BlockVec> out(kBlocks);
    for (auto& b : out)
        for (auto& l : b.lane) l = static_cast<int16_t>(static_cast<int>(rng() % (2 * spread + 1)) - spread);
    return out;
}

// Selects the implementation by template argument, so both forms run the
// same loop.
struct Vector {
    static int32_t dot(const BlockVec& a, const BlockVec& b) { return blockDot(a, b); }
    static int32_t energy(const BlockVec& a) { return blockEnergy(a); }
    static int32_t row(const int16_t* a) { return rowEnergy(a); }
    static int32_t distance(const BlockVec& a, const BlockVec& b) { return blockDistance(a, b); }
    static void sub(const BlockVec& a, const BlockVec& b, BlockVec& d) { blockSub(a, b, d); }
    static void subScalar(const BlockVec& a, int16_t s, BlockVec& d) { blockSubScalar(a, s, d); }
    static void scale15(const BlockVec& a, int32_t g, BlockVec& d) { blockScale15(a, g, d); }
    static void shiftDown(BlockVec& v, int s) { blockShiftDown(v, s); }
    static unsigned window(const int32_t* e, int32_t lo, int32_t hi) { return energyWindow4(e, lo, hi); }
};

struct Scalar {
    static int32_t dot(const BlockVec& a, const BlockVec& b) { return scalar::blockDot(a, b); }
    static int32_t energy(const BlockVec& a) { return scalar::blockEnergy(a); }
    static int32_t row(const int16_t* a) { return scalar::rowEnergy(a); }
    static int32_t distance(const BlockVec& a, const BlockVec& b) { return scalar::blockDistance(a, b); }
    static void sub(const BlockVec& a, const BlockVec& b, BlockVec& d) { scalar::blockSub(a, b, d); }
    static void subScalar(const BlockVec& a, int16_t s, BlockVec& d) { scalar::blockSubScalar(a, s, d); }
    static void scale15(const BlockVec& a, int32_t g, BlockVec& d) { scalar::blockScale15(a, g, d); }
    static void shiftDown(BlockVec& v, int s) { scalar::blockShiftDown(v, s); }
    static unsigned window(const int32_t* e, int32_t lo, int32_t hi) { return scalar::energyWindow4(e, lo, hi); }
};

template <class Impl>
void BM_Dot(benchmark::State& state) {
    const auto a = randomBlocks(1, 4096), b = randomBlocks(2, 4096);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Impl::dot(a[i % kBlocks], b[(i + 1) % kBlocks]));
        ++i;
    }
}

template <class Impl>
void BM_Energy(benchmark::State& state) {
    const auto a = randomBlocks(1, 4096);
    std::size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(Impl::energy(a[i++ % kBlocks]));
}

template <class Impl>
void BM_RowEnergy(benchmark::State& state) {
    const auto a = randomBlocks(1, 8192);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Impl::row(a[(i >> 2) % kBlocks].lane + 4 * (i & 3)));
        ++i;
    }
}

template <class Impl>
void BM_Distance(benchmark::State& state) {
    const auto a = randomBlocks(1, 4096), b = randomBlocks(2, 4096);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Impl::distance(a[i % kBlocks], b[(i + 7) % kBlocks]));
        ++i;
    }
}

template <class Impl>
void BM_SubAndScale(benchmark::State& state) {
    const auto a = randomBlocks(1, 4096), b = randomBlocks(2, 4096);
    BlockVec d;
    std::size_t i = 0;
    for (auto _ : state) {
        Impl::sub(a[i % kBlocks], b[(i + 3) % kBlocks], d);
        Impl::subScalar(d, static_cast<int16_t>(i), d);
        Impl::scale15(d, static_cast<int32_t>(i * 2654435761u) >> 12, d);
        Impl::shiftDown(d, 1);
        benchmark::DoNotOptimize(d);
        ++i;
    }
}

// One codebook search over `range` codewords of a 256-entry class, in the
// class order (0) or through an order list (1), as searchShape runs it.
template <class Impl>
void BM_EnergyWindow(benchmark::State& state) {
    std::mt19937 rng(5);
    std::vector<int32_t> e(4096);
    for (auto& x : e) x = static_cast<int32_t>(rng() % 100000);
    std::size_t i = 0;
    for (auto _ : state) {
        const int32_t* row = e.data() + (i++ * 64) % (e.size() - 64);
        unsigned hits = 0;
        for (int k = 0; k < 64; k += 4) hits += Impl::window(row + k, 30000, 60000);
        benchmark::DoNotOptimize(hits);
    }
}

#define KIRUNE_BOTH(fn)                                  \
    BENCHMARK_TEMPLATE(fn, Vector)->Name(#fn "/vector"); \
    BENCHMARK_TEMPLATE(fn, Scalar)->Name(#fn "/scalar")

KIRUNE_BOTH(BM_Dot);
KIRUNE_BOTH(BM_Energy);
KIRUNE_BOTH(BM_RowEnergy);
KIRUNE_BOTH(BM_Distance);
KIRUNE_BOTH(BM_SubAndScale);
KIRUNE_BOTH(BM_EnergyWindow);

}  // namespace

BENCHMARK_MAIN();
