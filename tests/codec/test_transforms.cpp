#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>

#include "codec/transforms.h"
#include "tests/codec/codec_test.h"

using namespace kirune;

// Y, Cb, Cr -> R, G, B; (t + 256) >> 9 clamped to 0..65535 on both sides.
TEST(ColourConversion, RoundsHalfUpAndClampsBothEnds) {
    TestStrip s = stripState(8, 8);
    StripWork& w = s.work;
    const struct { int16_t y, cb, cr; uint16_t r, g, b; } cases[] = {
        {4095, 2048, 2048, 65520, 65520, 65520}, {0, 2048, 2048, 0, 0, 0},
        {2048, 2048, 4095, 65535, 9387, 32768},  {-100, 2048, 2048, 0, 0, 0},
        {2048, 2048, 2304, 38511, 29844, 32768}};  // R exactly halfway: rounds up
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        w.yPlane[3].lane[i] = cases[i].y;
        w.cbPlane[3].lane[i] = cases[i].cb;
        w.crPlane[3].lane[i] = cases[i].cr;
    }
    yccToRgb(s.geometry, w);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(uint16_t(w.rPlane[3].lane[i]), cases[i].r) << i;
        EXPECT_EQ(uint16_t(w.gPlane[3].lane[i]), cases[i].g) << i;
        EXPECT_EQ(uint16_t(w.bPlane[3].lane[i]), cases[i].b) << i;
    }
}
