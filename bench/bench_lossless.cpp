// Throughput of the block-sorting coder on 1 MiB blocks beside bzip2 -9 on the
// same bytes (through libbz2, in the same process, so both see the same load).
// After the runs a table compares speeds and sizes as ratios.
//
// KIRUNE_STREAM_DIR names a directory of real side streams written by
// tools/dump_side_streams (<name>.raw, and <name>.bwt with the coded bytes of
// the build that wrote them). Their rows code each stream by itself, as the
// container does, and count streams whose coded bytes differ from the .bwt.
// KIRUNE_BENCH_TABLE=0 skips the table. KIRUNE_BENCH_STAGES=1 adds, for the
// side streams, the time of each expansion and compression stage per symbol
// it handles (thread CPU time, best of several rounds), and the time-stamp
// counter's ticks per symbol (each block's best round; wall time, so a busy
// machine adds), and the thread time at the counter's rate (x rate).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "lossless/block_sort_coder.h"
#include "lossless/range_coder.h"
#include "lossless/rle_mtf.h"
#include "lossless/rotation_sort.h"

#ifdef KIRUNE_HAVE_BZIP2
#include <bzlib.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace {

using kirune::blockSortCompress;
using kirune::blockSortExpand;
using kirune::BlockSortWorkspace;

constexpr size_t kBlockBytes = size_t{1} << 20;

enum Kind : int { Realistic = 0, Periodic = 1, NearPeriodic = 2, RandomBytes = 3 };
const char* const kKindNames[] = {"realistic", "periodic", "near-periodic", "random"};

// Realistic: a skewed (geometric) distribution of byte values with runs, as
// the codec's side streams look. Periodic: "ab" repeated, which the first
// run-length stage leaves whole. Near-periodic: the same with one byte
// changed, so no two rotations are equal yet most share long prefixes.
std::vector<uint8_t> makeData(int kind) {
    std::vector<uint8_t> d(kBlockBytes);
    std::mt19937 rng(12345);
    switch (kind) {
        case Realistic: {
            std::geometric_distribution<int> value(0.3);
            size_t i = 0;
            while (i < d.size()) {
                const uint8_t v = static_cast<uint8_t>(value(rng) % 256);
                size_t run = rng() % 8 == 0 ? 1 + rng() % 20 : 1;
                while (run-- && i < d.size()) d[i++] = v;
            }
            break;
        }
        case Periodic:
        case NearPeriodic:
            for (size_t i = 0; i < d.size(); ++i) d[i] = "ab"[i & 1];
            if (kind == NearPeriodic) d[d.size() / 3] = 'c';
            break;
        default:
            for (auto& b : d) b = static_cast<uint8_t>(rng());
            break;
    }
    return d;
}

struct SideStream {
    std::string name;
    std::vector<uint8_t> raw;
    std::vector<uint8_t> reference;  // coded bytes from the dump, if any
    bool hasReference = false;
};

std::vector<uint8_t> readFile(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// The dumped streams in name order, so runs see them alike.
const std::vector<SideStream>& sideStreams() {
    static const std::vector<SideStream> streams = [] {
        std::vector<SideStream> v;
        const char* dir = std::getenv("KIRUNE_STREAM_DIR");
        if (!dir || !*dir) return v;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
            if (e.path().extension() != ".raw") continue;
            SideStream s;
            s.name = e.path().stem().string();
            s.raw = readFile(e.path());
            auto ref = e.path();
            ref.replace_extension(".bwt");
            if (std::filesystem::exists(ref)) {
                s.reference = readFile(ref);
                s.hasReference = true;
            }
            v.push_back(std::move(s));
        }
        std::sort(v.begin(), v.end(),
                  [](const SideStream& a, const SideStream& b) { return a.name < b.name; });
        return v;
    }();
    return streams;
}

size_t sideStreamBytes() {
    size_t n = 0;
    for (const auto& s : sideStreams()) n += s.raw.size();
    return n;
}

void setLabels(benchmark::State& st, size_t bytesIn, size_t bytesOut) {
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(bytesIn));
    st.counters["out_bytes"] = static_cast<double>(bytesOut);
    st.SetLabel(kKindNames[st.range(0)]);
}

void BM_KiruneCompress(benchmark::State& st) {
    const auto data = makeData(static_cast<int>(st.range(0)));
    std::vector<uint8_t> out;
    for (auto _ : st) {
        blockSortCompress(data, out);
        benchmark::DoNotOptimize(out.data());
    }
    setLabels(st, data.size(), out.size());
}

void BM_KiruneExpand(benchmark::State& st) {
    const auto data = makeData(static_cast<int>(st.range(0)));
    std::vector<uint8_t> coded;
    const uint32_t recorded = blockSortCompress(data, coded);
    std::vector<uint8_t> back(data.size());
    for (auto _ : st) {
        blockSortExpand(coded, recorded, back);
        benchmark::DoNotOptimize(back.data());
    }
    if (back != data) st.SkipWithError("round trip differs");
    setLabels(st, data.size(), coded.size());
}

// The whole set of dumped side streams per iteration, one call per stream.
void BM_KiruneCompressStreams(benchmark::State& st) {
    std::vector<uint8_t> out;
    BlockSortWorkspace work;
    for (auto _ : st) {
        for (const auto& s : sideStreams()) {
            blockSortCompress(s.raw, out, work);
            benchmark::DoNotOptimize(out.data());
        }
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * sideStreamBytes()));
}

void BM_KiruneExpandStreams(benchmark::State& st) {
    const auto& streams = sideStreams();
    std::vector<std::vector<uint8_t>> coded(streams.size());
    std::vector<uint32_t> recorded(streams.size());
    for (size_t i = 0; i < streams.size(); ++i)
        recorded[i] = blockSortCompress(streams[i].raw, coded[i]);
    std::vector<uint8_t> back;
    BlockSortWorkspace work;
    for (auto _ : st) {
        for (size_t i = 0; i < streams.size(); ++i) {
            back.resize(streams[i].raw.size());
            blockSortExpand(coded[i], recorded[i], back, work);
            benchmark::DoNotOptimize(back.data());
        }
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * sideStreamBytes()));
}

#ifdef KIRUNE_HAVE_BZIP2
std::vector<char> bzip2Compress(const std::vector<uint8_t>& data) {
    std::vector<char> out(data.size() + data.size() / 100 + 600);
    unsigned int len = static_cast<unsigned int>(out.size());
    std::vector<char> in(data.begin(), data.end());
    if (BZ2_bzBuffToBuffCompress(out.data(), &len, in.data(), static_cast<unsigned>(in.size()), 9,
                                 0, 0) != BZ_OK)
        len = 0;
    out.resize(len);
    return out;
}

void BM_Bzip2Compress(benchmark::State& st) {
    const auto data = makeData(static_cast<int>(st.range(0)));
    std::vector<char> out;
    for (auto _ : st) {
        out = bzip2Compress(data);
        benchmark::DoNotOptimize(out.data());
    }
    setLabels(st, data.size(), out.size());
}

void BM_Bzip2Expand(benchmark::State& st) {
    const auto data = makeData(static_cast<int>(st.range(0)));
    auto coded = bzip2Compress(data);
    std::vector<char> back(data.size());
    for (auto _ : st) {
        unsigned int len = static_cast<unsigned int>(back.size());
        if (BZ2_bzBuffToBuffDecompress(back.data(), &len, coded.data(),
                                       static_cast<unsigned>(coded.size()), 0, 0) != BZ_OK)
            st.SkipWithError("bzip2 failed");
        benchmark::DoNotOptimize(back.data());
    }
    setLabels(st, data.size(), coded.size());
}
#endif

// Several repetitions and their minimum: on a machine shared with other
// work the fastest run is the one least disturbed.
void kinds(benchmark::internal::Benchmark* b) {
    for (int k = Realistic; k <= RandomBytes; ++k) b->Arg(k);
    b->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
    b->ComputeStatistics(
        "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

BENCHMARK(BM_KiruneCompress)->Apply(kinds);
BENCHMARK(BM_KiruneExpand)->Apply(kinds);
#ifdef KIRUNE_HAVE_BZIP2
BENCHMARK(BM_Bzip2Compress)->Apply(kinds);
BENCHMARK(BM_Bzip2Expand)->Apply(kinds);
#endif

double threadMs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// Time-stamp counter ticks: a cycle count at the counter's fixed rate, read
// where the hardware counters cannot be (0 when there is no such counter).
uint64_t ticks() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return 0;
#endif
}

double wallMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// The comparison table: the four codings alternate round after round, so a
// change of load on the shared machine hits both coders alike, and each keeps
// its fastest round (thread CPU time). The slowest compression is the wall
// time of the slowest single call.
// Each row codes a set of inputs one call each (one block, or the side streams).
struct Inputs {
    const char* label;
    std::vector<const std::vector<uint8_t>*> items;
    std::vector<const SideStream*> streams;  // with references, for the side streams
};

void printRow(const Inputs& in) {
    constexpr int kRounds = 9;
    const size_t count = in.items.size();
    size_t total = 0;
    for (const auto* d : in.items) total += d->size();
    std::vector<std::vector<uint8_t>> coded(count), back(count);
    std::vector<uint32_t> recorded(count);
    std::vector<std::vector<char>> bz(count);
    for (size_t i = 0; i < count; ++i) back[i].resize(in.items[i]->size());
    double best[4] = {1e30, 1e30, 1e30, 1e30}, slowest = 0;
    BlockSortWorkspace work;  // kept from call to call, as a strip section keeps it
    size_t size = 0, bzSize = 0;
    for (int round = 0; round < kRounds; ++round) {
        double t = threadMs();
        for (size_t i = 0; i < count; ++i) {
            const double w1 = wallMs();
            recorded[i] = blockSortCompress(*in.items[i], coded[i], work);
            slowest = std::max(slowest, wallMs() - w1);
        }
        best[0] = std::min(best[0], threadMs() - t);
        t = threadMs();
        for (size_t i = 0; i < count; ++i)
            blockSortExpand(coded[i], recorded[i], back[i], work);
        best[1] = std::min(best[1], threadMs() - t);
#ifdef KIRUNE_HAVE_BZIP2
        t = threadMs();
        for (size_t i = 0; i < count; ++i) bz[i] = bzip2Compress(*in.items[i]);
        best[2] = std::min(best[2], threadMs() - t);
        t = threadMs();
        for (size_t i = 0; i < count; ++i) {
            unsigned int len = static_cast<unsigned int>(in.items[i]->size());
            std::vector<char> out(len + 1);
            BZ2_bzBuffToBuffDecompress(out.data(), &len, bz[i].data(),
                                       static_cast<unsigned>(bz[i].size()), 0, 0);
        }
        best[3] = std::min(best[3], threadMs() - t);
#endif
    }
    size_t differs = 0, pinned = 0, wrong = 0;
    for (size_t i = 0; i < count; ++i) {
        size += coded[i].size();
        bzSize += bz[i].size();
        if (back[i] != *in.items[i]) ++wrong;
        if (i < in.streams.size() && in.streams[i]->hasReference) {
            ++pinned;
            if (coded[i] != in.streams[i]->reference) ++differs;
        }
    }
    if (wrong) std::printf("round trip differs for %zu of %s\n", wrong, in.label);
    const auto mbps = [&](double ms) { return ms < 1e29 ? total / 1e3 / ms : 0.0; };
    const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("%-14s %9.2f %9.2f %6.2f | %9.2f %9.2f %6.2f | %8zu %8zu %6.3f | %.3f s\n",
                in.label, mbps(best[0]), mbps(best[2]), ratio(mbps(best[0]), mbps(best[2])),
                mbps(best[1]), mbps(best[3]), ratio(mbps(best[1]), mbps(best[3])), size, bzSize,
                ratio(static_cast<double>(size), static_cast<double>(bzSize)), slowest / 1e3);
    if (pinned)
        std::printf("%-14s %zu streams, %zu bytes; coded bytes differ from the dump in %zu of %zu\n",
                    "", count, total, differs, pinned);
}

// Each stage of the coder on every 1 MiB block of the side streams, its
// inputs prepared once, so a change to one stage shows apart from the rest.
struct StagedBlock {
    std::vector<uint8_t> raw, rle1, column, ranks, packed, payload;
    uint32_t primary = 0;
};

std::vector<StagedBlock> stageBlocks() {
    std::vector<StagedBlock> blocks;
    kirune::RangeModels models;
    for (const auto& s : sideStreams()) {
        for (size_t at = 0; at < s.raw.size(); at += kBlockBytes) {
            StagedBlock b;
            b.raw.assign(s.raw.begin() + static_cast<ptrdiff_t>(at),
                         s.raw.begin() + static_cast<ptrdiff_t>(std::min(s.raw.size(), at + kBlockBytes)));
            const auto n = static_cast<uint32_t>(b.raw.size());
            std::vector<uint8_t> text(2 * kirune::rle1EncodeBound(n));
            const uint32_t len1 = kirune::rle1Encode(text.data(), b.raw.data(), n, kirune::kRle1Threshold);
            b.rle1.assign(text.begin(), text.begin() + len1);
            kirune::SortWorkspace sort(len1);
            b.column.resize(len1);
            b.primary = kirune::twoStageSort(text.data(), len1, b.column.data(), sort,
                                             kirune::defaultCompareBudget(len1));
            b.ranks.resize(len1);
            kirune::mtfEncode(b.ranks.data(), b.column.data(), len1);
            b.packed.resize(2 * size_t{len1});
            b.packed.resize(kirune::rle2Encode(b.packed.data(), b.ranks.data(), len1));
            b.payload.resize(b.packed.size() + b.packed.size() / 2 + 64);
            b.payload.resize(kirune::rangeEncode(b.payload.data(), static_cast<uint32_t>(b.payload.size()),
                                                 b.packed.data(), static_cast<uint32_t>(b.packed.size()), models));
            blocks.push_back(std::move(b));
        }
    }
    return blocks;
}

void printStages() {
    using namespace kirune;
    const std::vector<StagedBlock> blocks = stageBlocks();
    size_t raw = 0, rle1 = 0, packed = 0;
    for (const auto& b : blocks) {
        raw += b.raw.size();
        rle1 += b.rle1.size();
        packed += b.packed.size();
    }
    RangeModels models;
    std::vector<uint8_t> out(2 * kBlockBytes + 64), text(4 * kBlockBytes);
    std::vector<uint32_t> links(2 * kBlockBytes);
    std::vector<uint8_t> scratch(inverseBwtScratchBytes(2 * kBlockBytes));
    SortWorkspace sort(static_cast<uint32_t>(2 * kBlockBytes));
    uint8_t* o = out.data();
    const auto cap = static_cast<uint32_t>(out.size());
    const auto size = [](const std::vector<uint8_t>& v) { return static_cast<uint32_t>(v.size()); };
    struct Stage {
        const char* name;
        size_t symbols;
        std::function<void(const StagedBlock&)> run;
    };
    const Stage stages[] = {
        {"range decode", packed,
         [&](const StagedBlock& b) { rangeDecode(o, cap, b.payload.data(), size(b.payload), models); }},
        {"rle2+mtf dec", rle1,
         [&](const StagedBlock& b) { rle2MtfDecode(o, cap, b.packed.data(), size(b.packed)); }},
        {"inverse sort", rle1,
         [&](const StagedBlock& b) {
             std::memcpy(text.data(), b.column.data(), b.column.size());
             inverseBwt(o, text.data(), b.primary, size(b.column), links.data(), scratch.data());
         }},
        {"rle1 decode", raw,
         [&](const StagedBlock& b) { rle1Decode(o, cap, b.rle1.data(), size(b.rle1), kRle1Threshold); }},
        {"rle1 encode", raw,
         [&](const StagedBlock& b) { rle1Encode(o, b.raw.data(), size(b.raw), kRle1Threshold); }},
        {"sort", rle1,
         [&](const StagedBlock& b) {
             std::memcpy(text.data(), b.rle1.data(), b.rle1.size());
             twoStageSort(text.data(), size(b.rle1), o, sort, defaultCompareBudget(size(b.rle1)));
         }},
        {"mtf encode", rle1, [&](const StagedBlock& b) { mtfEncode(o, b.column.data(), size(b.column)); }},
        {"rle2 encode", rle1, [&](const StagedBlock& b) { rle2Encode(o, b.ranks.data(), size(b.ranks)); }},
        {"range encode", packed,
         [&](const StagedBlock& b) { rangeEncode(o, cap, b.packed.data(), size(b.packed), models); }},
    };
    std::printf("\n%zu blocks: %zu raw bytes, %zu after the first run-length stage, %zu coded symbols\n",
                blocks.size(), raw, rle1, packed);
    // The counter's rate over a 50 ms pause.
    const double wall0 = wallMs();
    const uint64_t ticks0 = ticks();
    timespec pause{0, 50000000};
    nanosleep(&pause, nullptr);
    const double ticksPerNs = static_cast<double>(ticks() - ticks0) / ((wallMs() - wall0) * 1e6);
    std::printf("%-14s %10s %10s %10s %10s %10s\n", "stage", "ms", "symbols", "ns/symbol", "TSC/symbol",
                "x rate");
    for (const Stage& st : stages) {
        double best = 1e30;
        // Ticks are wall time: each block keeps its least disturbed round.
        std::vector<uint64_t> blockTicks(blocks.size(), ~uint64_t{0});
        for (int round = 0; round < 7; ++round) {
            const double t = threadMs();
            for (size_t i = 0; i < blocks.size(); ++i) {
                const uint64_t k = ticks();
                st.run(blocks[i]);
                blockTicks[i] = std::min(blockTicks[i], ticks() - k);
            }
            best = std::min(best, threadMs() - t);
        }
        uint64_t total = 0;
        for (uint64_t k : blockTicks) total += k;
        const double ns = best * 1e6 / static_cast<double>(st.symbols);
        std::printf("%-14s %10.2f %10zu %10.2f %10.1f %10.1f\n", st.name, best, st.symbols, ns,
                    static_cast<double>(total) / static_cast<double>(st.symbols), ns * ticksPerNs);
    }
}

void printComparison() {
    std::printf("\n%-14s %9s %9s %6s | %9s %9s %6s | %8s %8s %6s | %s\n", "data", "comp MB/s",
                "bz2 -9", "ratio", "exp MB/s", "bz2 -d", "ratio", "size", "bz2 size", "ratio",
                "slowest compress");
    std::vector<std::vector<uint8_t>> blocks;
    for (int k = Realistic; k <= RandomBytes; ++k) blocks.push_back(makeData(k));
    for (int k = Realistic; k <= RandomBytes; ++k) printRow({kKindNames[k], {&blocks[k]}, {}});
    if (!sideStreams().empty()) {
        Inputs in{"side streams", {}, {}};
        for (const auto& s : sideStreams()) {
            in.items.push_back(&s.raw);
            in.streams.push_back(&s);
        }
        printRow(in);
    }
    std::printf("ratios are kirune / bzip2: speed above 1 is faster, size below 1 is smaller\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (!sideStreams().empty()) {
        for (auto* b : {benchmark::RegisterBenchmark("BM_KiruneCompressStreams",
                                                     BM_KiruneCompressStreams),
                        benchmark::RegisterBenchmark("BM_KiruneExpandStreams",
                                                     BM_KiruneExpandStreams)})
            b->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    // KIRUNE_BENCH_TABLE=0 leaves the table out, e.g. while profiling one benchmark.
    const char* table = std::getenv("KIRUNE_BENCH_TABLE");
    if (!table || std::string(table) != "0") printComparison();
    const char* stages = std::getenv("KIRUNE_BENCH_STAGES");
    if (stages && std::string(stages) == "1" && !sideStreams().empty()) printStages();
    benchmark::Shutdown();
    return 0;
}
