#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "codec/stream_syntax.h"
#include "tests/codec/codec_test.h"

using namespace kirune;

TEST(BitFields, RunLsbFirstAcrossBytesAndStopAtRawLength) {
    uint8_t buf[4] = {};
    BitCursor cur;
    putBits(buf, cur, 0x7F, 7);  // bits 0..6
    putBits(buf, cur, 0x2, 2);   // bit 7 gets 0, bit 8 gets 1
    EXPECT_TRUE(buf[0] == 0x7F);
    EXPECT_TRUE(buf[1] == 0x01);
    EXPECT_TRUE(cur.byte == 1);
    EXPECT_TRUE(cur.bit == 1);
    putBits(buf, cur, 0xFF, 8);  // straddles bytes 1 and 2
    EXPECT_TRUE(buf[1] == 0xFF);
    EXPECT_TRUE(buf[2] == 0x01);
    BitReader r(buf, 3, BitCursor{});
    EXPECT_TRUE(r.read(7) == 0x7F);
    EXPECT_TRUE(r.read(2) == 0x2);
    EXPECT_TRUE(r.read(8) == 0xFF);
    EXPECT_EQ(r.read(7), 0u);  // what is left of the last byte, and nothing beyond it
    EXPECT_TRUE(throwsDamaged([&] { r.read(1); }));
    ByteReader b(buf, 3, 1);
    EXPECT_TRUE(throwsDamaged([&] { b.take(3); }));
    EXPECT_TRUE(b.take(2)[1] == 0x01);
    EXPECT_TRUE(throwsDamaged([&] { b.read(); }));
}

TEST(MatchBytes, OffsetsAndBytesAgree) {
    // dy in bits 0..1, dx in bits 2..7: 0x05 is one row up and one column
    // left, 0xFD one row up and one right, 249 two right.
    const struct { uint8_t byte; int32_t offset; } cases[] = {{0x05, 101}, {0xFD, 99}, {249, 98}};
    for (auto c : cases) {
        EXPECT_EQ(matchOffsetOf(c.byte, 100), c.offset);
        EXPECT_EQ(matchByte(uint32_t(c.offset), 100), c.byte) << c.offset;
    }
    // Damaged bytes: the block itself, a later block.
    EXPECT_TRUE(matchOffsetOf(0x00, 100) == 0);
    EXPECT_TRUE(matchOffsetOf(0xFC, 100) < 0);
    // Every offset the search produces survives its byte in planes of any
    // width: up to 3 rows up, 31 columns either side (one block wide: rows only).
    for (int32_t B : {1, 2, 31, 32, 33, 50, 63, 64, 100})
        for (int32_t dy = 0; dy <= 3; ++dy)
            for (int32_t dx = -std::min(31, B - 1); dx <= std::min(31, B - 1); ++dx) {  // dx columns to the right
                const int32_t o = dy * B - dx;
                ASSERT_TRUE(o < 1 || (dy == 0 && dx > 0) || matchOffsetOf(matchByte(uint32_t(o), B), B) == o)
                    << B << " " << dy << " " << dx;
            }
}

TEST(RawSamples, RoundAndClamp) {
    const struct { int16_t x; uint8_t b; } bytes[] = {{4095, 255}, {4079, 255}, {4071, 254}, {7, 0},   {8, 1},
                                                      {-20, 0},    {-32768, 0}, {32767, 255}, {1000, 63}};
    for (auto c : bytes) EXPECT_EQ(rawSampleByte(c.x), c.b) << c.x;
    EXPECT_TRUE(rawSampleValue(0) == 0);
    EXPECT_TRUE(rawSampleValue(63) == 1011);
    EXPECT_TRUE(rawSampleValue(255) == 4095);
}

