// The cascade's first-stage VQ searches, which the rate-aware coder takes
// over instead of repeating them: what is reported must be the search of the
// block's own correction, and rebuilding it from its indices must give what
// the search gave.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "codec/block_ops.h"
#include "encoder/block_encoder.h"
#include "encoder/search.h"
#include "tests/codec/codec_test.h"

using namespace kirune;

namespace {

// The search of `target` alone at `level`, stage one, as the first level
// searched for it.
BlockDecision searchAlone(const BlockVec& target, int level) {
    BlockDecision d;
    BlockVec work = target;
    const int32_t e = blockEnergy(target);
    blockNormalize(work, e);
    gainShapeSearch(d, level, 0, target, work, e != 0 ? e : 1);
    return d;
}

}  // namespace

TEST(CascadeSearches, RebuildingFromTheIndicesGivesWhatTheSearchGave) {
    std::mt19937 src(31);
    int rebuilt = 0;
    for (int round = 0; round < 600; ++round) {
        BlockVec target;
        const int amplitude = round % 3 == 0 ? 40 : 3000;
        for (auto& l : target.lane) l = static_cast<int16_t>(static_cast<int>(src() % (2 * amplitude + 1)) - amplitude);
        for (int level = 0; level < kVqLevels; ++level) {
            BlockDecision d = searchAlone(target, level);
            BlockVec work = target;
            const VqResult first = gainShapeSearch(d, level, 0, target, work, 0);
            // The second stage, on what the first left.
            BlockVec secondWork = first.residual;
            blockNormalize(secondWork, first.error);
            const VqResult second =
                gainShapeSearch(d, level, 1, first.residual, secondWork, first.error != 0 ? first.error : 1);
            for (const auto& [stage, want, from] : {std::tuple{0, first, target}, std::tuple{1, second, first.residual}}) {
                BlockDecision fresh;
                for (int j = 0; j < kVqSlots; ++j) fresh.vqIndex[level][stage][j] = d.vqIndex[level][stage][j];
                fresh.gainLevelIndex[level][stage] = d.gainLevelIndex[level][stage];
                const VqResult got = rebuildVq(fresh, level, stage, from);
                SCOPED_TRACE(testing::Message() << "round " << round << " level " << level << " stage " << stage);
                ASSERT_EQ(0, std::memcmp(&got.recon, &want.recon, sizeof want.recon));
                ASSERT_EQ(0, std::memcmp(&got.residual, &want.residual, sizeof want.residual));
                ASSERT_EQ(got.error, want.error);
                ASSERT_EQ(fresh.gainValue[level][stage], d.gainValue[level][stage]);
                rebuilt += want.error != 0;
            }
        }
    }
    EXPECT_GT(rebuilt, 4000);
}

TEST(CascadeSearches, EverySearchReportedIsThatOfTheBlocksOwnCorrection) {
    // Flat, faint and strongly textured blocks in one plane, so that the
    // cascade codes some as matches, some relative to a match and some by
    // VQ of their own correction, which alone may be reported.
    struct Check final : VqRecorder {
        std::size_t first = 0;
        std::vector<BlockVec> own;
        int reported = 0;
        int* levels = nullptr;  // searches by level, over every plane
        void searched(std::size_t block, int level, int32_t energy, const BlockDecision& d) override {
            ASSERT_GE(block, first);
            ASSERT_LT(block - first, own.size());
            const BlockVec& target = own[block - first];
            ASSERT_EQ(energy, blockEnergy(target)) << "block " << block;
            const BlockDecision want = searchAlone(target, level);
            for (int j = 0; j < kVqSlots; ++j)
                ASSERT_EQ(d.vqIndex[level][0][j], want.vqIndex[level][0][j]) << "block " << block << " level " << level;
            ASSERT_EQ(d.gainLevelIndex[level][0], want.gainLevelIndex[level][0]) << "block " << block;
            ++reported;
            ++levels[level];
        }
    };
    int levels[kVqLevels] = {};
    for (const int32_t K : {6, 21}) {
        SCOPED_TRACE(testing::Message() << "level " << K);
        TestStrip t = stripState(512, 96, Sampling444, K);
        clearSideStreams(t.work.streams);
        const PlaneRegion r = t.luma();
        Check check;
        check.levels = levels;
        check.first = static_cast<std::size_t>(r.firstRow) * static_cast<std::size_t>(r.blocksPerRow);
        std::mt19937 src(static_cast<unsigned>(K));
        std::vector<BlockVec> texture(8);
        for (auto& b : texture)
            for (auto& l : b.lane) l = static_cast<int16_t>(static_cast<int>(src() % 1201) - 600);
        for (std::size_t n = check.first; n < check.first + r.blocks(); ++n) {
            r.means[n] = static_cast<uint8_t>(40 + src() % 160);
            const auto d0 = static_cast<int16_t>(r.means[n] << t.quality.meanShift());
            const int kind = static_cast<int>(src() % 5);
            // Flat, then faint to strong: each start level of the VQ.
            const int scale = kind == 0 ? 0 : 1 << (2 * kind - 2);
            const std::size_t pick = src() % 2;
            for (int i = 0; i < 16; ++i) {
                // Repeated textures invite matches; the noise makes them inexact.
                const int noise = static_cast<int>(src() % 161) - 80;
                r.coded[n].lane[i] = static_cast<int16_t>(d0 + (texture[pick].lane[i] + noise) * scale / 64);
            }
            blockSubScalar(r.coded[n], d0, r.resid[n]);
        }
        check.own.assign(r.resid + check.first, r.resid + check.first + r.blocks());
        SearchSetup setup;
        setup.recorder = &check;
        encodePlane(t.quality, t.work.streams, r, setup);
        EXPECT_GT(check.reported, 200);
    }
    for (int level = 0; level < kVqLevels; ++level) EXPECT_GT(levels[level], 20) << "level " << level;
}
