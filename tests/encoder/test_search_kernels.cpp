#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstring>
#include <iterator>
#include <random>
#include <tuple>
#include <vector>

#include "codec/block_ops.h"
#include "encoder/search.h"
#include "encoder/search_kernels.h"

using namespace kirune;

// Every vector path here must give the scalar kernels' answers: wrapping lanes, ties, every range length.
namespace {

// The paths this machine runs, from `first` on (0 includes Scalar).
std::vector<VectorPath> pathsHere(int first) {
    std::vector<VectorPath> paths;
    for (int p = first; p < kVectorPathCount; ++p)
        if (vectorPathSupported(static_cast<VectorPath>(p))) paths.push_back(static_cast<VectorPath>(p));
    return paths;
}

// kind 0: any value; 1: extremes, where differences and pair sums wrap; 2: normalised quarters.
int16_t lane(std::mt19937& rng, int kind) {
    static constexpr int16_t extremes[] = {-32768, 32767, 0, -1, 1, 16384, -16384};
    switch (kind) {
    case 0: return static_cast<int16_t>(rng());
    case 1: return extremes[rng() % std::size(extremes)];
    default: return static_cast<int16_t>(static_cast<int>(rng() % 16385) - 8192);
    }
}

// A row and search state: energies in, on the edges of and outside the window; some candidates under T.
struct RowCase {
    std::vector<BlockVec> blocks = std::vector<BlockVec>(70);
    std::vector<int32_t> energies = std::vector<int32_t>(70);
    BlockVec x;
    MatchRow row{};
    MatchScan start{};

    explicit RowCase(std::mt19937& src, int round) {
        const int kind = round % 3;
        for (auto& l : x.lane) l = lane(src, kind);
        for (std::size_t j = 0; j < blocks.size(); ++j) {
            BlockVec& b = blocks[j] = x;
            // Near copies of x come under any T; the rest are far.
            const int changed = static_cast<int>(src() % 17);
            for (int i = 0; i < changed; ++i) b.lane[src() % 16] = lane(src, kind);
            energies[j] = blockEnergy(b);
        }
        const int32_t lo = static_cast<int32_t>(src() % 4 == 0 ? src() : src() % 200000);
        const auto hi = static_cast<int32_t>(std::min<int64_t>(int64_t{lo} + src() % (1u << 30), INT32_MAX));
        for (int j = 0; j < 8; ++j) energies[src() % energies.size()] = j % 2 ? lo : (j % 4 ? hi : 0);
        const int32_t last = static_cast<int32_t>(src() % 40);
        const int32_t first = last - 1 + static_cast<int32_t>(src() % 31);
        // T of 0 ends nothing, so only the best so far decides; 2^31 ends at the first candidate.
        const int64_t T = round % 5 == 0 ? int64_t{1} << 31 : round % 5 == 1 ? 0 : src() % 5000;
        row = {&x, blocks.data(), energies.data(), first, last, lo, hi, T};
        const int64_t best[] = {2 * T, int64_t{1} << 40, static_cast<int64_t>(src() % 100000)};
        start.best = best[src() % 3];
    }
};

}  // namespace

TEST(SearchKernels, EveryVectorPathAgreesWithScalar) {
    const SearchKernels& reference = searchKernels(VectorPath::Scalar);
    const std::vector<VectorPath> paths = pathsHere(1);
    if (paths.empty()) GTEST_SKIP() << "no vector path in this build";
    std::mt19937 codeSrc(21), dotSrc(24), rowSrc(22);
    int16_t codes[256 + kCodewordOverread][4];
    int ended = 0, taken = 0;
    for (VectorPath path : paths) {
        SCOPED_TRACE(vectorPathName(path));
        const SearchKernels& k = searchKernels(path);
        for (int round = 0; round < 300; ++round) {
            const int kind = round % 3;
            for (auto& c : codes)
                for (auto& l : c) l = lane(codeSrc, kind);
            // Repeated codewords make ties, which the first position must win.
            for (int t = 0; t < 40; ++t)
                std::memcpy(codes[codeSrc() % 256], codes[codeSrc() % 256], sizeof codes[0]);
            for (int q = 0; q < 20; ++q) {
                int16_t y[4];
                for (auto& l : y) l = lane(codeSrc, kind);
                const int begin = static_cast<int>(codeSrc() % 256);
                const int end = std::min(256, begin + static_cast<int>(codeSrc() % 80));
                // The rows read past the end hold y itself, which must not win.
                for (int r = end; r < end + kCodewordOverread; ++r) std::memcpy(codes[r], y, sizeof y);
                if (q % 4 == 0 && end > begin) std::memcpy(codes[begin + codeSrc() % (end - begin)], y, sizeof y);
                ASSERT_EQ(k.nearestCode(codes, begin, end, y), reference.nearestCode(codes, begin, end, y))
                    << "round " << round << " [" << begin << ", " << end << ")";
            }
        }
        for (int round = 0; round < 3000; ++round) {
            BlockVec t;
            for (auto& l : t.lane) l = lane(dotSrc, round % 3);
            int32_t want[kPatternCount], got[kPatternCount];
            reference.patternDots(t, want);
            k.patternDots(t, got);
            for (int i = 0; i < kPatternCount; ++i) ASSERT_EQ(got[i], want[i]) << "round " << round << " pattern " << i;
        }
        for (int round = 0; round < 4000; ++round) {
            RowCase c(rowSrc, round);
            MatchScan want = c.start, got = c.start;
            reference.scanMatchRow(c.row, want);
            k.scanMatchRow(c.row, got);
            SCOPED_TRACE(testing::Message() << "round " << round << " columns " << c.row.first << ".." << c.row.last);
            ASSERT_EQ(std::tie(got.best, got.taken, got.done), std::tie(want.best, want.taken, want.done));
            ended += want.done;
            taken += want.taken >= 0;
        }
    }
    // The row draws reach both the early end and takes without one.
    EXPECT_GT(ended, 100);
    EXPECT_GT(taken, ended + 100);
}

TEST(SearchKernels, NearestCodeKeepsTheFirstTieAndRefusesFarCodewords) {
    const int16_t y[4] = {-16384, 0, 0, 0};
    for (VectorPath path : pathsHere(0)) {
        SCOPED_TRACE(vectorPathName(path));
        const SearchKernels& k = searchKernels(path);
        int16_t c[24 + kCodewordOverread][4] = {};
        for (auto& r : c) r[0] = 16384;  // 2^30 from y: never a winner
        EXPECT_EQ(k.nearestCode(c, 0, 24, y), -1);
        EXPECT_EQ(k.nearestCode(c, 5, 5, y), -1);
        c[17][0] = c[21][0] = 16383;  // one step nearer, twice
        EXPECT_EQ(k.nearestCode(c, 3, 24, y), 17);
        EXPECT_EQ(k.nearestCode(c, 18, 24, y), 21);
        EXPECT_EQ(k.nearestCode(c, 3, 17, y), -1);
    }
}

TEST(SearchKernels, GainShapeSearchAgreesOnEveryPathWithTheOrderLists) {
    // Textured-plane corrections; copies of the compiled classes make the searches use the order lists.
    std::mt19937 src(23);
    std::vector<BlockVec> targets(2000);
    for (auto& t : targets)
        for (int i = 0; i < 16; ++i) t.lane[i] = static_cast<int16_t>((src() % 4001) - 2000 + 300 * (i % 4));
    const auto run = [&](VectorPath path, const DictionaryClass* classes) {
        BlockDecision d;
        d.setup.path = path;
        d.setup.dictionaries = classes;
        std::vector<uint32_t> picks;
        for (int level = 0; level < kVqLevels; ++level)
            for (const BlockVec& t : targets) {
                BlockVec work = t;
                const int32_t e = blockEnergy(t);
                blockNormalize(work, e);
                const auto error = static_cast<uint32_t>(gainShapeSearch(d, level, 0, t, work, e).error);
                picks.insert(picks.end(), d.vqIndex[level][0], d.vqIndex[level][0] + kVqSlots);
                picks.push_back(error);
            }
        return picks;
    };
    DictionaryClass copies[kVqLevels];
    std::copy(dictionaryClasses, dictionaryClasses + kVqLevels, copies);
    const std::vector<uint32_t> want = run(VectorPath::Scalar, copies);
    for (VectorPath path : pathsHere(0)) EXPECT_EQ(run(path, dictionaryClasses), want) << vectorPathName(path);
}

TEST(SearchKernels, WindowRowMeasuresEveryBlockOnEveryPath) {
    // Rows of every length the window has, distances that wrap, limits on, above and below them.
    std::mt19937 src(25);
    std::vector<BlockVec> blocks(64);
    int32_t want[64], got[64];
    int under = 0;
    for (int round = 0; round < 3000; ++round) {
        BlockVec x;
        for (auto& l : x.lane) l = lane(src, round % 3);
        for (BlockVec& b : blocks) {
            b = x;
            for (int i = static_cast<int>(src() % 17); i > 0; --i) b.lane[src() % 16] = lane(src, round % 3);
        }
        const auto count = static_cast<int32_t>(1 + src() % 64);
        const int32_t pick = scalar::blockDistance(x, blocks[src() % count]);
        const int32_t limit = std::array{pick, pick + 1, static_cast<int32_t>(src()), INT32_MAX, INT32_MIN}[round % 5];
        WindowRow w;  // the scalar kernel is checked against blockDistance itself
        for (int32_t k = 0; k < count; ++k) {
            want[k] = scalar::blockDistance(x, blocks[k]);
            w.under |= uint64_t{want[k] < limit} << k;
            w.least = std::min(w.least, want[k]);
        }
        under += std::popcount(w.under);
        for (VectorPath path : pathsHere(0)) {
            SCOPED_TRACE(testing::Message() << vectorPathName(path) << " round " << round << " count " << count);
            std::fill(std::begin(got), std::end(got), 7);
            const WindowRow g = searchKernels(path).windowRow(x, blocks.data(), count, limit, got);
            ASSERT_EQ(std::tie(g.under, g.least), std::tie(w.under, w.least));
            ASSERT_TRUE(std::equal(want, want + count, got));
            ASSERT_TRUE(std::all_of(got + count, std::end(got), [](int32_t v) { return v == 7; }));  // nothing past the row
        }
    }
    EXPECT_GT(under, 20000);
    EXPECT_LT(under, 80000);
}

TEST(SearchKernels, StageScansSideBySideAgreeWithOneAtATime) {
    // Five tables and ranges of unequal lengths (empty, single, up to the whole table, ending at its end),
    // ties and far codewords, so a scan that runs on past its end or takes another's minimum shows.
    const SearchKernels& reference = searchKernels(VectorPath::Scalar);
    std::mt19937 src(26);
    std::vector<std::array<int16_t[4], 256 + kCodewordOverread>> tables(kStageScans);
    int empty = 0, found = 0;
    for (int round = 0; round < 3000; ++round) {
        const int kind = round % 3;
        int16_t ys[kStageScans][4];
        CodeScan scans[kStageScans];
        for (int k = 0; k < kStageScans; ++k) {
            auto& t = tables[k];
            for (auto& c : t)
                for (auto& l : c) l = lane(src, kind);
            for (auto& l : ys[k]) l = lane(src, kind);
            const int length = std::array{0, 1, 7, 8, 9, 67, 141, 256}[src() % 8] + static_cast<int>(src() % 3) -
                               1;
            const int begin = static_cast<int>(src() % 257);
            const int end = std::clamp(begin + length, 0, 256);
            for (int t2 = 0; t2 < 20; ++t2) std::memcpy(t[src() % 256], t[src() % 256], sizeof t[0]);
            if (round % 4 == 0 && end > begin) std::memcpy(t[begin + src() % (end - begin)], ys[k], sizeof ys[k]);
            // Rows just outside the range hold y itself, which must not win.
            if (begin > 0) std::memcpy(t[begin - 1], ys[k], sizeof ys[k]);
            for (int r = std::max(end, 0); r < end + kCodewordOverread; ++r)
                std::memcpy(t[r], ys[k], sizeof ys[k]);
            scans[k] = {t.data(), begin, end, ys[k]};
        }
        for (VectorPath path : pathsHere(0)) {
            int got[kStageScans];
            std::fill(std::begin(got), std::end(got), -7);
            searchKernels(path).nearestCodes(scans, got);
            for (int k = 0; k < kStageScans; ++k) {
                const int want = reference.nearestCode(scans[k].rows, scans[k].begin, scans[k].end, scans[k].y);
                ASSERT_EQ(got[k], want) << vectorPathName(path) << " round " << round << " scan " << k << " ["
                                        << scans[k].begin << ", " << scans[k].end << ")";
                empty += want < 0;
                found += want >= 0;
            }
        }
    }
    EXPECT_GT(empty, 1000);
    EXPECT_GT(found, 10000);
}
