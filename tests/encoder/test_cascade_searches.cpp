// The cascade's first-stage VQ searches, which the rate-aware coder takes over instead of repeating: what is
// reported must be the search of the block's own correction, and its rebuild must give what the search gave.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <tuple>

#include "codec/block_ops.h"
#include "encoder/block_encoder.h"
#include "tests/codec/codec_test.h"

using namespace kirune;

namespace {

// Both stages of `target` at `level`, searched alone.
std::array<VqResult, 2> searchAlone(BlockDecision& d, const BlockVec& target, int level) {
    BlockVec work = target;
    const int32_t e = blockEnergy(target);
    blockNormalize(work, e);
    const VqResult first = gainShapeSearch(d, level, 0, target, work, e != 0 ? e : 1);
    work = first.residual;
    blockNormalize(work, first.error);
    return {first, gainShapeSearch(d, level, 1, first.residual, work, first.error != 0 ? first.error : 1)};
}

}  // namespace

TEST(CascadeSearches, RebuildingFromTheIndicesGivesWhatTheSearchGave) {
    std::mt19937 src(31);
    for (int round = 0; round < 1200; ++round) {
        BlockVec target;
        const int amplitude = round % 3 == 0 ? 40 : 3000;
        for (auto& l : target.lane) l = static_cast<int16_t>(static_cast<int>(src() % (2 * amplitude + 1)) - amplitude);
        const int level = round % kVqLevels;
        BlockDecision d;
        const auto want = searchAlone(d, target, level);
        for (int stage = 0; stage < 2; ++stage) {
            BlockDecision fresh;
            std::memcpy(fresh.vqIndex[level][stage], d.vqIndex[level][stage], sizeof d.vqIndex[level][stage]);
            fresh.gainLevelIndex[level][stage] = d.gainLevelIndex[level][stage];
            const VqResult got = rebuildVq(fresh, level, stage, stage == 0 ? target : want[0].residual);
            const VqResult& w = want[static_cast<std::size_t>(stage)];
            ASSERT_EQ(0, std::memcmp(&got.recon, &w.recon, sizeof w.recon)) << "round " << round << " stage " << stage;
            ASSERT_EQ(0, std::memcmp(&got.residual, &w.residual, sizeof w.residual)) << "round " << round;
            ASSERT_EQ(std::tie(got.error, fresh.gainValue[level][stage]), std::tie(w.error, d.gainValue[level][stage]));
        }
    }
}

TEST(CascadeSearches, EverySearchReportedIsThatOfTheBlocksOwnCorrection) {
    // Flat, faint to strong and repeated textures in one plane: the cascade codes some blocks as matches, some
    // relative to a match and some by VQ of their own correction, of which alone the searches may be reported.
    struct Check final : VqRecorder {
        std::vector<BlockVec> own;
        std::size_t first = 0;
        int* levels = nullptr;
        void searched(std::size_t block, int level, int32_t energy, const BlockDecision& d) override {
            ASSERT_LT(block - first, own.size());
            const BlockVec& target = own[block - first];
            ASSERT_EQ(energy, blockEnergy(target)) << "block " << block;
            BlockDecision want;
            searchAlone(want, target, level);
            ASSERT_EQ(0, std::memcmp(d.vqIndex[level][0], want.vqIndex[level][0], sizeof want.vqIndex[level][0]));
            ASSERT_EQ(d.gainLevelIndex[level][0], want.gainLevelIndex[level][0]) << "block " << block;
            ++levels[level];
        }
    };
    int levels[kVqLevels] = {};
    for (const int32_t K : {6, 21}) {
        TestStrip t = stripState(512, 96, Sampling444, K);
        clearSideStreams(t.work.streams);
        const PlaneRegion r = t.luma();
        std::mt19937 src(static_cast<unsigned>(K));
        BlockVec texture[2];
        for (auto& b : texture)
            for (auto& l : b.lane) l = static_cast<int16_t>(static_cast<int>(src() % 1201) - 600);
        Check check;
        check.first = static_cast<std::size_t>(r.firstRow) * static_cast<std::size_t>(r.blocksPerRow);
        check.levels = levels;
        for (std::size_t n = check.first; n < check.first + r.blocks(); ++n) {
            r.means[n] = static_cast<uint8_t>(40 + src() % 160);
            const auto d0 = static_cast<int16_t>(r.means[n] << t.quality.meanShift());
            const int kind = static_cast<int>(src() % 5), scale = kind == 0 ? 0 : 1 << (2 * kind - 2);
            const BlockVec& base = texture[src() % 2];
            for (int i = 0; i < 16; ++i)
                r.coded[n].lane[i] = static_cast<int16_t>(d0 + (base.lane[i] + static_cast<int>(src() % 161) - 80) * scale / 64);
            blockSubScalar(r.coded[n], d0, r.resid[n]);
        }
        check.own.assign(r.resid + check.first, r.resid + check.first + r.blocks());
        SearchSetup setup;
        setup.recorder = &check;
        encodePlane(t.quality, t.work.streams, r, setup);
    }
    for (int level = 0; level < kVqLevels; ++level) EXPECT_GT(levels[level], 20) << "level " << level;
}
