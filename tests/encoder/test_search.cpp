#include <gtest/gtest.h>

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
