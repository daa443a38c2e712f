#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "codec/strip_decoder.h"
#include "encoder/strip_encoder.h"
#include "tests/codec/codec_test.h"
#include "tests/harness/strip_harness.h"

using namespace kirune;

namespace {

// One plane of W x H blocks coded on its own.
struct PlaneBench {
    QualityParams q;
    SideStreams st;
    int32_t W, H;
    std::vector<BlockVec> recon, corr;
    std::vector<uint8_t> means;

    PlaneBench(int32_t K, int32_t w, int32_t h)
        : q(codecParams(K)), W(w), H(h), recon(std::size_t(w) * h), corr(recon.size()), means(recon.size()) {
        allocSideStreams(st, recon.size());
    }

    PlaneRegion region(std::vector<BlockVec>& coded, std::vector<BlockVec>& resid) {
        return {coded.data(), resid.data(), means.data(), W, H, 0};
    }

    void set(std::size_t n, const BlockVec& samples) {
        recon[n] = samples;
        means[n] = blockMeanByte(samples, q.meanLevel);
        blockSubScalar(samples, static_cast<int16_t>(means[n] << q.meanShift()), corr[n]);
    }

    // Encodes, checks that the decoder rebuilds both planes from the streams,
    // and returns what each block's header announced.
    std::vector<BlockHeader> code() {
        encodePlane(q, st, region(recon, corr));
        const auto len = streamRawLengths(st);
        std::copy(len.begin(), len.end(), st.rawLength);
        st.headerPos = st.indexLowPos = st.indexHighPos = BitCursor{};
        st.gainBytesPos = st.matchBytesPos = st.blockCounter = 0;
        std::vector<BlockHeader> info(recon.size());
        BlockStreamReaders rd(st);
        for (auto& i : info) readBlockSideInfo(rd, W, i);
        std::vector<BlockVec> coded(recon.size()), resid(recon.size());
        decodePlane(q, st, region(coded, resid));
        const std::size_t bytes = recon.size() * sizeof(BlockVec);
        EXPECT_EQ(std::memcmp(coded.data(), recon.data(), bytes), 0);
        EXPECT_EQ(std::memcmp(resid.data(), corr.data(), bytes), 0);
        return info;
    }
};

BlockVec noiseBlock(std::mt19937& rng, int lo, int hi) {
    BlockVec b;
    for (int16_t& l : b.lane) l = static_cast<int16_t>(lo + int(rng() % uint32_t(hi - lo + 1)));
    return b;
}

// Only blocks that copy an earlier block read a match offset, which is then at least 1.
bool usesMatch(const BlockHeader& i) { return i.matchOffset > 0; }


}  // namespace

TEST(BlockEncoder, FlatLimitIsInclusive) {
    // Q = 21: T = 5376 = 73^2 + 6^2 + 3^2 + 1 + 1. The samples stand far from
    // the smooth block of the means, so only the flat test can take a block.
    PlaneBench p(21, 2, 1);
    const int16_t bumps[5] = {73, 6, 3, 1, 1};
    for (std::size_t n = 0; n < 2; ++n) {
        blockZero(p.corr[n]);
        std::copy(bumps, bumps + 5, p.corr[n].lane);
        blockFill(p.recon[n], 4000);
    }
    p.corr[1].lane[4] = 2;  // 5379
    const auto info = p.code();
    EXPECT_TRUE(info[0].type == BlockFlat);
    EXPECT_TRUE(info[1].type != BlockFlat);
}

TEST(BlockEncoder, AllFlatStripRawLengths) {
    // A grey 16 x 8 image at 4:4:4, 8 flat blocks per plane: 24 sign bits
    // -> 3 bytes + 1; 48 zero header bits end at byte 6; 24 mean bytes.
    harness::RgbImage img(16, 8);
    std::fill(img.rgb.begin(), img.rgb.end(), uint16_t{16000});
    TestStrip s = harness::stateFor(img, {});
    const harness::Streams st = harness::encodeImageStrip(s, img, 0);
    const std::size_t expected[kStreamCount] = {4, 24, 7, 1, 1, 0, 0};
    for (int i = 0; i < kStreamCount; ++i) EXPECT_EQ(st[i].size(), expected[i]) << i;
    EXPECT_EQ(std::count(st[StreamHeaderBits].begin(), st[StreamHeaderBits].end(), 0), 7);
}

TEST(BlockEncoder, OneBlockWidePlaneSearchesThreeRowsUp) {
    // Odd rows may match; row 5 repeats the block 1 or 3 rows up, row 7 the
    // block 6 or 4 rows up (outside the window); rows 1 and 3 are new.
    std::mt19937 rng(5);
    BlockVec distinct[4];
    for (auto& b : distinct) b = noiseBlock(rng, 200, 3800);
    const struct { int order[8]; int offset5; } cases[] = {{{0, 1, 2, 3, 0, 0, 2, 1}, 1}, {{0, 1, 2, 3, 1, 2, 0, 3}, 3}};
    for (const auto& c : cases) {
        PlaneBench p(12, 1, 8);
        for (int i = 0; i < 8; ++i) p.set(std::size_t(i), distinct[c.order[i]]);
        const auto info = p.code();
        EXPECT_EQ(info[5].matchOffset, c.offset5);
        EXPECT_FALSE(usesMatch(info[1]));
        EXPECT_FALSE(usesMatch(info[3]));
        EXPECT_FALSE(usesMatch(info[7]));
    }
}

// Only odd checkerboard squares look for a match, up to 31 columns either
// side. Row 1 of 64 distinct blocks repeats row 0's column 31 at column 0
// (31 to the right), column 1 at 32 (31 to the left), column 2 at 34 (32 to
// the left) and column 33 at 33 (an even square).
TEST(BlockEncoder, MatchesOnOddSquaresUpToThirtyOneColumnsAside) {
    std::mt19937 rng(7);
    PlaneBench p(12, 64, 2);
    for (std::size_t c = 0; c < 128; ++c) p.set(c, noiseBlock(rng, 200, 3800));
    for (auto [from, to] : {std::pair{31, 64}, {1, 96}, {2, 98}, {33, 97}}) p.set(std::size_t(to), p.recon[std::size_t(from)]);
    const auto info = p.code();
    EXPECT_TRUE(info[64].matchOffset == 33);
    EXPECT_TRUE(info[96].matchOffset == 95);
    EXPECT_TRUE(!usesMatch(info[98]));
    EXPECT_TRUE(!usesMatch(info[97]));
}

// Rows searched: up to 3, fewer as rows widen, none at 8192 blocks and
// beyond (the current row only), nothing at all beyond 16383. Both rows
// hold 64 distinct blocks, then one texture throughout: row 1's first 64
// can only copy the block above, row 0's texture the block to its left.
TEST(BlockEncoder, WidePlanesLimitTheRowsSearched) {
    std::mt19937 rng(11);
    const BlockVec texture = noiseBlock(rng, 1000, 3000);
    for (auto [W, above, left] : {std::tuple{8191, 32, 32}, {8192, 0, 32}, {16383, 0, 32}, {16384, 0, 0}}) {
        PlaneBench p(12, W, 2);
        for (int32_t c = 0; c < W; ++c) {
            const BlockVec b = c < 64 ? noiseBlock(rng, 200, 3800) : texture;
            p.set(std::size_t(c), b);
            p.set(std::size_t(W + c), b);
        }
        const auto info = p.code();
        EXPECT_EQ(std::count_if(info.begin() + W, info.begin() + W + 64, usesMatch), above) << W;
        EXPECT_EQ(std::count_if(info.begin() + 64, info.begin() + 128, usesMatch), left) << W;
    }
}

TEST(MeanCoding, SignsMagnitudesAndPrediction) {
    TestStrip s = stripState(8, 8);  // 2 x 2 blocks per plane
    const auto r = s.regions();
    // Y: 0 after the start value 128, 255 left of it, 7 under block 0, 0 after 7.
    const uint8_t y[4] = {0, 255, 7, 0};
    std::memcpy(r[0].means, y, 4);
    std::memset(r[1].means, 128, 4);
    std::memset(r[2].means, 100, 4);
    encodeMeans(s.geometry, s.work);
    const SideStreams& st = s.work.streams;
    EXPECT_EQ(st.rawLength[StreamDcBytes], 12u);
    EXPECT_EQ(st.rawLength[StreamDcSignBits], 2u);
    const uint8_t bytes[12] = {128, 255, 7, 7, 0, 0, 0, 0, 28, 0, 0, 0};  // Cb and Cr start over at 128
    EXPECT_EQ(std::memcmp(st.dcBytes.data(), bytes, 12), 0);
    EXPECT_EQ(st.dcSignBits[0], 0x09);  // blocks 0 and 3 negative
    EXPECT_EQ(st.dcSignBits[1] & 1, 1);  // Cr's first block
    for (const PlaneRegion& p : r) std::memset(p.means, 0x55, 4);
    decodeMeans(s.geometry, s.work);
    EXPECT_EQ(std::memcmp(r[0].means, y, 4), 0);
    EXPECT_EQ(r[2].means[3], 100);
}

TEST(MeanCoding, ByteAfterTheLastSignBitIsCleared) {
    // 16 x 16 at 4:2:0: 16 + 4 + 4 sign bits fill 3 bytes; the byte after
    // them is counted in the raw length and must be 0 whatever was there.
    TestStrip t = stripState(16, 16, Sampling420);
    SideStreams& st = t.work.streams;
    std::memset(st.dcSignBits.data(), 0xA5, st.dcSignBits.size());
    const auto r = t.regions();
    std::memset(r[0].means, 10, r[0].blocks());
    std::memset(r[1].means, 200, r[1].blocks());
    std::memset(r[2].means, 3, r[2].blocks());
    encodeMeans(t.geometry, t.work);
    ASSERT_EQ(st.rawLength[StreamDcSignBits], 4u);
    const uint8_t signs[4] = {0x01, 0x00, 0x10, 0x00};  // -118, +72, -125, then zeros
    EXPECT_EQ(std::memcmp(st.dcSignBits.data(), signs, 4), 0);
}
