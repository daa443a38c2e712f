// Gain tables: the 128 scalar gain levels, the encoder's bucket table over
// them, and the trained gain-dictionary classes (generated, see gain_codebooks.inc).

#include "codec/dictionary.h"

namespace kirune {

// constexpr so that the bucket table below can be computed from it.
constexpr int16_t gainLevels[kGainLevelCount] = {
    32,    34,    35,    37,    39,    41,    43,    45,    47,    50,    52,    55,    58,    61,    64,    67,
    70,    74,    78,    82,    86,    90,    95,    99,    104,   110,   115,   121,   127,   134,   140,   147,
    155,   163,   171,   180,   189,   198,   208,   219,   230,   241,   254,   266,   280,   294,   309,   324,
    341,   358,   376,   395,   415,   436,   458,   481,   506,   531,   558,   586,   616,   647,   680,   714,
    750,   788,   828,   870,   914,   960,   1008,  1059,  1113,  1169,  1228,  1290,  1355,  1424,  1495,  1571,
    1650,  1734,  1821,  1913,  2010,  2112,  2218,  2330,  2448,  2572,  2702,  2838,  2982,  3132,  3291,  3457,
    3631,  3815,  4008,  4210,  4423,  4646,  4881,  5128,  5387,  5659,  5945,  6245,  6561,  6892,  7240,  7606,
    7990,  8394,  8818,  9264,  9732,  10223, 10740, 11283, 11853, 12451, 13080, 13741, 14436, 15165, 15931, 16736,
};

namespace {

// Entry a: the level nearest to 32a, ties to the higher level; entries 344 and
// 419 hold the level above the nearest, and 0, 1 and 511.. are pinned.
constexpr uint8_t bucketEntry(int a) {
    if (a <= 1) return 0;
    if (a >= 511) return kGainLevelCount - 1;
    const int x = 32 * a;
    int best = 0;
    for (int k = 1; k < kGainLevelCount; ++k) {
        const int dk = x > gainLevels[k] ? x - gainLevels[k] : gainLevels[k] - x;
        const int db = x > gainLevels[best] ? x - gainLevels[best] : gainLevels[best] - x;
        if (dk <= db) best = k;
    }
    if (a == 344 || a == 419) ++best;
    return static_cast<uint8_t>(best);
}

}  // namespace

// Built from the rule at compile time rather than typed, so it cannot drift
// from the levels.
const uint8_t gainLevelBuckets[kGainLevelBucketCount] = {
#define KIRUNE_B4(a) bucketEntry(a), bucketEntry(a + 1), bucketEntry(a + 2), bucketEntry(a + 3)
#define KIRUNE_B16(a) KIRUNE_B4(a), KIRUNE_B4(a + 4), KIRUNE_B4(a + 8), KIRUNE_B4(a + 12)
#define KIRUNE_B64(a) KIRUNE_B16(a), KIRUNE_B16(a + 16), KIRUNE_B16(a + 32), KIRUNE_B16(a + 48)
#define KIRUNE_B256(a) KIRUNE_B64(a), KIRUNE_B64(a + 64), KIRUNE_B64(a + 128), KIRUNE_B64(a + 192)
    KIRUNE_B256(0), KIRUNE_B256(256), KIRUNE_B4(512), KIRUNE_B4(516), KIRUNE_B4(520),
#undef KIRUNE_B256
#undef KIRUNE_B64
#undef KIRUNE_B16
#undef KIRUNE_B4
};

#include "codec/gain_codebooks.inc"

}  // namespace kirune
