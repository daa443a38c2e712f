#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

#include "encoder/search.h"
#include "encoder/search_kernels.h"

using namespace kirune;

// Every vector path this machine runs must give the scalar kernels' answers,
// whatever the inputs: lanes that wrap, ties, ranges of every length and
// candidates under T at every place in a row.
namespace {

std::vector<VectorPath> vectorPathsHere() {
    std::vector<VectorPath> paths;
    for (int p = 1; p < kVectorPathCount; ++p)
        if (vectorPathSupported(static_cast<VectorPath>(p))) paths.push_back(static_cast<VectorPath>(p));
    return paths;
}

class Lanes {
public:
    explicit Lanes(uint32_t seed) : rng_(seed) {}
    // kind 0: any value; 1: extremes, where differences and pair sums wrap;
    // 2: normalised quarters as the searches see them.
    int16_t lane(int kind) {
        static constexpr int16_t extremes[] = {-32768, 32767, 0, -1, 1, 16384, -16384};
        switch (kind) {
        case 0: return static_cast<int16_t>(rng_());
        case 1: return extremes[rng_() % std::size(extremes)];
        default: return static_cast<int16_t>(static_cast<int>(rng_() % 16385) - 8192);
        }
    }
    uint32_t next() { return rng_(); }

private:
    std::mt19937 rng_;
};

}  // namespace

TEST(SearchKernels, NearestCodeAgreesWithScalarOnEveryPath) {
    const SearchKernels& reference = searchKernels(VectorPath::Scalar);
    Lanes src(21);
    int16_t codes[256 + kCodewordOverread][4];
    const std::vector<VectorPath> paths = vectorPathsHere();
    if (paths.empty()) GTEST_SKIP() << "no vector path in this build";
    for (VectorPath path : paths) {
        SCOPED_TRACE(vectorPathName(path));
        const SearchKernels& k = searchKernels(path);
        for (int round = 0; round < 300; ++round) {
            const int kind = round % 3;
            for (auto& c : codes)
                for (auto& l : c) l = src.lane(kind);
            // Repeated codewords make ties, which the first position must win.
            for (int t = 0; t < 40; ++t) std::memcpy(codes[src.next() % 256], codes[src.next() % 256], sizeof codes[0]);
            for (int q = 0; q < 20; ++q) {
                int16_t y[4];
                for (auto& l : y) l = src.lane(kind);
                const int begin = static_cast<int>(src.next() % 256);
                const int end = std::min(256, begin + static_cast<int>(src.next() % 80));
                // The rows read past the end hold y itself, which must not win.
                for (int r = end; r < end + kCodewordOverread; ++r) std::memcpy(codes[r], y, sizeof y);
                if (q % 4 == 0 && end > begin) std::memcpy(codes[begin + src.next() % (end - begin)], y, sizeof y);
                ASSERT_EQ(k.nearestCode(codes, begin, end, y), reference.nearestCode(codes, begin, end, y))
                    << "round " << round << " [" << begin << ", " << end << ")";
            }
        }
    }
}

TEST(SearchKernels, NearestCodeKeepsTheFirstTieAndRefusesFarCodewords) {
    int16_t codes[24 + kCodewordOverread][4] = {};
    for (auto& c : codes) c[0] = 16384;  // 2^30 from y: never a winner
    const int16_t y[4] = {-16384, 0, 0, 0};
    for (int p = 0; p < kVectorPathCount; ++p) {
        const auto path = static_cast<VectorPath>(p);
        if (!vectorPathSupported(path)) continue;
        SCOPED_TRACE(vectorPathName(path));
        const SearchKernels& k = searchKernels(path);
        int16_t c[24 + kCodewordOverread][4];
        std::memcpy(c, codes, sizeof c);
        EXPECT_EQ(k.nearestCode(c, 0, 24, y), -1);
        EXPECT_EQ(k.nearestCode(c, 5, 5, y), -1);
        c[17][0] = c[21][0] = 16383;  // one step nearer, twice
        EXPECT_EQ(k.nearestCode(c, 3, 24, y), 17);
        EXPECT_EQ(k.nearestCode(c, 18, 24, y), 21);
        EXPECT_EQ(k.nearestCode(c, 3, 17, y), -1);
    }
}

TEST(SearchKernels, PatternDotsAgreeWithScalarOnEveryPath) {
    const SearchKernels& reference = searchKernels(VectorPath::Scalar);
    Lanes src(24);
    const std::vector<VectorPath> paths = vectorPathsHere();
    if (paths.empty()) GTEST_SKIP() << "no vector path in this build";
    for (VectorPath path : paths) {
        SCOPED_TRACE(vectorPathName(path));
        for (int round = 0; round < 3000; ++round) {
            BlockVec t;
            for (auto& l : t.lane) l = src.lane(round % 3);
            int32_t want[kPatternCount], got[kPatternCount];
            reference.patternDots(t, want);
            searchKernels(path).patternDots(t, got);
            for (int k = 0; k < kPatternCount; ++k) ASSERT_EQ(got[k], want[k]) << "round " << round << " pattern " << k;
        }
    }
}

namespace {

// One row of candidates and a search state, drawn so that energies fall in,
// on the edges of and outside the window, and some candidates come under T.
struct RowCase {
    std::vector<BlockVec> blocks = std::vector<BlockVec>(70);
    std::vector<int32_t> energies = std::vector<int32_t>(70);
    BlockVec x;
    MatchRow row{};
    MatchScan start{};

    explicit RowCase(Lanes& src, int round) {
        const int kind = round % 3;
        for (auto& l : x.lane) l = src.lane(kind);
        for (std::size_t j = 0; j < blocks.size(); ++j) {
            BlockVec& b = blocks[j];
            b = x;
            // Near copies of x come under any T; the rest are far.
            const int changed = static_cast<int>(src.next() % 17);
            for (int i = 0; i < changed; ++i) b.lane[src.next() % 16] = src.lane(kind);
            energies[j] = blockEnergy(b);
        }
        const int32_t lo = static_cast<int32_t>(src.next() % 4 == 0 ? src.next() : src.next() % 200000);
        const auto hi = static_cast<int32_t>(std::min<int64_t>(int64_t{lo} + src.next() % (1u << 30), INT32_MAX));
        for (int j = 0; j < 8; ++j) energies[src.next() % energies.size()] = j % 2 ? lo : (j % 4 ? hi : 0);
        const int32_t last = static_cast<int32_t>(src.next() % 40);
        const int32_t first = last - 1 + static_cast<int32_t>(src.next() % 31);
        // T of 0 ends nothing, so only the best so far decides; 2^31 ends at
        // the first candidate measured.
        const int64_t T = round % 5 == 0 ? int64_t{1} << 31 : round % 5 == 1 ? 0 : src.next() % 5000;
        row = {&x, blocks.data(), energies.data(), first, last, lo, hi, T};
        const int64_t best[] = {2 * T, int64_t{1} << 40, src.next() % 100000};
        start.best = best[src.next() % 3];
    }
};

}  // namespace

TEST(SearchKernels, MatchRowAgreesWithScalarOnEveryPath) {
    const SearchKernels& reference = searchKernels(VectorPath::Scalar);
    Lanes src(22);
    int ended = 0, taken = 0;
    const std::vector<VectorPath> paths = vectorPathsHere();
    if (paths.empty()) GTEST_SKIP() << "no vector path in this build";
    for (VectorPath path : paths) {
        SCOPED_TRACE(vectorPathName(path));
        const SearchKernels& k = searchKernels(path);
        for (int round = 0; round < 4000; ++round) {
            RowCase c(src, round);
            MatchScan want = c.start, got = c.start;
            reference.scanMatchRow(c.row, want);
            k.scanMatchRow(c.row, got);
            SCOPED_TRACE(testing::Message() << "round " << round << " columns " << c.row.first << ".." << c.row.last);
            ASSERT_EQ(got.best, want.best);
            ASSERT_EQ(got.taken, want.taken);
            ASSERT_EQ(got.done, want.done);
            ended += want.done;
            taken += want.taken >= 0;
        }
    }
    // The draws reach both the early end and takes without one.
    EXPECT_GT(ended, 100);
    EXPECT_GT(taken, ended + 100);
}

TEST(SearchKernels, GainShapeSearchAgreesOnEveryPathWithTheOrderLists) {
    // Corrections of a textured plane, as the block encoder sees them. Copies
    // of the compiled classes take the searches through the order lists
    // rather than the rewritten codebooks; every path must pick the same
    // codes as that.
    Lanes src(23);
    std::vector<BlockVec> targets(2000);
    for (auto& t : targets)
        for (int i = 0; i < 16; ++i) t.lane[i] = static_cast<int16_t>((src.next() % 4001) - 2000 + 300 * (i % 4));
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
                const VqResult r = gainShapeSearch(d, level, 0, t, work, e);
                picks.insert(picks.end(), d.vqIndex[level][0], d.vqIndex[level][0] + kVqSlots);
                picks.push_back(static_cast<uint32_t>(r.error));
            }
        return picks;
    };
    DictionaryClass copies[kVqLevels];
    std::copy(dictionaryClasses, dictionaryClasses + kVqLevels, copies);
    const std::vector<uint32_t> want = run(VectorPath::Scalar, copies);
    for (int p = 0; p < kVectorPathCount; ++p) {
        const auto path = static_cast<VectorPath>(p);
        if (vectorPathSupported(path)) {
            EXPECT_EQ(run(path, dictionaryClasses), want) << vectorPathName(path);
        }
    }
}
