#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <set>

#include "codec/dictionary.h"

using namespace kirune;

namespace {

double norm(const int16_t* v, int n = 4) {
    double s = 0;
    for (int k = 0; k < n; ++k) s += double(v[k]) * v[k];
    return std::sqrt(s);
}

// The bucket a value of `scale` full scale falls in, from the real-valued rule.
int bucketByRule(double v, double scale) { return 10 - static_cast<int>(std::floor((10 * v + scale / 2) / scale)); }

// Checks one class: sizes match the index widths, norms lie within one of
// `unit`, codewords run by descending first component, each order list holds
// every index once by descending component j, and every codeword lies in the
// bucket range of its component's bucket in that component's order.
void expectClass(const int16_t (*codes)[4], int size, int bits, double unit, const uint8_t* orders,
                 const uint8_t* first, const uint8_t* last, int buckets, bool checkBuckets, const char* what) {
    EXPECT_EQ(size, 1 << bits) << what;
    for (int i = 0; i < size; ++i) EXPECT_NEAR(norm(codes[i]), unit, 1.0) << what << " codeword " << i;
    for (int b = 0; b <= buckets; ++b) EXPECT_TRUE(first[b] <= last[b] && last[b] < size) << what << " bucket " << b;
    for (int j = 0; j < 4; ++j) {
        const uint8_t* list = j > 0 ? orders + (j - 1) * size : nullptr;
        const auto at = [&](int pos) { return codes[list ? list[pos] : pos]; };
        EXPECT_TRUE(!list || (std::set<int>(list, list + size).size() == std::size_t(size) &&
                              *std::max_element(list, list + size) < size)) << what << " list " << j;
        for (int pos = 0; pos < size; ++pos) {
            EXPECT_GE(at(std::max(pos - 1, 0))[j], at(pos)[j]) << what << " order " << j << " at " << pos;
            const int b = bucketByRule(at(pos)[j], unit);
            EXPECT_TRUE(!checkBuckets || b < 0 || b > buckets || (pos >= first[b] && pos <= last[b]))
                << what << " component " << j << " position " << pos;
        }
    }
}

}  // namespace

// Shape codewords: unit norm 8192, antipodal; gain codewords: non-negative,
// norm 16384. Buckets are rebuilt by the rule for every class but the level-0
// shape class, whose buckets the format gives.
TEST(DictionaryClasses, MeetEveryStatedProperty) {
    const int shapeSizes[kVqLevels] = {16, 64, 128, 256}, gainSizes[kVqLevels] = {64, 64, 128, 256};
    for (int l = 0; l < kVqLevels; ++l) {
        const DictionaryClass& c = dictionaryClasses[l];
        ASSERT_EQ(c.shapeSize, shapeSizes[l]);
        ASSERT_EQ(c.gainSize, gainSizes[l]);
        expectClass(c.shape, c.shapeSize, shapeIndexBits[l], 8192, c.shapeOrder, c.shapeFirst, c.shapeLast, 20, l > 0, "shape");
        expectClass(c.gain, c.gainSize, gainIndexBits[l], 16384, c.gainOrder, c.gainFirst, c.gainLast, 10, true, "gain");
        for (int i = 0; i < c.shapeSize; ++i)
            for (int k = 0; k < 4; ++k) EXPECT_EQ(c.shape[c.shapeSize - 1 - i][k], -c.shape[i][k]) << l << " " << i;
        EXPECT_TRUE(std::all_of(&c.gain[0][0], &c.gain[0][0] + 4 * c.gainSize, [](int16_t g) { return g >= 0; }));
        for (int b = 21; b < kShapeBucketEntries; ++b) EXPECT_EQ(c.shapeFirst[b] | c.shapeLast[b], 0);
        // No unit vector has its largest component near 0: bucket 10 is the whole class.
        EXPECT_TRUE(c.shapeFirst[10] == 0 && c.shapeLast[10] == c.shapeSize - 1) << l;
    }
    EXPECT_TRUE(dictionaryClasses[0].gain == dictionaryClasses[1].gain && dictionaryClasses[0].gainFirst == dictionaryClasses[1].gainFirst);
}

TEST(DictionaryClasses, LevelZeroShapesAreTheFormatsOwn) {
    const DictionaryClass& c = dictionaryClasses[0];
    const int16_t rows[3][4] = {{7822, -237, -2422, 87}, {4348, 3973, 3879, 4167}, {230, 2501, 964, -7738}};
    const int at[3] = {0, 3, 7};
    for (int r = 0; r < 3; ++r) EXPECT_TRUE(std::equal(rows[r], rows[r] + 4, c.shape[at[r]])) << at[r];
    const uint8_t list1[16] = {11, 1, 10, 3, 2, 7, 9, 15, 0, 6, 8, 13, 12, 5, 14, 4};
    const uint8_t list3[16] = {8, 9, 13, 3, 14, 5, 0, 4, 11, 15, 10, 1, 12, 2, 6, 7};
    EXPECT_TRUE(std::equal(list1, list1 + 16, shapeOrderList(0, 1)) && std::equal(list3, list3 + 16, shapeOrderList(0, 3)));
    const uint8_t first[21] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 2, 2, 6, 6, 9};
    const uint8_t last[21] = {6, 8, 9, 13, 13, 11, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15};
    EXPECT_TRUE(std::equal(first, first + 21, c.shapeFirst) && std::equal(last, last + 21, c.shapeLast));
}

TEST(BucketFormulas, MatchTheRealValuedRuleAndTheEnds) {
    EXPECT_TRUE(shapeBucket(8192) == 0 && shapeBucket(-8192) == 20 && gainBucket(16384) == 0);
    for (int v = -8192; v <= 8192; ++v) ASSERT_EQ(shapeBucket(v), bucketByRule(v, 8192.0)) << v;
    for (int v = 0; v <= 16384; ++v) ASSERT_EQ(gainBucket(v), bucketByRule(v, 16384.0)) << v;
}

TEST(GainLevels, RiseGeometricallyAndTheirBucketsFollowTheRule) {
    EXPECT_EQ((std::array{gainLevels[0], gainLevels[64], gainLevels[112], gainLevels[127]}),
              (std::array<int16_t, 4>{32, 750, 7990, 16736}));
    for (int k = 1; k < kGainLevelCount; ++k) EXPECT_NEAR(double(gainLevels[k]) / gainLevels[k - 1], 1.0505, 0.04) << k;
    // Entry a names the level nearest 32 a (ties to the higher level, as at
    // a = 256, between 7990 and 8394); 344 and 419 take the next level; the
    // ends are fixed.
    for (int a = 2; a <= 510; ++a) {
        int nearest = 0;
        for (int k = 1; k < kGainLevelCount; ++k)
            if (std::abs(gainLevels[k] - 32 * a) <= std::abs(gainLevels[nearest] - 32 * a)) nearest = k;
        EXPECT_EQ(gainLevelBuckets[a], nearest + (a == 344 || a == 419)) << "entry " << a;
    }
    EXPECT_EQ((std::array{gainLevelBuckets[0], gainLevelBuckets[1], gainLevelBuckets[256], gainLevelBuckets[344],
                          gainLevelBuckets[419]}),
              (std::array<uint8_t, 5>{0, 0, 113, 119, 123}));
    for (int a = 511; a < kGainLevelBucketCount; ++a) EXPECT_EQ(gainLevelBuckets[a], 127) << a;
}

TEST(Patterns, AreUnitVectorsOfTheStatedShapes) {
    for (int p = 0; p < kPatternCount; ++p) EXPECT_NEAR(norm(patternDictionary[p], 16), 16384.0, 4.0) << p;
    // 6 is flat, 3 alternates by rows, 4 by columns, 7 mirrors 0.
    for (int e = 0; e < 16; ++e)
        EXPECT_TRUE(patternDictionary[6][e] == 4096 && patternDictionary[3][e] == ((e / 4) % 2 ? -4096 : 4096) &&
                    patternDictionary[4][e] == (e % 2 ? -4096 : 4096) &&
                    patternDictionary[7][e] == patternDictionary[0][4 * (e / 4) + 3 - e % 4]) << e;
    EXPECT_EQ(patternDictionary[5][5], -6689);
    EXPECT_EQ((std::array{levelStartBounds[0], levelStartBounds[1], levelStartBounds[2]}),
              (std::array{10179, 59723, 152823}));
}
