#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "codec/stream_syntax.h"
#include "tests/codec/codec_test.h"

using namespace kirune;

TEST(BitFields, RunLsbFirstAcrossBytesAndStopAtRawLength) {
    uint8_t buf[4] = {};
    BitCursor cur;
    putBits(buf, cur, 0x7F, 7);
    putBits(buf, cur, 0x2, 2);
    putBits(buf, cur, 0xFF, 8);  // straddles bytes 1 and 2
    EXPECT_EQ(buf[0], 0x7F);
    EXPECT_EQ(buf[1], 0xFF);
    EXPECT_EQ(buf[2], 0x01);
    BitReader r(buf, 3, BitCursor{});
    EXPECT_EQ(r.read(7), 0x7Fu);
    EXPECT_EQ(r.read(2), 0x2u);
    EXPECT_EQ(r.read(8), 0xFFu);
    EXPECT_EQ(r.read(7), 0u);  // what is left of the last byte, and nothing beyond it
    EXPECT_TRUE(throwsDamaged([&] { r.read(1); }));
    ByteReader b(buf, 3, 1);
    EXPECT_TRUE(throwsDamaged([&] { b.take(3); }));
    EXPECT_EQ(b.take(2)[1], 0x01);
    EXPECT_TRUE(throwsDamaged([&] { b.read(); }));
}

TEST(MatchBytes, EveryOffsetTheSearchMakesSurvivesItsByte) {
    // The block itself and a later block are damage.
    EXPECT_EQ(matchOffsetOf(0x00, 100), 0);
    EXPECT_LT(matchOffsetOf(0xFC, 100), 0);
    // Up to the rows and columns the encoders reach; one block wide: rows
    // only; planes past 4095 blocks wide reach fewer rows, from 8192 none.
    EXPECT_EQ(matchRowsUp(100), 3);
    EXPECT_EQ(matchRowsUp(8191), 1);
    EXPECT_EQ(matchRowsUp(16383), 0);
    for (int32_t B : {1, 2, 31, 32, 33, 50, 63, 64, 100, 4095, 4096, 5461, 5462, 8191, 8192, 16383}) {
        const int32_t reach = std::min(kMatchColumns, B - 1);
        for (int32_t dy = 0; dy <= matchRowsUp(B); ++dy)
            for (int32_t dx = -reach; dx <= reach; ++dx) {  // dx columns to the right
                const int32_t o = dy * B - dx;
                if (o < 1 || (dy == 0 && dx > 0)) continue;
                ASSERT_LE(o, kMatchOffsetLimit) << B << " " << dy << " " << dx;
                ASSERT_EQ(matchOffsetOf(matchByte(uint32_t(o), B), B), o) << B << " " << dy << " " << dx;
            }
    }
}
