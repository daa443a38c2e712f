// The dispatched search kernels on every vector path this machine has: the
// codebook scan over a bucket of the largest class, one row of match
// candidates and one row of the rate-aware coder's match window.

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "codec/block_ops.h"
#include "codec/dictionary.h"
#include "encoder/search_kernels.h"

using namespace kirune;

namespace {

void BM_NearestCode(benchmark::State& state) {
    const auto path = static_cast<VectorPath>(state.range(0));
    if (!vectorPathSupported(path)) return state.SkipWithError("path not on this CPU");
    const SearchKernels& k = searchKernels(path);
    std::vector<int16_t> rows(4 * (256 + kCodewordOverread));
    std::copy(&shapeClass256[0][0], &shapeClass256[0][0] + 4 * 256, rows.begin());
    const auto* codes = reinterpret_cast<const int16_t(*)[4]>(rows.data());
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> lane(-6000, 6000);
    std::vector<int16_t> ys(4 * 1024);
    for (auto& y : ys) y = static_cast<int16_t>(lane(rng));
    std::size_t i = 0;
    for (auto _ : state) {
        // A typical bucket of the largest class: about seventy codewords.
        benchmark::DoNotOptimize(k.nearestCode(codes, 172, 239, &ys[4 * (i++ & 1023)]));
    }
}
BENCHMARK(BM_NearestCode)->DenseRange(0, kVectorPathCount - 1);

void BM_ScanMatchRow(benchmark::State& state) {
    const auto path = static_cast<VectorPath>(state.range(0));
    if (!vectorPathSupported(path)) return state.SkipWithError("path not on this CPU");
    const SearchKernels& k = searchKernels(path);
    std::mt19937 rng(4);
    std::normal_distribution<double> g(0, 300);
    std::vector<BlockVec> blocks(64);
    std::vector<int32_t> energies(64);
    for (std::size_t j = 0; j < blocks.size(); ++j) {
        for (auto& l : blocks[j].lane) l = static_cast<int16_t>(g(rng));
        energies[j] = blockEnergy(blocks[j]);
    }
    BlockVec x = blocks[63];
    const int32_t e = blockEnergy(x);
    // No candidate comes under T, so the whole row is scanned, as on grain.
    const MatchRow row{&x, blocks.data(), energies.data(), 62, 0, e / 2, 2 * e, 1};
    for (auto _ : state) {
        MatchScan s{2};
        k.scanMatchRow(row, s);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_ScanMatchRow)->DenseRange(0, kVectorPathCount - 1);

// One row of the rate-aware coder's match window: 63 candidates measured,
// few in reach.
void BM_WindowRow(benchmark::State& state) {
    const auto path = static_cast<VectorPath>(state.range(0));
    if (!vectorPathSupported(path)) return state.SkipWithError("path not on this CPU");
    const SearchKernels& k = searchKernels(path);
    std::mt19937 rng(5);
    std::normal_distribution<double> g(0, 300);
    std::vector<BlockVec> blocks(64);
    for (BlockVec& b : blocks)
        for (auto& l : b.lane) l = static_cast<int16_t>(g(rng));
    int32_t dist[64];
    const int32_t limit = blockEnergy(blocks[63]);
    for (auto _ : state) {
        benchmark::DoNotOptimize(k.windowRow(blocks[63], blocks.data(), 63, limit, dist));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_WindowRow)->DenseRange(0, kVectorPathCount - 1);

}  // namespace

BENCHMARK_MAIN();
