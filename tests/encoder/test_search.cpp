#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <random>

#include "codec/dictionary.h"
#include "encoder/search.h"

using namespace kirune;

// The gain byte names one of 128 levels whatever the gain: at the clamped
// ends of the bucket table and for gains 32768 or more from every candidate.
TEST(QuantiseGain, NamesTheNearestLevelEvenAtTheEnds) {
    const struct { int x, k; } cases[] = {{0, 0},         {-1, 0},       {-32, 0},      {1000, 70},
                                          {8192, 113},    {16300, 126},  {16352, 127},  {16705, 127},
                                          {32767, 127},   {-16321, 127}, {-32768, 127}, {-16704, 127}};
    for (auto c : cases) {
        BlockDecision d;
        d.gainValue[1][1] = static_cast<int16_t>(c.x);
        quantiseGain(d, 1, 1);
        EXPECT_EQ(d.gainLevelIndex[1][1], uint32_t(c.k)) << c.x;
        EXPECT_EQ(d.gainValue[1][1], gainLevels[c.k]) << c.x;
    }
}

// A class the trainer substitutes is searched by the same kernels as the
// compiled one, through a copy of its bucket: same indices on every path,
// ties going to the first in the bucket's order, and the class's first
// codeword when nothing comes under 2^30.
TEST(SubstitutedClasses, FindWhatTheCompiledClassesFind) {
    DictionaryClass copies[kVqLevels];
    std::copy(std::begin(dictionaryClasses), std::end(dictionaryClasses), copies);
    std::mt19937 rng(27);
    for (int path = 0; path < kVectorPathCount; ++path) {
        if (!vectorPathSupported(static_cast<VectorPath>(path))) continue;
        BlockDecision compiled, substituted;
        compiled.setup.path = substituted.setup.path = static_cast<VectorPath>(path);
        substituted.setup.dictionaries = copies;
        for (int round = 0; round < 2000; ++round) {
            const int level = round % kVqLevels;
            const DictionaryClass& c = dictionaryClasses[level];
            int16_t y[4];
            // Codewords themselves make exact ties wherever a class repeats one.
            if (round % 3 == 0) std::copy_n(c.shape[rng() % c.shapeSize], 4, y);
            else
                for (auto& l : y) l = static_cast<int16_t>(static_cast<int>(rng() % 16385) - 8192);
            searchShape(compiled, level, 0, round % 4, y);
            searchShape(substituted, level, 0, round % 4, y);
            ASSERT_EQ(substituted.vqIndex[level][0][round % 4], compiled.vqIndex[level][0][round % 4])
                << path << " " << round;
            for (auto& l : y) l = static_cast<int16_t>(rng() % 16385);
            searchGain(compiled, level, 1, y);
            searchGain(substituted, level, 1, y);
            ASSERT_EQ(substituted.vqIndex[level][1][kGainSlot], compiled.vqIndex[level][1][kGainSlot]) << path;
        }
        // A distance of 2^30 (a difference of -32768) never wins: the
        // class's first codeword stands in, until one comes nearer.
        int16_t codes[16][4] = {};
        for (auto& code : codes) code[0] = 16384;
        uint8_t first[kShapeBucketEntries] = {}, last[kShapeBucketEntries], order[3 * 16];
        std::fill(std::begin(last), std::end(last), 15);
        for (int k = 0; k < 3 * 16; ++k) order[k] = static_cast<uint8_t>(15 - k % 16);
        DictionaryClass far = copies[0];
        far.shape = codes;
        far.shapeSize = 16;
        far.shapeFirst = first;
        far.shapeLast = last;
        far.shapeOrder = order;
        substituted.setup.dictionaries = &far;
        const int16_t y[4] = {-16384, 0, 0, 0}, z[4] = {0, -16384, 0, 0};
        EXPECT_EQ(searchShape(substituted, 0, 0, 0, y), codes[0]) << path;
        // Equal distances: the first in the order of component 1.
        EXPECT_EQ(searchShape(substituted, 0, 0, 0, z), codes[15]) << path;
        codes[9][0] = 16383;
        EXPECT_EQ(searchShape(substituted, 0, 0, 0, y), codes[9]) << path;
        EXPECT_EQ(substituted.vqIndex[0][0][0], 9u) << path;
    }
}

// Every 16-bit gain against the walk the bucket table is made for: from the
// bucket's first level upwards while the distance falls below 32768 and then
// strictly. Also checks the gain byte of the ties and the clamped ends.
TEST(QuantiseGain, EveryGainTakesTheLevelOfItsBucketWalk) {
    int moved = 0;
    for (int x = -32768; x <= 32767; ++x) {
        const int a = std::min(std::abs(x >> 5), 522);
        int k = gainLevelBuckets[a];
        const auto dist = [x](int level) { return std::abs(gainLevels[level] - x); };
        if (dist(k) < 32768)
            while (k < gainLevelBuckets[a + 1] && dist(k + 1) < dist(k)) ++k;
        moved += k != gainLevelBuckets[a];
        BlockDecision d;
        d.gainValue[0][1] = static_cast<int16_t>(x);
        quantiseGain(d, 0, 1);
        ASSERT_EQ(d.gainLevelIndex[0][1], static_cast<uint32_t>(k)) << x;
        ASSERT_EQ(d.gainValue[0][1], gainLevels[k]) << x;
    }
    EXPECT_GT(moved, 1000);
}
