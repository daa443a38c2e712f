#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>

#include "codec/dictionary.h"

using namespace kirune;

namespace {

double norm4(const int16_t* v) {
    double s = 0;
    for (int k = 0; k < 4; ++k) s += double{v[k]} * v[k];
    return std::sqrt(s);
}

// A list of n indices that holds each of 0..n-1 once and runs by descending
// component j of `codes`.
void expectOrderList(const int16_t (*codes)[4], const uint8_t* list, int n, int j) {
    std::set<int> seen(list, list + n);
    EXPECT_EQ(static_cast<int>(seen.size()), n);
    EXPECT_LT(*seen.rbegin(), n);
    for (int i = 1; i < n; ++i) EXPECT_GE(codes[list[i - 1]][j], codes[list[i]][j]) << "list " << j << " at " << i;
}

// The bucket a value of `scale` full scale falls in, from the real-valued rule.
int bucketByRule(double v, double scale) { return 10 - static_cast<int>(std::floor((10 * v + scale / 2) / scale)); }

}  // namespace

TEST(ShapeClasses, HaveUnitNormsAntipodesAndDescendingFirstComponents) {
    const int sizes[kVqLevels] = {16, 64, 128, 256};
    for (int l = 0; l < kVqLevels; ++l) {
        const DictionaryClass& c = dictionaryClasses[l];
        ASSERT_EQ(c.shapeSize, sizes[l]);
        EXPECT_EQ(1 << shapeIndexBits[l], c.shapeSize);
        const int n = c.shapeSize;
        for (int i = 0; i < n; ++i) {
            const double norm = norm4(c.shape[i]);
            EXPECT_GE(norm, 8191.0) << "level " << l << " codeword " << i;
            EXPECT_LE(norm, 8193.0) << "level " << l << " codeword " << i;
            for (int k = 0; k < 4; ++k) EXPECT_EQ(c.shape[n - 1 - i][k], -c.shape[i][k]);
            if (i > 0) EXPECT_GE(c.shape[i - 1][0], c.shape[i][0]);
        }
        for (int j = 1; j <= 3; ++j) expectOrderList(c.shape, shapeOrderList(l, j), n, j);
    }
}

TEST(ShapeClasses, LevelZeroIsTheFormatsOwn) {
    const DictionaryClass& c = dictionaryClasses[0];
    const int16_t row0[4] = {7822, -237, -2422, 87}, row3[4] = {4348, 3973, 3879, 4167},
                  row7[4] = {230, 2501, 964, -7738};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(c.shape[0][k], row0[k]);
        EXPECT_EQ(c.shape[3][k], row3[k]);
        EXPECT_EQ(c.shape[7][k], row7[k]);
    }
    const uint8_t list1[16] = {11, 1, 10, 3, 2, 7, 9, 15, 0, 6, 8, 13, 12, 5, 14, 4};
    const uint8_t list3[16] = {8, 9, 13, 3, 14, 5, 0, 4, 11, 15, 10, 1, 12, 2, 6, 7};
    EXPECT_TRUE(std::equal(list1, list1 + 16, shapeOrderList(0, 1)));
    EXPECT_TRUE(std::equal(list3, list3 + 16, shapeOrderList(0, 3)));
    const uint8_t first[21] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 2, 2, 6, 6, 9};
    const uint8_t last[21] = {6, 8, 9, 13, 13, 11, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15};
    EXPECT_TRUE(std::equal(first, first + 21, c.shapeFirst));
    EXPECT_TRUE(std::equal(last, last + 21, c.shapeLast));
}

TEST(GainClasses, AreNonNegativeUnitVectorsByDescendingFirstComponent) {
    const int sizes[kVqLevels] = {64, 64, 128, 256};
    for (int l = 0; l < kVqLevels; ++l) {
        const DictionaryClass& c = dictionaryClasses[l];
        ASSERT_EQ(c.gainSize, sizes[l]);
        EXPECT_EQ(1 << gainIndexBits[l], c.gainSize);
        for (int i = 0; i < c.gainSize; ++i) {
            const double norm = norm4(c.gain[i]);
            EXPECT_GE(norm, 16383.0) << "level " << l << " codeword " << i;
            EXPECT_LE(norm, 16385.0) << "level " << l << " codeword " << i;
            for (int k = 0; k < 4; ++k) EXPECT_GE(c.gain[i][k], 0);
            if (i > 0) EXPECT_GE(c.gain[i - 1][0], c.gain[i][0]);
        }
        for (int j = 1; j <= 3; ++j) expectOrderList(c.gain, gainOrderList(l, j), c.gainSize, j);
    }
    // Levels 0 and 1 share one gain class and its bucket arrays.
    EXPECT_EQ(dictionaryClasses[0].gain, dictionaryClasses[1].gain);
    EXPECT_EQ(dictionaryClasses[0].gainFirst, dictionaryClasses[1].gainFirst);
    EXPECT_EQ(dictionaryClasses[0].gainOrder, dictionaryClasses[1].gainOrder);
}

// The trained classes' buckets are rebuilt by the rule: bucket b holds, in the
// order of every component, each codeword whose component lies in b's own
// value interval (a margin may widen it further).
TEST(BucketTables, CoverEveryCodewordOfTheirIntervalInEveryOrder) {
    for (int l = 0; l < kVqLevels; ++l) {
        const DictionaryClass& c = dictionaryClasses[l];
        for (int b = 0; b <= 20; ++b) {
            ASSERT_LE(c.shapeFirst[b], c.shapeLast[b]);
            ASSERT_LT(c.shapeLast[b], c.shapeSize);
        }
        for (int b = 21; b < kShapeBucketEntries; ++b) EXPECT_EQ(c.shapeFirst[b] | c.shapeLast[b], 0);
        for (int b = 0; b <= 10; ++b) {
            ASSERT_LE(c.gainFirst[b], c.gainLast[b]);
            ASSERT_LT(c.gainLast[b], c.gainSize);
        }
        for (int j = 0; j < 4; ++j) {
            for (int pos = 0; pos < c.gainSize; ++pos) {
                const int idx = j == 0 ? pos : gainOrderList(l, j)[pos];
                const int b = bucketByRule(c.gain[idx][j], 16384.0);
                if (b < 0 || b > 10) continue;
                EXPECT_TRUE(pos >= c.gainFirst[b] && pos <= c.gainLast[b])
                    << "gain level " << l << " component " << j << " position " << pos << " bucket " << b;
            }
            if (l == 0) continue;  // level 0's shape buckets are the format's own
            for (int pos = 0; pos < c.shapeSize; ++pos) {
                const int idx = j == 0 ? pos : shapeOrderList(l, j)[pos];
                const int b = bucketByRule(c.shape[idx][j], 8192.0);
                if (b < 0 || b > 20) continue;
                EXPECT_TRUE(pos >= c.shapeFirst[b] && pos <= c.shapeLast[b])
                    << "shape level " << l << " component " << j << " position " << pos << " bucket " << b;
            }
        }
        // Buckets that no unit vector reaches cover the whole class.
        EXPECT_EQ(c.shapeFirst[10], 0);
        EXPECT_EQ(c.shapeLast[10], c.shapeSize - 1);
    }
}

TEST(BucketFormulas, MatchTheRealValuedRuleAndTheEnds) {
    EXPECT_EQ(shapeBucket(8192), 0);
    EXPECT_EQ(shapeBucket(-8192), 20);
    EXPECT_EQ(shapeBucket(0), 10);
    EXPECT_EQ(gainBucket(16384), 0);
    EXPECT_EQ(gainBucket(8192), 5);
    EXPECT_EQ(gainBucket(0), 10);
    for (int v = -8192; v <= 8192; ++v) ASSERT_EQ(shapeBucket(v), bucketByRule(v, 8192.0)) << v;
    for (int v = 0; v <= 16384; ++v) ASSERT_EQ(gainBucket(v), bucketByRule(v, 16384.0)) << v;
}

TEST(GainLevels, RiseGeometricallyFrom32To16736) {
    EXPECT_EQ(gainLevels[0], 32);
    EXPECT_EQ(gainLevels[64], 750);
    EXPECT_EQ(gainLevels[112], 7990);
    EXPECT_EQ(gainLevels[127], 16736);
    for (int k = 1; k < kGainLevelCount; ++k) {
        ASSERT_GT(gainLevels[k], gainLevels[k - 1]);
        const double ratio = double{gainLevels[k]} / gainLevels[k - 1];
        EXPECT_NEAR(ratio, 1.0505, 0.04) << k;
    }
}

TEST(GainLevelBuckets, FollowTheNearestLevelRuleWithItsExceptions) {
    for (int a = 2; a <= 510; ++a) {
        const int x = 32 * a;
        int nearest = 0;
        for (int k = 0; k < kGainLevelCount; ++k) {
            const int dk = std::abs(gainLevels[k] - x), dn = std::abs(gainLevels[nearest] - x);
            if (dk < dn || (dk == dn && k > nearest)) nearest = k;
        }
        const int expected = (a == 344 || a == 419) ? nearest + 1 : nearest;
        EXPECT_EQ(gainLevelBuckets[a], expected) << "entry " << a;
    }
    EXPECT_EQ(gainLevelBuckets[0], 0);
    EXPECT_EQ(gainLevelBuckets[1], 0);
    EXPECT_EQ(gainLevelBuckets[256], 113);  // the one exact tie (7990 | 8394) goes up
    EXPECT_EQ(gainLevelBuckets[344], 119);
    EXPECT_EQ(gainLevelBuckets[419], 123);
    for (int a = 511; a < kGainLevelBucketCount; ++a) EXPECT_EQ(gainLevelBuckets[a], 127) << a;
    EXPECT_LT(gainLevelBuckets[510], 127);
}

TEST(Patterns, AreUnitVectorsOfTheStatedShapes) {
    for (int p = 0; p < kPatternCount; ++p) {
        double s = 0;
        for (int e = 0; e < 16; ++e) s += double{patternDictionary[p][e]} * patternDictionary[p][e];
        EXPECT_NEAR(std::sqrt(s), 16384.0, 4.0) << p;
    }
    for (int e = 0; e < 16; ++e) {
        EXPECT_EQ(patternDictionary[6][e], 4096);                                    // flat
        EXPECT_EQ(patternDictionary[3][e], (e / 4) % 2 ? -4096 : 4096);              // rows
        EXPECT_EQ(patternDictionary[4][e], e % 2 ? -4096 : 4096);                    // columns
        EXPECT_EQ(patternDictionary[7][e], patternDictionary[0][4 * (e / 4) + 3 - e % 4]);  // mirror of 0
    }
    EXPECT_EQ(patternDictionary[5][5], -6689);
    EXPECT_EQ(levelStartBounds[0], 10179);
    EXPECT_EQ(levelStartBounds[1], 59723);
    EXPECT_EQ(levelStartBounds[2], 152823);
}
