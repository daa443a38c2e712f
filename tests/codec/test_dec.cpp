#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>

#include "codec/dec.h"
#include "codec/dictionary.h"
#include "codec/payload.h"
#include "codec/transforms.h"
#include "codec/val.h"
#include "kirune/Error.h"

using namespace kirune;

namespace {

// 8 x 20 image in 128-pixel strips: two strips of 16 rows; the last codes
// 8 rows, so its luma region is block rows 2..3 of 2 columns.
CodecState lastStripOf8x20(int32_t K = 12) {
    CodecState s;
    setCodecParams(s, K);
    s.colourSampling = Sampling444;
    s.sourceWidth = 8;
    s.stripImageRows = 20;
    s.stripBudgetLog2 = 7;
    setupExpandGeometry(s);
    beginStrip(s, 1);
    return s;
}

CodecState stripOf(int32_t width, int32_t height, int32_t K = 12) {
    CodecState s;
    setCodecParams(s, K);
    s.colourSampling = Sampling444;
    s.sourceWidth = width;
    s.stripImageRows = height;
    setupExpandGeometry(s);
    beginStrip(s, 0);
    return s;
}

// Writes block fields the way the encoder lays them out.
struct StreamWriter {
    explicit StreamWriter(SideStreams& streams) : st(streams) {}

    SideStreams& st;
    BitCursor header, low, high;
    uint32_t gain = 0, match = 0;

    void bits(uint32_t v, int w) { putBits(st.headerBits.data(), header, v, w); }
    void lowBits(uint32_t v, int w) { putBits(st.indexBitsLow.data(), low, v, w); }
    void highBits(uint32_t v, int w) { putBits(st.indexBitsHigh.data(), high, v, w); }
    void gainByte(uint8_t v) { putByte(st.gainBytes.data(), gain, v); }
    void matchByte(uint8_t v) { putByte(st.matchBytes.data(), match, v); }

    void flat() { bits(BlockFlat, 2); }
    void special(SpecialSubtype t) {
        bits(BlockSpecial, 2);
        bits(t, 2);
    }
    void pattern(int p, int sign, uint8_t g) {
        lowBits(static_cast<uint32_t>(p + 8 * sign), 4);
        gainByte(g);
    }
    void finish() {
        st.rawLength[StreamHeaderBits] = header.byte + 1;
        st.rawLength[StreamIndexBitsLow] = low.byte + 1;
        st.rawLength[StreamIndexBitsHigh] = high.byte + 1;
        st.rawLength[StreamGainBytes] = gain;
        st.rawLength[StreamMatchBytes] = match;
    }
};

void decodeLuma(CodecState& s) {
    StripWork& w = s.strip;
    decodePlane(s, w.streams, w.codedY, w.residY, w.meansY, w.yBlocksPerRow, w.yBlockRows,
                s.lumaRowOffset);
}

bool throwsDamaged(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return std::strcmp(e.what(), kDamagedFileText) == 0;
    }
    return false;
}

void expectFilled(const BlockVec& v, int16_t value) {
    for (int i = 0; i < 16; ++i) EXPECT_EQ(v.lane[i], value) << "lane " << i;
}

// One VQ stage computed straight from the tables, lane by lane.
int32_t stageLane(int level, const uint8_t shape[4], uint8_t gainIndex, uint8_t gainByte, int e) {
    const int j = e / 4;
    const int32_t q = (shapeCodeword(level, shape[j])[e % 4] * gainCodeword(level, gainIndex)[j]) >> 13;
    return static_cast<int16_t>(q) * gainLevels[gainByte] >> 15;
}

}  // namespace

TEST(DecoderTables, IndexWidthsCoverExactlyTheClasses) {
    for (int L = 0; L < kVqLevels; ++L) {
        EXPECT_EQ(dictionaryClasses[L].shapeSize, 1 << shapeIndexBits[L]) << L;
        EXPECT_EQ(dictionaryClasses[L].gainSize, 1 << gainIndexBits[L]) << L;
    }
}

TEST(DecodeMeans, PredictionSignsAndReflection) {
    CodecState s = stripOf(8, 8);  // 2 x 2 blocks per plane, 12 in all
    SideStreams& st = s.strip.streams;
    // Y: 0 with sign 1 -> 128; -125 -> 3; column 0 from above: -125 -> 3;
    // 3 - 5 = -2 reflects to 2.
    const uint8_t bytes[12] = {0, 125, 125, 5, 0, 0, 0, 0, 1, 0, 0, 0};
    std::memcpy(st.dcBytes.data(), bytes, 12);
    st.dcSignBits[0] = 0x0F;
    st.dcSignBits[1] = 0x00;
    st.rawLength[StreamDcBytes] = 12;
    st.rawLength[StreamDcSignBits] = 2;
    decodeMeans(s, s.strip);
    EXPECT_EQ(s.strip.meansY[0], 128);
    EXPECT_EQ(s.strip.meansY[1], 3);
    EXPECT_EQ(s.strip.meansY[2], 3);
    EXPECT_EQ(s.strip.meansY[3], 2);
    EXPECT_EQ(s.strip.meansCb[0], 128);  // each region starts from 128 again
    EXPECT_EQ(s.strip.meansCr[0], 129);
    EXPECT_EQ(s.strip.meansCr[3], 129);
    EXPECT_EQ(st.dcSignBitCount, 0u);
}

TEST(DecodeMeans, RefusesCountsThatDoNotMatchTheRegions) {
    CodecState s = stripOf(8, 8);
    SideStreams& st = s.strip.streams;
    st.rawLength[StreamDcBytes] = 11;
    st.rawLength[StreamDcSignBits] = 2;
    EXPECT_TRUE(throwsDamaged([&] { decodeMeans(s, s.strip); }));
    st.rawLength[StreamDcBytes] = 12;
    st.rawLength[StreamDcSignBits] = 1;
    EXPECT_TRUE(throwsDamaged([&] { decodeMeans(s, s.strip); }));
    st.rawLength[StreamDcSignBits] = 2;
    EXPECT_NO_THROW(decodeMeans(s, s.strip));
}

TEST(DecodePlane, FlatMatchRawAndPatternBlocks) {
    CodecState s = stripOf(16, 8);  // luma 4 x 2 blocks
    StripWork& w = s.strip;
    const uint8_t means[8] = {10, 20, 30, 40, 50, 60, 70, 80};
    std::memcpy(w.meansY, means, 8);
    StreamWriter out(w.streams);
    out.flat();                       // 0
    out.special(SpecialMatch);        // 1: copies block 0's zero correction
    out.matchByte(matchByte(1, 4));
    out.special(SpecialRaw);          // 2
    for (int i = 0; i < 16; ++i) out.matchByte(255);
    out.special(SpecialPattern);      // 3: pattern 6 (flat 4096), gain 1008, negative
    out.pattern(6, 1, 70);
    out.special(SpecialMatchPattern);  // 4: block 3's correction plus pattern 6 positive
    out.matchByte(matchByte(1, 4));
    out.pattern(6, 0, 70);
    out.special(SpecialMatch);         // 5: block 2's raw correction, one row up, one right
    out.matchByte(0xFD);
    for (int i = 0; i < 2; ++i) out.flat();
    out.finish();

    decodeLuma(s);
    expectFilled(w.codedY[0], 160);
    expectFilled(w.residY[0], 0);
    expectFilled(w.codedY[1], 320);  // a flat block at the later block's own mean
    expectFilled(w.residY[1], 0);
    expectFilled(w.codedY[2], 4095);
    expectFilled(w.residY[2], 4095 - 480);
    expectFilled(w.residY[3], -126);
    expectFilled(w.codedY[3], 640 - 126);
    expectFilled(w.residY[4], 0);
    expectFilled(w.codedY[4], 800);
    expectFilled(w.residY[5], 4095 - 480);
    expectFilled(w.codedY[5], 960 + 4095 - 480);
    EXPECT_EQ(w.streams.blockCounter, 8u);
    EXPECT_EQ(w.streams.matchBytesPos, 19u);
    EXPECT_EQ(w.streams.gainBytesPos, 2u);
}

TEST(DecodePlane, TwoStagesEachScaledByTheirOwnGain) {
    CodecState s = stripOf(8, 8);
    StripWork& w = s.strip;
    std::memset(w.meansY, 128, 4);
    const uint8_t shapes[2][4] = {{200, 3, 17, 255}, {0, 128, 64, 100}};
    StreamWriter out(w.streams);
    out.bits(BlockVq, 2);
    out.bits(1, 1);  // two stages
    out.bits(3, 2);  // level 3: indices in indexBitsHigh, 8 bits each
    for (auto& stage : shapes)
        for (uint8_t idx : stage) out.highBits(idx, 8);
    out.highBits(5, 8);
    out.highBits(250, 8);
    out.gainByte(100);
    out.gainByte(20);
    for (int i = 0; i < 3; ++i) out.flat();
    out.finish();

    decodeLuma(s);
    for (int e = 0; e < 16; ++e) {
        const auto expected = static_cast<int16_t>(stageLane(3, shapes[0], 5, 100, e) +
                                                   stageLane(3, shapes[1], 250, 20, e));
        EXPECT_EQ(w.residY[0].lane[e], expected) << e;
        EXPECT_EQ(w.codedY[0].lane[e], static_cast<int16_t>(2048 + expected)) << e;
    }
    EXPECT_EQ(w.streams.indexHighPos.byte, 10u);
}

TEST(DecodePlane, ShiftModeShiftsDecodedCorrectionsUp) {
    // K = 2000: shift 1; pattern 6 negative at gain 1008 is -126 before the shift.
    CodecState s = stripOf(8, 8, 2000);
    StripWork& w = s.strip;
    std::memset(w.meansY, 40, 4);  // meanLevel 1: 40 * 32
    StreamWriter out(w.streams);
    out.special(SpecialPattern);
    out.pattern(6, 1, 70);
    for (int i = 0; i < 3; ++i) out.flat();
    out.finish();
    decodeLuma(s);
    expectFilled(w.residY[0], -252);
    expectFilled(w.codedY[0], 1280 - 252);
}

TEST(DecodePlane, SmoothBlocksComeFromTheMeans) {
    CodecState s = stripOf(8, 8);
    StripWork& w = s.strip;
    const uint8_t means[4] = {100, 101, 100, 100};
    std::memcpy(w.meansY, means, 4);
    StreamWriter out(w.streams);
    out.bits(BlockPredicted, 2);
    out.bits(1, 1);
    for (int i = 0; i < 3; ++i) out.flat();
    out.finish();
    decodeLuma(s);
    BlockVec expected;
    interpolateFromMeans(w.meansY, 2, 2, 0, 0, 0, 0, expected);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(w.codedY[0].lane[i], expected.lane[i]);
        EXPECT_EQ(w.residY[0].lane[i], expected.lane[i] - 1600);
    }
}

TEST(DecodePlane, LastStripLeavesRowsAboveItsRegion) {
    CodecState s = lastStripOf8x20();
    StripWork& w = s.strip;
    ASSERT_EQ(s.lumaRowOffset, 2);
    for (std::size_t i = 0; i < 8; ++i) {
        blockFill(w.codedY[i], 1234);
        w.meansY[i] = 50;
    }
    StreamWriter out(w.streams);
    for (int i = 0; i < 4; ++i) out.flat();
    out.finish();
    decodeLuma(s);
    for (std::size_t i = 0; i < 8; ++i) expectFilled(w.codedY[i], i < 4 ? 1234 : 800);
}

TEST(DecodePlane, DamagedFieldsAreRefused) {
    // Each case: what the streams hold after a flat block 0.
    const std::function<void(StreamWriter&)> damaged[] = {
        // Offset 0: the block itself.
        [](StreamWriter& o) { o.special(SpecialMatch); o.matchByte(0x00); },
        // Negative offset: a block to the right in the current row.
        [](StreamWriter& o) { o.special(SpecialMatch); o.matchByte(0xFC); },
        // Offset 2 from block 1 reaches above the region (rows 0..1 of the buffer).
        [](StreamWriter& o) { o.special(SpecialMatch); o.matchByte(matchByte(2, 2)); },
        // Gain byte beyond the 128 levels.
        [](StreamWriter& o) { o.special(SpecialPattern); o.pattern(2, 0, 128); },
        [](StreamWriter& o) {
            o.bits(BlockVq, 2); o.bits(0, 1); o.bits(0, 2);
            for (int i = 0; i < 5; ++i) o.lowBits(0, 4);
            o.lowBits(0, 2);
            o.gainByte(200);
        },
        // Fields missing: a pattern block without its gain byte, a raw block
        // with 15 bytes, a VQ block without indices.
        [](StreamWriter& o) { o.special(SpecialPattern); o.lowBits(3, 4); },
        [](StreamWriter& o) { o.special(SpecialRaw); for (int i = 0; i < 15; ++i) o.matchByte(1); },
        [](StreamWriter& o) { o.bits(BlockVq, 2); o.bits(1, 1); o.bits(3, 2); },
        // A smoothFlag-0 prediction whose match byte is missing.
        [](StreamWriter& o) { o.bits(BlockPredicted, 2); o.bits(0, 1); o.bits(0, 3); },
    };
    int index = 0;
    for (const auto& makeTail : damaged) {
        CodecState s = lastStripOf8x20();
        std::memset(s.strip.meansY, 9, 8);
        StreamWriter out(s.strip.streams);
        out.flat();
        makeTail(out);
        out.finish();
        EXPECT_TRUE(throwsDamaged([&] { decodeLuma(s); })) << "case " << index;
        ++index;
    }
}
