#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "codec/payload.h"
#include "codec/val.h"
#include "kirune/Error.h"

using namespace kirune;

namespace {

// One 8-row strip of `width` pixels at 4:4:4: 2 block rows per plane.
CodecState smallStrip(int32_t width, int32_t height = 8, int sampling = Sampling444) {
    CodecState s;
    setCodecParams(s, 12);
    s.colourSampling = sampling;
    s.sourceWidth = width;
    s.stripImageRows = height;
    setupExpandGeometry(s);
    beginStrip(s, s.stripCount - 1);
    return s;
}

bool throwsDamaged(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return std::strcmp(e.what(), kDamagedFileText) == 0;
    }
    return false;
}

}  // namespace

TEST(BitFields, RunAcrossByteBoundariesLsbFirst) {
    uint8_t buf[4] = {};
    BitCursor cur;
    putBits(buf, cur, 0x7F, 7);  // bits 0..6
    putBits(buf, cur, 0x2, 2);   // bit 7 gets 0, bit 8 gets 1
    EXPECT_EQ(buf[0], 0x7F);
    EXPECT_EQ(buf[1], 0x01);
    EXPECT_EQ(cur.byte, 1u);
    EXPECT_EQ(cur.bit, 1u);
    putBits(buf, cur, 0xFF, 8);  // straddles bytes 1 and 2
    EXPECT_EQ(buf[1], 0xFF);
    EXPECT_EQ(buf[2], 0x01);

    BitReader r(buf, 3, BitCursor{});
    EXPECT_EQ(r.read(7), 0x7Fu);
    EXPECT_EQ(r.read(2), 0x2u);
    EXPECT_EQ(r.read(8), 0xFFu);
    EXPECT_EQ(r.cursor().byte, 2u);
    EXPECT_EQ(r.cursor().bit, 1u);
}

TEST(BitFields, RandomFieldsReadBackAndStopAtRawLength) {
    std::mt19937 rng(7);
    std::vector<uint8_t> buf(4096, 0);
    std::vector<std::pair<uint32_t, int>> fields;
    BitCursor w;
    for (int i = 0; i < 2000; ++i) {
        const int width = 1 + static_cast<int>(rng() % 8);
        const uint32_t v = rng() & ((1u << width) - 1);
        putBits(buf.data(), w, v, width);
        fields.emplace_back(v, width);
    }
    const uint32_t rawLength = w.byte + 1;
    BitReader r(buf.data(), rawLength, BitCursor{});
    for (auto [v, width] : fields) ASSERT_EQ(r.read(width), v);
    // Whatever is left of the last byte can be read, nothing beyond it.
    EXPECT_EQ(r.read(static_cast<int>(8 - w.bit)), 0u);
    EXPECT_TRUE(throwsDamaged([&] { r.read(1); }));

    BitReader shortReader(buf.data(), 1, BitCursor{});
    shortReader.read(6);
    EXPECT_TRUE(throwsDamaged([&] { shortReader.read(3); }));
    EXPECT_TRUE(throwsDamaged([&] { BitReader(buf.data(), 2, BitCursor{3, 0}); }));
}

TEST(ByteStreams, ReaderStopsAtRawLength) {
    const uint8_t data[20] = {1, 2, 3};
    ByteReader r(data, 3, 0);
    EXPECT_EQ(r.read(), 1);
    EXPECT_TRUE(throwsDamaged([&] { r.take(3); }));
    EXPECT_EQ(r.take(2)[1], 3);
    EXPECT_TRUE(throwsDamaged([&] { r.read(); }));
    ByteReader raw(data, 17, 2);
    EXPECT_TRUE(throwsDamaged([&] { raw.take(16); }));
}

TEST(BlockHeaders, FirstBitsOfVqAndRawBlocks) {
    // A one-stage VQ block at level 1: type 1, stage bit 0, level 1 -> 0b01001.
    uint8_t vq[4] = {};
    BitCursor c;
    putBits(vq, c, BlockVq, 2);
    putBits(vq, c, 0, 1);
    putBits(vq, c, 1, 2);
    EXPECT_EQ(vq[0] & 0x1F, 0x09);

    uint8_t raw[4] = {};
    BitCursor d;
    putBits(raw, d, BlockSpecial, 2);
    putBits(raw, d, SpecialRaw, 2);
    EXPECT_EQ(raw[0], 0x0F);
}

TEST(MatchBytes, OffsetsAndBytesAgree) {
    // 0x05: one row up, one column left; 0xFD: one row up, one column right.
    EXPECT_EQ(matchOffsetOf(0x05, 100), 101);
    EXPECT_EQ(matchOffsetOf(0xFD, 100), 99);
    EXPECT_EQ(matchByte(101, 100), 0x05);
    EXPECT_EQ(matchByte(99, 100), 0xFD);
    EXPECT_EQ(matchByte(98, 100), 249);  // two columns right of the block above
    EXPECT_EQ(matchOffsetOf(249, 100), 98);
    // dx = 0 with dy = 0 and negative dx in the current row are never valid.
    EXPECT_EQ(matchOffsetOf(0x00, 100), 0);
    EXPECT_LT(matchOffsetOf(0xFC, 100), 0);

    // Every offset the encoder's search can produce survives the byte, for
    // wide and narrow planes (one block wide: only whole rows up).
    for (int32_t B : {1, 2, 31, 32, 33, 63, 64, 100, 1000}) {
        for (int32_t dy = 0; dy <= 3; ++dy) {
            for (int32_t dx = -31; dx <= 31; ++dx) {
                if (dx < -(B - 1) || dx > B - 1) continue;
                const int32_t o = dy * B - dx;  // candidate dx columns to the right
                if (o < 1 || (dy == 0 && dx > 0)) continue;
                ASSERT_EQ(matchOffsetOf(matchByte(static_cast<uint32_t>(o), B), B), o)
                    << "B=" << B << " dy=" << dy << " dx=" << dx;
            }
        }
    }
}

TEST(RawSamples, RoundAndClamp) {
    EXPECT_EQ(rawSampleByte(4095), 255);
    EXPECT_EQ(rawSampleByte(4079), 255);
    EXPECT_EQ(rawSampleByte(4071), 254);
    EXPECT_EQ(rawSampleByte(7), 0);
    EXPECT_EQ(rawSampleByte(8), 1);
    EXPECT_EQ(rawSampleByte(-20), 0);
    EXPECT_EQ(rawSampleByte(-32768), 0);
    EXPECT_EQ(rawSampleByte(32767), 255);
    EXPECT_EQ(rawSampleByte(1000), 63);
    EXPECT_EQ(rawSampleValue(63), 1011);
    EXPECT_EQ(rawSampleValue(0), 0);
    EXPECT_EQ(rawSampleValue(255), 4095);
}

TEST(MeanCoding, SignsMagnitudesAndPrediction) {
    CodecState s = smallStrip(8);  // 2 x 2 blocks per plane, 12 blocks
    StripWork& w = s.strip;
    // Y: 0 first (sign 1, byte 128), 255 right of it, then 0 above-column
    // predicted from block 0, then a drop of 255 from the left.
    const uint8_t y[4] = {0, 255, 7, 0};
    std::memcpy(w.meansY, y, 4);
    std::memset(w.meansCb, 128, 4);
    std::memset(w.meansCr, 100, 4);
    encodeMeans(s, w);

    const SideStreams& st = w.streams;
    EXPECT_EQ(st.rawLength[StreamDcBytes], 12u);
    EXPECT_EQ(st.rawLength[StreamDcSignBits], 2u);
    const uint8_t* b = st.dcBytes.data();
    EXPECT_EQ(b[0], 128);  // 0 - 128
    EXPECT_EQ(b[1], 255);  // 255 - 0
    EXPECT_EQ(b[2], 7);    // 7 - 0 (above)
    EXPECT_EQ(b[3], 7);    // 0 - 7 (left)
    EXPECT_EQ(b[4], 0);    // Cb starts over at 128
    EXPECT_EQ(b[8], 28);   // Cr: 100 - 128
    const uint8_t signs0 = st.dcSignBits[0];
    EXPECT_EQ(signs0 & 1, 1);         // block 0 negative
    EXPECT_EQ((signs0 >> 1) & 1, 0);  // +255
    EXPECT_EQ((signs0 >> 3) & 1, 1);  // -7
    EXPECT_EQ(st.dcSignBits[1] & 1, 1);  // Cr's first block, bit 8
}

TEST(MeanCoding, SignByteAfterWholeBytesIsZeroWhateverCameBefore) {
    // 16 x 16 at 4:2:0: Y 4 x 4, chroma 2 x 2 each -> 24 sign bits, 3 whole bytes.
    CodecState s = smallStrip(16, 16, Sampling420);
    StripWork& w = s.strip;
    std::memset(w.streams.dcSignBits.data(), 0xA5, w.streams.dcSignBits.size());
    std::memset(w.yMeans.data(), 10, w.yMeans.size());
    std::memset(w.cbMeansQuarter.data(), 200, w.cbMeansQuarter.size());
    std::memset(w.crMeansQuarter.data(), 3, w.crMeansQuarter.size());
    encodeMeans(s, w);
    ASSERT_EQ(w.streams.dcSignBitCount, 24u);
    ASSERT_EQ(w.streams.rawLength[StreamDcSignBits], 4u);
    // Y 16 blocks: first -118 then zeros; Cb 4: +72 then zeros; Cr 4: -125 then zeros.
    EXPECT_EQ(w.streams.dcSignBits[0], 0x01);
    EXPECT_EQ(w.streams.dcSignBits[1], 0x00);
    EXPECT_EQ(w.streams.dcSignBits[2], 0x10);
    EXPECT_EQ(w.streams.dcSignBits[3], 0x00);
}

TEST(StripRegions, LastStripStartsAtItsRowOffsets) {
    // 4000 x 2100: last strip 696 of 704 rows -> luma offset 2, 4:2:0 chroma 1.
    CodecState s;
    setCodecParams(s, 400);
    s.colourSampling = Sampling420;
    s.sourceWidth = 4000;
    s.stripImageRows = 2100;
    setupExpandGeometry(s);
    beginStrip(s, 2);
    const auto r = stripRegions(s, s.strip);
    EXPECT_EQ(r[0].rowOffset, 2);
    EXPECT_EQ(r[0].blockRows, 174);
    EXPECT_EQ(r[1].rowOffset, 1);
    EXPECT_EQ(r[2].blocksPerRow, 500);
    EXPECT_EQ(r[2].blockRows, 87);

    s.lumaRowOffset = 3;  // region would run past the planes
    EXPECT_THROW(stripRegions(s, s.strip), Error);
}
