#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "codec/dictionary.h"
#include "encoder/search.h"

using namespace kirune;

namespace {

BlockVec patternOf(int p, int32_t gain) {
    BlockVec v;
    std::memcpy(v.lane, patternDictionary[p], sizeof v.lane);
    BlockVec out;
    blockScale15(v, gain, out);
    return out;
}

// The decoder's reconstruction of one VQ stage from recorded indices.
BlockVec rebuildStage(const BlockDecision& d, int level, int stage) {
    const DictionaryClass& c = dictionaryClasses[level];
    const int16_t* g = c.gain[d.vqIndex[level][stage][kGainSlot]];
    BlockVec q;
    for (int i = 0; i < 4; ++i) rowScale13(c.shape[d.vqIndex[level][stage][i]], g[i], q.lane + 4 * i);
    BlockVec out;
    blockScale15(q, gainLevels[d.gainLevelIndex[level][stage]], out);
    return out;
}

int quantise(int16_t x, int16_t* value = nullptr) {
    BlockDecision d;
    d.gainValue[1][1] = x;
    quantiseGain(d, 1, 1);
    if (value) *value = d.gainValue[1][1];
    return static_cast<int>(d.gainLevelIndex[1][1]);
}

BlockVec randomBlock(std::mt19937& rng, int amplitude) {
    std::uniform_int_distribution<int> u(-amplitude, amplitude);
    BlockVec v;
    for (auto& l : v.lane) l = static_cast<int16_t>(u(rng));
    return v;
}

struct Recorder final : VqObserver {
    int calls = 0, level = -1, stage = -1;
    BlockVec quarters{};
    int16_t norms[4] = {};
    void quantised(int l, int s, const BlockVec& q, const int16_t n[4]) override {
        ++calls;
        level = l;
        stage = s;
        quarters = q;
        std::memcpy(norms, n, sizeof norms);
    }
};

}  // namespace

TEST(QuantiseGain, TakesTheNearestCandidateOfItsBucket) {
    for (int x = -32768; x <= 32767; ++x) {
        int16_t value;
        const int k = quantise(static_cast<int16_t>(x), &value);
        ASSERT_GE(k, 0);
        ASSERT_LT(k, kGainLevelCount) << x;
        ASSERT_EQ(value, gainLevels[k]);
        int a = std::abs(x >> 5);
        if (a > 521) a = 522;
        ASSERT_GE(k, gainLevelBuckets[a]) << x;
        ASSERT_LE(k, gainLevelBuckets[a + 1]) << x;
        // The early stop must not skip a closer candidate.
        for (int j = gainLevelBuckets[a]; j <= gainLevelBuckets[a + 1]; ++j)
            ASSERT_GE(std::abs(gainLevels[j] - x), std::abs(gainLevels[k] - x)) << x << " vs level " << j;
    }
}

TEST(QuantiseGain, EdgeCasesOfTheBuckets) {
    EXPECT_EQ(quantise(0), 0);
    EXPECT_EQ(quantise(-1), 0);   // a = 1: candidates 0..14, the first wins
    EXPECT_EQ(quantise(-32), 0);
    EXPECT_EQ(quantise(8192), 113);  // equidistant from 7990 and 8394: the bucket starts at 113
    EXPECT_EQ(quantise(16352), 127);
    EXPECT_EQ(quantise(16704), 127);
    EXPECT_EQ(quantise(32767), 127);
    EXPECT_EQ(quantise(16300), 126);  // 15931 is nearer than 16736
    int16_t v;
    EXPECT_EQ(quantise(1000, &v), 70);  // 1008
    EXPECT_EQ(v, 1008);
}

// Strongly negative gains start 32768 or more from every candidate: the index
// must still be the bucket's first level, never the bucket number itself.
TEST(QuantiseGain, StronglyNegativeGainsStayWithinTheLevels) {
    int16_t v;
    EXPECT_EQ(quantise(-16321, &v), 127);
    EXPECT_EQ(v, 16736);
    EXPECT_EQ(quantise(-20000), 127);
    EXPECT_EQ(quantise(-32768), 127);
    // Moderately negative gains take the first level of their magnitude's bucket.
    EXPECT_EQ(quantise(-1000), gainLevelBuckets[32]);
}

TEST(SearchShape, ZeroQuarterTakesTheSmallestCodewordOfTheWholeClass) {
    const int16_t zero[4] = {0, 0, 0, 0};
    for (int l = 0; l < kVqLevels; ++l) {
        const DictionaryClass& c = dictionaryClasses[l];
        int expected = 0;
        int32_t best = INT32_MAX;
        for (int i = 0; i < c.shapeSize; ++i) {
            const int32_t e = rowEnergy(c.shape[i]);
            if (e < best) {
                best = e;
                expected = i;
            }
        }
        BlockDecision d;
        const int16_t* got = searchShape(d, l, 0, 2, zero);
        EXPECT_EQ(d.vqIndex[l][0][2], static_cast<uint32_t>(expected)) << "level " << l;
        EXPECT_EQ(got, c.shape[expected]);
    }
}

TEST(SearchShape, FindsEveryCodewordFromNearItself) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> noise(-3, 3);
    for (int l = 0; l < kVqLevels; ++l) {
        const DictionaryClass& c = dictionaryClasses[l];
        for (int i = 0; i < c.shapeSize; ++i) {
            int16_t y[4];
            for (int k = 0; k < 4; ++k) y[k] = static_cast<int16_t>(c.shape[i][k] + noise(rng));
            BlockDecision d;
            searchShape(d, l, 1, 3, y);
            EXPECT_EQ(d.vqIndex[l][1][3], static_cast<uint32_t>(i)) << "level " << l;
        }
        for (int i = 0; i < c.gainSize; ++i) {
            BlockDecision d;
            searchGain(d, l, 0, c.gain[i]);
            EXPECT_EQ(d.vqIndex[l][0][kGainSlot], static_cast<uint32_t>(i)) << "level " << l;
        }
    }
}

TEST(SearchShape, ExtremeComponentsUseTheEndBuckets) {
    // Largest magnitude exactly -8192 (bucket 20) and +8192 (bucket 0): the
    // nearest codeword must lie in that bucket's range of the right order.
    const int16_t down[4] = {0, 0, -8192, 0}, up[4] = {8192, 0, 0, 0};
    for (int l = 0; l < kVqLevels; ++l) {
        const DictionaryClass& c = dictionaryClasses[l];
        BlockDecision d;
        searchShape(d, l, 0, 0, down);
        const uint32_t got = d.vqIndex[l][0][0];
        bool inRange = false;
        for (int pos = c.shapeFirst[20]; pos <= c.shapeLast[20]; ++pos)
            inRange |= shapeOrderList(l, 2)[pos] == got;
        EXPECT_TRUE(inRange) << "level " << l;
        EXPECT_LT(c.shape[got][2], -6000);
        searchShape(d, l, 0, 1, up);
        EXPECT_LE(static_cast<int>(d.vqIndex[l][0][1]), c.shapeLast[0]);
        EXPECT_GT(c.shape[d.vqIndex[l][0][1]][0], 6000);
    }
}

TEST(GainShapeSearch, ReconstructionIsWhatTheDecoderRebuilds) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        const BlockVec target = randomBlock(rng, 40 + trial * 10);
        const int32_t e = blockEnergy(target);
        BlockVec work = target, recon, residual;
        blockNormalize(work, e);
        BlockDecision d;
        const int level = trial % 4, stage = (trial / 4) % 2;
        const int32_t err = gainShapeSearch(d, level, stage, target, work, recon, residual, e);
        const BlockVec rebuilt = rebuildStage(d, level, stage);
        ASSERT_EQ(std::memcmp(rebuilt.lane, recon.lane, sizeof recon.lane), 0) << trial;
        BlockVec diff;
        blockSub(target, recon, diff);
        ASSERT_EQ(std::memcmp(diff.lane, residual.lane, sizeof diff.lane), 0);
        ASSERT_EQ(err, blockEnergy(residual));
        EXPECT_EQ(d.gainValue[level][stage], gainLevels[d.gainLevelIndex[level][stage]]);
        // One stage of a random block still removes a share of its energy.
        EXPECT_LT(err, e) << trial;
    }
}

TEST(GainShapeSearch, RecoversAVectorBuiltFromTheDictionaries) {
    for (int l = 0; l < kVqLevels; ++l) {
        const DictionaryClass& c = dictionaryClasses[l];
        // A gain codeword with no small share, so every quarter keeps its shape.
        int g = 0;
        for (int i = 0; i < c.gainSize; ++i) {
            const int16_t* w = c.gain[i];
            if (std::min({w[0], w[1], w[2], w[3]}) > 6000) {
                g = i;
                break;
            }
        }
        BlockDecision ref;
        const int shapes[4] = {1, c.shapeSize / 2, c.shapeSize - 3, 5};
        for (int i = 0; i < 4; ++i) ref.vqIndex[l][0][i] = static_cast<uint32_t>(shapes[i]);
        ref.vqIndex[l][0][kGainSlot] = static_cast<uint32_t>(g);
        ref.gainLevelIndex[l][0] = 110;
        const BlockVec target = rebuildStage(ref, l, 0);
        BlockVec work = target, recon, residual;
        const int32_t e = blockEnergy(target);
        blockNormalize(work, e);
        BlockDecision d;
        const int32_t err = gainShapeSearch(d, l, 0, target, work, recon, residual, e);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(d.vqIndex[l][0][i], ref.vqIndex[l][0][i]) << "level " << l;
        EXPECT_EQ(d.vqIndex[l][0][kGainSlot], static_cast<uint32_t>(g));
        EXPECT_NEAR(static_cast<int>(d.gainLevelIndex[l][0]), 110, 1);
        EXPECT_LT(err, e / 500);
    }
}

// Stage-one levels after the first reuse the quarters normalised by the first
// call; the result must equal a fresh, normalising call at that level.
TEST(GainShapeSearch, QuarterNormalisationIsDoneOnceAndReused) {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 50; ++trial) {
        BlockVec target = randomBlock(rng, 300);
        for (int e = 0; e < 4; ++e) target.lane[e] = static_cast<int16_t>(target.lane[e] / 20);  // uneven quarters
        const int32_t e = blockEnergy(target);
        BlockVec n = target;
        blockNormalize(n, e);

        BlockDecision chained;
        BlockVec work = n, recon0, res0, recon2, res2;
        gainShapeSearch(chained, 0, 0, target, work, recon0, res0, e);
        const BlockVec afterFirst = work;
        int16_t norms[4];
        std::memcpy(norms, chained.quarterNorms, sizeof norms);
        const int32_t err2 = gainShapeSearch(chained, 2, 0, target, work, recon2, res2, 0);
        EXPECT_EQ(std::memcmp(afterFirst.lane, work.lane, sizeof work.lane), 0);
        EXPECT_EQ(std::memcmp(norms, chained.quarterNorms, sizeof norms), 0);

        BlockDecision fresh;
        BlockVec work2 = n, reconF, resF;
        const int32_t errF = gainShapeSearch(fresh, 2, 0, target, work2, reconF, resF, e);
        EXPECT_EQ(err2, errF);
        for (int s = 0; s < kVqSlots; ++s) EXPECT_EQ(chained.vqIndex[2][0][s], fresh.vqIndex[2][0][s]);
        // The quarter norms describe the normalised block: about 16384 together.
        double total = 0;
        for (int16_t q : norms) total += double{q} * q;
        EXPECT_NEAR(std::sqrt(total), 16384.0, 40.0);
    }
}

TEST(GainShapeSearch, ZeroQuarterKeepsNormZero) {
    BlockVec target{};
    for (int e = 4; e < 16; ++e) target.lane[e] = static_cast<int16_t>((e * 37) % 200 - 100);
    const int32_t e = blockEnergy(target);
    BlockVec work = target, recon, residual;
    blockNormalize(work, e);
    BlockDecision d;
    gainShapeSearch(d, 1, 0, target, work, recon, residual, e);
    EXPECT_EQ(d.quarterNorms[0], 0);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(work.lane[k], 0);
    const int16_t zero[4] = {0, 0, 0, 0};
    BlockDecision ref;
    searchShape(ref, 1, 0, 0, zero);
    EXPECT_EQ(d.vqIndex[1][0][0], ref.vqIndex[1][0][0]);
}

TEST(GainShapeSearch, RecordsOnlyItsLevelAndStageAndTellsTheObserver) {
    BlockDecision d;
    std::memset(d.vqIndex, 0xAB, sizeof d.vqIndex);
    std::memset(d.gainLevelIndex, 0xAB, sizeof d.gainLevelIndex);
    d.stageCount = 7;
    Recorder rec;
    d.setup.observer = &rec;
    std::mt19937 rng(5);
    const BlockVec target = randomBlock(rng, 500);
    BlockVec work = target, recon, residual;
    blockNormalize(work, blockEnergy(target));
    gainShapeSearch(d, 2, 1, target, work, recon, residual, blockEnergy(target));
    for (int l = 0; l < kVqLevels; ++l)
        for (int s = 0; s < kVqStages; ++s) {
            const bool mine = l == 2 && s == 1;
            for (int k = 0; k < kVqSlots; ++k) EXPECT_EQ(d.vqIndex[l][s][k] == 0xABABABABu, !mine);
            EXPECT_EQ(d.gainLevelIndex[l][s] == 0xABABABABu, !mine);
        }
    EXPECT_EQ(d.stageCount, 7);
    EXPECT_EQ(rec.calls, 1);
    EXPECT_EQ(rec.level, 2);
    EXPECT_EQ(rec.stage, 1);
    EXPECT_EQ(std::memcmp(rec.quarters.lane, work.lane, sizeof work.lane), 0);
    EXPECT_EQ(std::memcmp(rec.norms, d.quarterNorms, sizeof rec.norms), 0);
}

TEST(SearchPattern, FindsScaledPatternsOfEitherSign) {
    for (int p = 0; p < kPatternCount; ++p) {
        for (int32_t gain : {3000, -3000, 700}) {
            const BlockVec target = patternOf(p, gain);
            BlockDecision d;
            BlockVec recon;
            const int32_t err = searchPattern(d, target, recon);
            EXPECT_EQ(d.vqIndex[0][0][0], static_cast<uint32_t>(p)) << p << " " << gain;
            EXPECT_EQ(d.patternSign, gain < 0 ? 1 : 0);
            // The pattern scaled by g has gain value g.
            EXPECT_NEAR(gainLevels[d.gainLevelIndex[0][0]], std::abs(gain), 0.03 * std::abs(gain));
            BlockVec expect = patternOf(p, d.patternSign ? -gainLevels[d.gainLevelIndex[0][0]]
                                                         : gainLevels[d.gainLevelIndex[0][0]]);
            EXPECT_EQ(std::memcmp(expect.lane, recon.lane, sizeof recon.lane), 0);
            BlockVec diff;
            EXPECT_EQ(err, blockEnergy(blockSub(target, recon, diff)));
            EXPECT_LT(err, blockEnergy(target) / 100);
        }
    }
}

TEST(SearchPattern, TiesGoToTheLowerPatternNumber) {
    // Rows and columns alternating alike: patterns 3 and 4 fit equally well.
    BlockVec a = patternOf(3, 2000), b = patternOf(4, 2000), target;
    blockAdd(a, b, target);
    BlockDecision d;
    BlockVec recon;
    searchPattern(d, target, recon);
    EXPECT_EQ(d.vqIndex[0][0][0], 3u);
    blockSub(b, a, target);  // now 4 leads with a positive gain, 3 with a negative one
    searchPattern(d, target, recon);
    EXPECT_EQ(d.vqIndex[0][0][0], 3u);
    EXPECT_EQ(d.patternSign, 1);
}

TEST(SearchPattern, FailsWhenNothingComesBelowTheCeiling) {
    // A checkerboard is orthogonal to all eight patterns.
    BlockVec target;
    for (int e = 0; e < 16; ++e) target.lane[e] = static_cast<int16_t>(((e / 4 + e % 4) % 2) ? -3000 : 3000);
    BlockDecision d;
    d.vqIndex[0][0][0] = 99;
    BlockVec recon;
    blockFill(recon, 5);
    EXPECT_EQ(searchPattern(d, target, recon), kNoPattern);
    EXPECT_EQ(d.vqIndex[0][0][0], 99u);
    for (int16_t l : recon.lane) EXPECT_EQ(l, 0);

    // Below 2^26 the first pattern is taken with the smallest gain level.
    for (auto& l : target.lane) l = static_cast<int16_t>(l / 3 * 2);
    const int32_t err = searchPattern(d, target, recon);
    EXPECT_EQ(d.vqIndex[0][0][0], 0u);
    EXPECT_EQ(d.gainLevelIndex[0][0], 0u);
    BlockVec diff;
    EXPECT_EQ(err, blockEnergy(blockSub(target, recon, diff)));
    EXPECT_LT(err, int32_t{1} << 26);
}

TEST(SearchPattern, AntiphaseLinePairsQuantiseToAValidLevel) {
    // 16-bit black/white line pairs (corrections -2048 / 2047 around the mean
    // 2048) against pattern 3 give the gain value -16380, whose only candidate
    // is 33116 away; the recorded gain byte must still name a gain level.
    BlockVec target;
    for (int e = 0; e < 16; ++e) target.lane[e] = static_cast<int16_t>((e / 4) % 2 ? 2047 : -2048);
    BlockDecision d;
    BlockVec recon;
    const int32_t err = searchPattern(d, target, recon);
    EXPECT_EQ(d.vqIndex[0][0][0], 3u);
    EXPECT_EQ(d.patternSign, 1);
    EXPECT_LT(d.gainLevelIndex[0][0], 128u);
    EXPECT_EQ(d.gainLevelIndex[0][0], 127u);
    EXPECT_LT(err, blockEnergy(target) / 20);
}

TEST(SearchPattern, RecordsIntoLevelZeroStageZeroOnly) {
    BlockDecision d;
    std::memset(d.gainLevelIndex, 0xCD, sizeof d.gainLevelIndex);
    d.stageCount = 0;
    BlockVec recon;
    searchPattern(d, patternOf(2, 1500), recon);
    EXPECT_NE(d.gainLevelIndex[0][0], 0xCDCDCDCDu);
    EXPECT_EQ(d.gainLevelIndex[0][1], 0xCDCDCDCDu);
    EXPECT_EQ(d.gainLevelIndex[1][0], 0xCDCDCDCDu);
    EXPECT_EQ(d.stageCount, 0);
}
