// Per-block cost of the quantiser searches on smooth random corrections.

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "codec/block_ops.h"
#include "encoder/search.h"

using namespace kirune;

namespace {

std::vector<BlockVec> blocks(std::size_t n) {
    std::mt19937 rng(1);
    std::normal_distribution<double> g(0, 200);
    std::vector<BlockVec> out(n);
    for (auto& b : out) {
        const double gx = g(rng) / 4, gy = g(rng) / 4;
        for (int e = 0; e < 16; ++e)
            b.lane[e] = static_cast<int16_t>(gx * (e % 4 - 1.5) + gy * (e / 4 - 1.5) + g(rng) / 8);
    }
    return out;
}

void BM_GainShapeSearch(benchmark::State& state) {
    const int level = static_cast<int>(state.range(0));
    const auto in = blocks(4096);
    BlockDecision d;
    std::size_t i = 0;
    for (auto _ : state) {
        const BlockVec& t = in[i++ & 4095];
        const int32_t e = blockEnergy(t);
        BlockVec work = t;
        blockNormalize(work, e);
        benchmark::DoNotOptimize(gainShapeSearch(d, level, 0, t, work, e));
    }
}
BENCHMARK(BM_GainShapeSearch)->DenseRange(0, 3);

void BM_SearchPattern(benchmark::State& state) {
    const auto in = blocks(4096);
    BlockDecision d;
    std::size_t i = 0;
    BlockVec recon;
    for (auto _ : state) benchmark::DoNotOptimize(searchPattern(d, in[i++ & 4095], recon));
}
BENCHMARK(BM_SearchPattern);

void BM_QuantiseGain(benchmark::State& state) {
    BlockDecision d;
    int16_t x = 0;
    for (auto _ : state) {
        d.gainValue[0][0] = x;
        x = static_cast<int16_t>(x + 97);
        quantiseGain(d, 0, 0);
        benchmark::DoNotOptimize(d.gainLevelIndex[0][0]);
    }
}
BENCHMARK(BM_QuantiseGain);

}  // namespace

BENCHMARK_MAIN();
