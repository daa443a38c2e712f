#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <utility>

#include "codec/strip_decoder.h"
#include "tests/codec/codec_test.h"

using namespace kirune;

namespace {

// Writes block fields the way the encoder lays them out.
struct StreamWriter {
    SideStreams& st;
    BitCursor header{}, low{};
    uint32_t gain = 0, match = 0;

    StreamWriter& bits(uint32_t v, int w) { return putBits(st.headerBits.data(), header, v, w), *this; }
    StreamWriter& lowBits(uint32_t v, int w) { return putBits(st.indexBitsLow.data(), low, v, w), *this; }
    StreamWriter& gainByte(uint8_t v) { return putByte(st.gainBytes.data(), gain, v), *this; }
    StreamWriter& matchByte(uint8_t v) { return putByte(st.matchBytes.data(), match, v), *this; }
    StreamWriter& flat(int n = 1) { return n > 0 ? bits(BlockFlat, 2).flat(n - 1) : *this; }
    StreamWriter& special(SpecialSubtype t) { return bits(BlockSpecial, 2).bits(t, 2); }
    StreamWriter& pattern(int p, int sign, uint8_t g) { return lowBits(uint32_t(p + 8 * sign), 4).gainByte(g); }
    void finish() {
        const uint32_t len[5] = {header.byte + 1, low.byte + 1, 1, gain, match};
        std::memcpy(st.rawLength + StreamHeaderBits, len, sizeof len);
    }
};

void decodeLuma(TestStrip& s) { decodePlane(s.quality, s.work.streams, s.luma()); }

}  // namespace

TEST(DecodeMeans, PredictionSignsAndReflection) {
    TestStrip s = stripState(8, 8);  // 2 x 2 blocks per plane, 12 in all
    SideStreams& st = s.work.streams;
    // All Y signs negative: 128 - 0; 128 - 125 from the left; 128 - 125 from
    // above; 3 - 5 reflects to 2. Cb and Cr start over at 128.
    const uint8_t bytes[12] = {0, 125, 125, 5, 0, 0, 0, 0, 1, 0, 0, 0};
    std::memcpy(st.dcBytes.data(), bytes, 12);
    st.dcSignBits[0] = 0x0F;
    st.dcSignBits[1] = 0x00;
    st.rawLength[StreamDcBytes] = 12;
    st.rawLength[StreamDcSignBits] = 2;
    decodeMeans(s.geometry, s.work);
    const auto r = s.regions();
    const uint8_t y[4] = {128, 3, 3, 2}, cr[4] = {129, 129, 129, 129};
    EXPECT_EQ(std::memcmp(r[0].means, y, 4), 0);
    EXPECT_EQ(std::memcmp(r[2].means, cr, 4), 0);
    EXPECT_EQ(r[1].means[3], 128);
    // One mean byte and one sign bit per block, no more and no less.
    for (auto [bytes, signs] : {std::pair{11u, 2u}, {13u, 2u}, {12u, 1u}, {12u, 3u}}) {
        st.rawLength[StreamDcBytes] = bytes;
        st.rawLength[StreamDcSignBits] = signs;
        EXPECT_TRUE(throwsDamaged([&] { decodeMeans(s.geometry, s.work); })) << bytes << " " << signs;
    }
}

TEST(DecodePlane, DamagedFieldsAreRefused) {
    // Block 1 of the last strip's 2 x 2 region, between flat blocks.
    const std::function<void(StreamWriter&)> damaged[] = {
        [](StreamWriter& o) { o.special(SpecialMatch).matchByte(0x00); },  // offset 0: the block itself
        [](StreamWriter& o) { o.special(SpecialMatch).matchByte(0xFC); },  // a later block
        [](StreamWriter& o) { o.special(SpecialMatch).matchByte(matchByte(2, 2)); },  // above the region
        [](StreamWriter& o) { o.special(SpecialPattern).pattern(2, 0, 128); },  // gain byte beyond 127
        [](StreamWriter& o) { o.bits(BlockVq, 2).bits(0, 3).lowBits(0, 8).lowBits(0, 8).lowBits(0, 6).gainByte(128); },
        [](StreamWriter& o) { o.special(SpecialRaw).matchByte(1); },  // 15 raw bytes missing
    };
    for (std::size_t i = 0; i < std::size(damaged); ++i) {
        TestStrip s = stripState(8, 20, Sampling444, 12, 7);  // last of two 16-row strips, coding 8
        ASSERT_EQ(s.geometry.luma.firstRow, 2);
        std::memset(s.luma().means, 9, 8);
        StreamWriter out{s.work.streams};
        damaged[i](out.flat());
        out.flat(2).finish();  // the region's last two blocks, so that only the damage can fail
        EXPECT_TRUE(throwsDamaged([&] { decodeLuma(s); })) << "case " << i;
    }
}
