#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "codec/dec.h"
#include "codec/dictionary.h"
#include "codec/payload.h"
#include "codec/val.h"
#include "encoder/enc.h"
#include "encoder/prepare.h"

using namespace kirune;

namespace {

// One plane of W x H blocks coded on its own, with streams sized for it.
struct PlaneBench {
    CodecState s;
    SideStreams st;
    int32_t W, H;
    std::vector<BlockVec> recon, corr, input;
    std::vector<uint8_t> means;

    PlaneBench(int32_t K, int32_t width, int32_t height)
        : W(width), H(height), recon(std::size_t(width) * height), corr(recon.size()),
          input(recon.size()), means(recon.size()) {
        setCodecParams(s, K);
        const std::size_t n = recon.size();
        st.dcSignBits.reset((n >> 3) + 16);
        st.dcBytes.reset(n + 16);
        st.headerBits.reset(2 * n + 16, true);
        st.indexBitsLow.reset(10 * n + 16, true);
        st.indexBitsHigh.reset(10 * n + 16, true);
        st.gainBytes.reset(2 * n + 16);
        st.matchBytes.reset(16 * n + 16);
        st.blockCapacity = n;
    }

    void set(std::size_t n, const BlockVec& samples) {
        input[n] = recon[n] = samples;
        means[n] = blockMeanByte(samples, s.meanLevel);
        blockSubScalar(samples, static_cast<int16_t>(means[n] << (s.meanLevel + 4)), corr[n]);
    }

    void encode() {
        encodePlane(s, st, recon.data(), corr.data(), means.data(), W, H, 0);
        handOver();
    }

    // Records the raw lengths and the writer's final cursors, and rewinds the
    // cursors for reading, as the strip reader leaves them.
    void handOver() {
        const auto len = streamRawLengths(st);
        for (int i = 0; i < kStreamCount; ++i) st.rawLength[i] = len[std::size_t(i)];
        written = SideStreams{};
        written.headerPos = st.headerPos;
        written.gainBytesPos = st.gainBytesPos;
        written.matchBytesPos = st.matchBytesPos;
        st.headerPos = st.indexLowPos = st.indexHighPos = BitCursor{};
        st.gainBytesPos = st.matchBytesPos = st.blockCounter = 0;
    }

    SideStreams written;  // cursors only

    std::vector<BlockSideInfo> parse() const {
        BlockStreamReaders rd(st);
        std::vector<BlockSideInfo> out(recon.size());
        for (auto& info : out) readBlockSideInfo(rd, W, info);
        return out;
    }

    // The decoder's planes from the same streams.
    void decode(std::vector<BlockVec>& coded, std::vector<BlockVec>& resid) {
        coded.assign(recon.size(), BlockVec{});
        resid.assign(recon.size(), BlockVec{});
        SideStreams copy;
        for (int i = 0; i < kStreamCount; ++i) {
            const StreamBuffer& b = streamBuffer(st, i);
            StreamBuffer& c = streamBuffer(copy, i);
            c.reset(b.size());
            std::memcpy(c.data(), b.data(), b.size());
            copy.rawLength[i] = st.rawLength[i];
        }
        decodePlane(s, copy, coded.data(), resid.data(), means.data(), W, H, 0);
    }
};

BlockVec noiseBlock(std::mt19937& rng, int lo, int hi) {
    std::uniform_int_distribution<int> d(lo, hi);
    BlockVec b;
    for (int16_t& l : b.lane) l = static_cast<int16_t>(d(rng));
    return b;
}

BlockVec flatBlock(int16_t v) {
    BlockVec b;
    blockFill(b, v);
    return b;
}

bool usesMatch(const BlockSideInfo& i) {
    return (i.type == BlockPredicted && i.smoothFlag == 0) ||
           (i.type == BlockSpecial && (i.subtype == SpecialMatch || i.subtype == SpecialMatchPattern));
}

bool sameBlock(const BlockVec& a, const BlockVec& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST(BlockEncoder, VqStartLevelFollowsEnergyPerQualityStep) {
    EXPECT_EQ(vqStartLevel(213758, 21), 0);  // 10178.9
    EXPECT_EQ(vqStartLevel(213759, 21), 1);  // 10179
    EXPECT_EQ(vqStartLevel(59723LL * 12 - 1, 12), 1);
    EXPECT_EQ(vqStartLevel(59723LL * 12, 12), 2);
    EXPECT_EQ(vqStartLevel(152823LL * 6, 6), 3);
    EXPECT_EQ(vqStartLevel(int64_t{1} << 40, 1), 3);
}

TEST(BlockEncoder, FlatLimitIsInclusive) {
    // Q = 21: T = 5376 = 73^2 + 6^2 + 3^2 + 1 + 1. The cascade reads corr,
    // recon and means; the samples are set far from the smooth block of the
    // means so that only the flat test can take the block.
    PlaneBench p(21, 2, 1);
    const int16_t bumps[5] = {73, 6, 3, 1, 1};
    for (std::size_t n = 0; n < 2; ++n) {
        blockZero(p.corr[n]);
        for (int i = 0; i < 5; ++i) p.corr[n].lane[i] = bumps[i];
        blockFill(p.recon[n], 4000);
        p.means[n] = 0;
    }
    p.corr[1].lane[4] = 2;
    ASSERT_EQ(blockEnergy(p.corr[0]), 5376);
    ASSERT_EQ(blockEnergy(p.corr[1]), 5379);
    p.encode();
    const auto info = p.parse();
    EXPECT_EQ(info[0].type, BlockFlat);
    EXPECT_NE(info[1].type, BlockFlat);
    for (int16_t l : p.corr[0].lane) EXPECT_EQ(l, 0);
}

TEST(BlockEncoder, AllFlatStripRawLengths) {
    // A grey 16 x 8 image at 4:4:4: 8 blocks in each of three planes.
    CodecState s;
    setCodecParams(s, 12);
    s.colourSampling = Sampling444;
    s.sourceWidth = 16;
    s.stripImageRows = 8;
    setupExpandGeometry(s);
    beginStrip(s, 0);
    for (BlockPlane* p : {&s.strip.rPlane, &s.strip.gPlane, &s.strip.bPlane})
        for (BlockVec& b : *p) blockFill(b, 1000);
    encodeStrip(s, s.strip, RgbInput::Native12);
    const uint32_t* len = s.strip.streams.rawLength;
    EXPECT_EQ(len[StreamDcSignBits], 4u);  // 24 bits -> 3 bytes + 1
    EXPECT_EQ(len[StreamDcBytes], 24u);
    EXPECT_EQ(len[StreamHeaderBits], 7u);  // 48 bits -> byte position 6
    EXPECT_EQ(len[StreamIndexBitsLow], 1u);
    EXPECT_EQ(len[StreamIndexBitsHigh], 1u);
    EXPECT_EQ(len[StreamGainBytes], 0u);
    EXPECT_EQ(len[StreamMatchBytes], 0u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(s.strip.streams.headerBits[i], 0) << i;
    EXPECT_EQ(s.strip.streams.blockCounter, 24u);
}

TEST(BlockEncoder, MatchesOnlyOnOddCheckerboardSquares) {
    // Identical textured blocks: every odd square can copy its left neighbour.
    std::mt19937 rng(3);
    const BlockVec texture = noiseBlock(rng, 1000, 3000);
    PlaneBench p(12, 6, 4);
    for (std::size_t n = 0; n < p.recon.size(); ++n) p.set(n, texture);
    p.encode();
    const auto info = p.parse();
    for (int32_t r = 0; r < p.H; ++r)
        for (int32_t c = 0; c < p.W; ++c) {
            const auto& i = info[std::size_t(r * p.W + c)];
            if ((r + c) % 2 == 0)
                EXPECT_FALSE(usesMatch(i)) << r << "," << c;
            else
                EXPECT_TRUE(usesMatch(i)) << r << "," << c;
        }
}

TEST(BlockEncoder, OneBlockWidePlaneSearchesThreeRowsUp) {
    // Column of distinct noise blocks; odd rows repeat an earlier block.
    std::mt19937 rng(5);
    BlockVec distinct[4];
    for (auto& b : distinct) b = noiseBlock(rng, 200, 3800);
    PlaneBench p(12, 1, 8);
    const int order[8] = {0, 1, 2, 3, 0, 0, 2, 1};
    for (int i = 0; i < 8; ++i) p.set(std::size_t(i), distinct[order[i]]);
    p.encode();
    const auto info = p.parse();
    // Row 5 copies row 4 (one up); row 7 repeats row 1, six rows up.
    EXPECT_TRUE(usesMatch(info[5]));
    EXPECT_EQ(info[5].matchOffset, 1);
    EXPECT_FALSE(usesMatch(info[7]));
    // Row 3 is new; row 1 has nothing like it above.
    EXPECT_FALSE(usesMatch(info[1]));
    EXPECT_FALSE(usesMatch(info[3]));

    // Three rows up is still inside the window.
    PlaneBench q(12, 1, 8);
    const int order2[8] = {0, 1, 2, 3, 1, 2, 0, 3};
    for (int i = 0; i < 8; ++i) q.set(std::size_t(i), distinct[order2[i]]);
    q.encode();
    const auto info2 = q.parse();
    EXPECT_TRUE(usesMatch(info2[5]));
    EXPECT_EQ(info2[5].matchOffset, 3);
    EXPECT_FALSE(usesMatch(info2[7]));  // its twin is four rows up, outside
}

TEST(BlockEncoder, WidePlanesLimitTheRowsSearched) {
    // Row 1 repeats row 0 block for block; the blocks of a row all differ.
    std::mt19937 rng(11);
    const auto run = [&](int32_t W) {
        PlaneBench p(12, W, 2);
        for (int32_t c = 0; c < W; ++c) {
            const BlockVec b = c < 64 ? noiseBlock(rng, 200, 3800) : flatBlock(100);
            p.set(std::size_t(c), b);
            p.set(std::size_t(W + c), b);
        }
        p.encode();
        const auto info = p.parse();
        int matches = 0;
        for (int32_t c = 0; c < 64; ++c)
            if ((1 + c) % 2 == 1 && usesMatch(info[std::size_t(W + c)])) ++matches;
        return matches;
    };
    EXPECT_EQ(run(8191), 32);  // rows up 1: each odd square finds the block above
    EXPECT_EQ(run(8192), 0);   // rows up 0: only the current row, where nothing repeats
}

TEST(BlockEncoder, NoCandidatesBeyond16383BlocksPerRow) {
    std::mt19937 rng(13);
    const BlockVec texture = noiseBlock(rng, 1000, 3000);
    const auto run = [&](int32_t W) {
        PlaneBench p(12, W, 1);
        for (std::size_t n = 0; n < p.recon.size(); ++n) p.set(n, texture);
        p.encode();
        int matches = 0;
        for (const auto& i : p.parse()) matches += usesMatch(i) ? 1 : 0;
        return matches;
    };
    EXPECT_EQ(run(16383), 16383 / 2);  // the current row is still searched
    EXPECT_EQ(run(16384), 0);
}

TEST(BlockEncoder, RawBlocksRoundAndClampTheirSamples) {
    // Q = 1 and wild noise: neither pattern nor two VQ stages get under the limits.
    std::mt19937 rng(17);
    PlaneBench p(1, 2, 1);
    BlockVec wild = noiseBlock(rng, -20, 4095);
    wild.lane[0] = 4095;
    wild.lane[1] = -20;
    wild.lane[2] = 1000;
    wild.lane[3] = 0;
    wild.lane[4] = 4000;
    p.set(0, wild);
    p.set(1, flatBlock(2000));
    p.encode();
    const auto info = p.parse();
    ASSERT_EQ(info[0].type, BlockSpecial);
    ASSERT_EQ(info[0].subtype, SpecialRaw);
    EXPECT_EQ(info[0].rawBytes[0], 255);
    EXPECT_EQ(info[0].rawBytes[1], 0);
    EXPECT_EQ(info[0].rawBytes[2], 63);
    EXPECT_EQ(p.recon[0].lane[0], 4095);
    EXPECT_EQ(p.recon[0].lane[1], 0);
    EXPECT_EQ(p.recon[0].lane[2], 1011);
    const int16_t d0 = static_cast<int16_t>(p.means[0] << 4);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(p.corr[0].lane[i], p.recon[0].lane[i] - d0);

    std::vector<BlockVec> coded, resid;
    p.decode(coded, resid);
    EXPECT_TRUE(sameBlock(coded[0], p.recon[0]));
    EXPECT_TRUE(sameBlock(resid[0], p.corr[0]));
}

TEST(SymbolWriter, EveryFieldReadsBackAsWritten) {
    std::mt19937 rng(23);
    PlaneBench p(12, 40, 10);  // streams sized for the 400 blocks below
    std::vector<BlockDecision> written;
    const BlockVec samples = noiseBlock(rng, -100, 4200);
    for (int k = 0; k < 400; ++k) {
        BlockDecision d;
        d.blockType = static_cast<uint8_t>(rng() % 4);
        d.specialType = static_cast<uint8_t>(rng() % 4);
        d.smoothFlag = static_cast<uint8_t>(rng() % 2);
        d.stageCount = 1 + static_cast<int>(rng() % 2);
        d.vqLevel = static_cast<int>(rng() % 4);
        // Offsets the search can produce: up to 3 rows up, 31 columns aside.
        int32_t offset = 0;
        while (offset < 1) offset = int32_t(rng() % 4) * 100 + int32_t(rng() % 63) - 31;
        d.matchOffset = static_cast<uint16_t>(offset);
        d.patternSign = static_cast<uint8_t>(rng() % 2);
        for (int st = 0; st < 2; ++st) {
            for (int j = 0; j < 4; ++j)
                d.vqIndex[d.vqLevel][st][j] = rng() % (1u << shapeIndexBits[d.vqLevel]);
            d.vqIndex[d.vqLevel][st][kGainSlot] = rng() % (1u << gainIndexBits[d.vqLevel]);
            d.gainLevelIndex[d.vqLevel][st] = rng() % 128;
        }
        d.vqIndex[0][0][0] = rng() % 8;
        d.gainLevelIndex[0][0] = rng() % 128;
        emitBlock(p.st, d, samples, 100);
        written.push_back(d);
    }
    p.handOver();
    BlockStreamReaders rd(p.st);
    for (const BlockDecision& d : written) {
        BlockSideInfo i;
        readBlockSideInfo(rd, 100, i);
        ASSERT_EQ(i.type, d.blockType);
        const int L = d.vqLevel;
        const bool vq = d.blockType == BlockVq || (d.blockType == BlockPredicted && d.smoothFlag == 0);
        if (d.blockType == BlockPredicted) {
            ASSERT_EQ(i.smoothFlag, d.smoothFlag);
        }
        if (vq) {
            ASSERT_EQ(i.stageCount, d.stageCount);
            ASSERT_EQ(i.vqLevel, L);
            for (int st = 0; st < d.stageCount; ++st) {
                for (int j = 0; j < 4; ++j) ASSERT_EQ(i.shapeIndex[st][j], d.vqIndex[L][st][j]);
                ASSERT_EQ(i.gainIndex[st], d.vqIndex[L][st][kGainSlot]);
                ASSERT_EQ(i.gainByte[st], d.gainLevelIndex[L][st]);
            }
        }
        if (d.blockType == BlockSpecial) {
            ASSERT_EQ(i.subtype, d.specialType);
            if (d.specialType == SpecialPattern || d.specialType == SpecialMatchPattern) {
                ASSERT_EQ(i.pattern, d.vqIndex[0][0][0]);
                ASSERT_EQ(i.patternSign, d.patternSign);
                ASSERT_EQ(i.gainByte[0], d.gainLevelIndex[0][0]);
            }
            if (d.specialType == SpecialRaw) {
                for (int e = 0; e < 16; ++e) ASSERT_EQ(i.rawBytes[e], rawSampleByte(samples.lane[e]));
            }
        }
        if (usesMatch(i)) {
            ASSERT_EQ(i.matchOffset, d.matchOffset);
        }
    }
    EXPECT_EQ(rd.blockCounter, 400u);
    // Every stream was consumed up to its last field.
    EXPECT_EQ(rd.gain.position(), p.written.gainBytesPos);
    EXPECT_EQ(rd.match.position(), p.written.matchBytesPos);
    EXPECT_EQ(rd.header.cursor().byte, p.written.headerPos.byte);
    EXPECT_EQ(rd.header.cursor().bit, p.written.headerPos.bit);
}
