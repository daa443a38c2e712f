#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>

#include "codec/strip_decoder.h"
#include "tests/codec/codec_test.h"

using namespace kirune;

namespace {

// Writes block fields the way the encoder lays them out.
struct StreamWriter {
    SideStreams& st;
    BitCursor header{}, low{}, high{};
    uint32_t gain = 0, match = 0;

    StreamWriter& bits(uint32_t v, int w) { return putBits(st.headerBits.data(), header, v, w), *this; }
    StreamWriter& lowBits(uint32_t v, int w) { return putBits(st.indexBitsLow.data(), low, v, w), *this; }
    StreamWriter& highBits(uint32_t v, int w) { return putBits(st.indexBitsHigh.data(), high, v, w), *this; }
    StreamWriter& gainByte(uint8_t v) { return putByte(st.gainBytes.data(), gain, v), *this; }
    StreamWriter& matchByte(uint8_t v) { return putByte(st.matchBytes.data(), match, v), *this; }
    StreamWriter& flat(int n = 1) { return n > 0 ? bits(BlockFlat, 2).flat(n - 1) : *this; }
    StreamWriter& special(SpecialSubtype t) { return bits(BlockSpecial, 2).bits(t, 2); }
    StreamWriter& pattern(int p, int sign, uint8_t g) { return lowBits(uint32_t(p + 8 * sign), 4).gainByte(g); }
    void finish() {
        const uint32_t len[5] = {header.byte + 1, low.byte + 1, high.byte + 1, gain, match};
        std::memcpy(st.rawLength + StreamHeaderBits, len, sizeof len);
    }
};

void decodeLuma(TestStrip& s) { decodePlane(s.quality, s.work.streams, s.luma()); }

void expectFilled(const BlockVec& v, int value, int block) {
    for (int i = 0; i < 16; ++i) EXPECT_EQ(v.lane[i], value) << "block " << block << " lane " << i;
}

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
}

TEST(DecodePlane, FlatMatchRawAndPatternBlocks) {
    TestStrip s = stripState(16, 8);  // luma 4 x 2 blocks
    const PlaneRegion y = s.luma();
    const SideStreams& st = s.work.streams;
    const uint8_t means[8] = {10, 20, 30, 40, 50, 60, 70, 80};
    std::memcpy(y.means, means, 8);
    StreamWriter out{s.work.streams};
    out.flat();                                                  // 0
    out.special(SpecialMatch).matchByte(matchByte(1, 4));        // 1: block 0's zero correction
    out.special(SpecialRaw);                                     // 2
    for (int i = 0; i < 16; ++i) out.matchByte(255);
    out.special(SpecialPattern).pattern(6, 1, 70);               // 3: flat 4096 at gain -1008
    out.special(SpecialMatchPattern).matchByte(matchByte(1, 4)).pattern(6, 0, 70);  // 4: block 3 + 126
    out.special(SpecialMatch).matchByte(0xFD);                   // 5: block 2, one row up, one right
    out.flat(2).finish();
    decodeLuma(s);
    const int resid[6] = {0, 0, 4095 - 480, -126, 0, 4095 - 480};
    for (int n = 0; n < 6; ++n) {
        expectFilled(y.resid[n], resid[n], n);
        expectFilled(y.coded[n], n == 2 ? 4095 : means[n] * 16 + resid[n], n);
    }
    EXPECT_EQ(st.blockCounter, 8u);
    EXPECT_EQ(st.matchBytesPos, 19u);
    EXPECT_EQ(st.gainBytesPos, 2u);

    // Shift mode (K = 2000: k = 1, mean level 1) shifts the correction up.
    TestStrip t = stripState(8, 8, Sampling444, 2000);
    std::memset(t.luma().means, 40, 4);
    StreamWriter{t.work.streams}.special(SpecialPattern).pattern(6, 1, 70).flat(3).finish();
    decodeLuma(t);
    expectFilled(t.luma().resid[0], -252, 0);
    expectFilled(t.luma().coded[0], 40 * 32 - 252, 0);
}

// A two-stage VQ block at level 3: type, stage bit and level in the header;
// the shape indices of both stages, then both gain indices, 8 bits each;
// one gain byte per stage.
TEST(BlockHeaders, TwoStageVqFieldsComeInTheirOrder) {
    TestStrip s = stripState(8, 8);
    const uint8_t shapes[2][4] = {{200, 3, 17, 255}, {0, 128, 64, 100}}, gains[2] = {5, 250}, levels[2] = {100, 20};
    StreamWriter out{s.work.streams};
    out.bits(BlockVq, 2).bits(1, 1).bits(3, 2);
    for (auto& stage : shapes)
        for (uint8_t idx : stage) out.highBits(idx, 8);
    out.highBits(gains[0], 8).highBits(gains[1], 8).gainByte(levels[0]).gainByte(levels[1]).finish();
    BlockStreamReaders rd(s.work.streams);
    BlockHeader i;
    readBlockSideInfo(rd, 2, i);
    EXPECT_EQ(i.type, BlockVq);
    EXPECT_EQ(i.stageCount, 2);
    EXPECT_EQ(i.vqLevel, 3);
    EXPECT_EQ(rd.indexHigh.cursor().byte, 10u);
    EXPECT_EQ(std::memcmp(i.shapeIndex, shapes, 8), 0);
    EXPECT_EQ(std::memcmp(i.gainIndex, gains, 2), 0);
    EXPECT_EQ(std::memcmp(i.gainByte, levels, 2), 0);
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
