#include <gtest/gtest.h>

#include <cstdint>

#include "codec/val.h"
#include "kirune/Error.h"

using namespace kirune;

namespace {

CodecState layout(int32_t w, int32_t h, int sampling = Sampling444) {
    CodecState s;
    s.sourceWidth = w;
    s.stripImageRows = h;
    s.colourSampling = sampling;
    computeStripLayout(s);
    return s;
}

bool aligned32(const void* p) { return reinterpret_cast<uintptr_t>(p) % 32 == 0; }

}  // namespace

TEST(CodecParams, MeanLevelBoundaries) {
    CodecState s;
    const struct { int32_t k; int level; } cases[] = {
        {1, 0}, {1000, 0}, {1001, 1}, {4000, 1}, {4001, 2}, {40000, 2}, {40001, 3}};
    for (auto c : cases) {
        setCodecParams(s, c.k);
        EXPECT_EQ(s.meanLevel, c.level) << "K=" << c.k;
        EXPECT_EQ(s.qualityLevel, c.k);
    }
}

TEST(CodecParams, DistortionLimitHalvedOnlyBetween2000And40000) {
    CodecState s;
    setCodecParams(s, 1999);
    EXPECT_EQ(s.distortionLimit, 1999 * 256);
    setCodecParams(s, 2000);
    EXPECT_EQ(s.distortionLimit, 2000 * 128);
    setCodecParams(s, 40000);
    EXPECT_EQ(s.distortionLimit, 40000 * 128);
    setCodecParams(s, 40001);
    EXPECT_EQ(s.distortionLimit, 40001 * 256);
    setCodecParams(s, kMaxQualityLevel);
    EXPECT_EQ(s.distortionLimit, kMaxQualityLevel * 256);
}

TEST(CodecParams, ResidualShiftAndDialogRange) {
    CodecState s;
    setCodecParams(s, 6399);
    EXPECT_EQ(s.residualShift, 1);
    setCodecParams(s, 6400);
    EXPECT_EQ(s.residualShift, 2);
    for (int32_t k = 1; k <= 400; ++k) {
        setCodecParams(s, k);
        ASSERT_EQ(s.meanLevel, 0);
        ASSERT_EQ(s.residualShift, 1);
        ASSERT_EQ(s.distortionLimit, 256 * k);
    }
}

TEST(CodecParams, RejectsLevelsThatWouldOverflow) {
    CodecState s;
    EXPECT_THROW(setCodecParams(s, 0), Error);
    EXPECT_THROW(setCodecParams(s, -5), Error);
    EXPECT_THROW(setCodecParams(s, kMaxQualityLevel + 1), Error);
}

TEST(StripLayout, ExampleGeometries) {
    CodecState a = layout(4000, 3000);
    EXPECT_EQ(a.paddedWidth, 4000);
    EXPECT_EQ(a.stripCount, 3);
    EXPECT_EQ(a.stripHeight, 1000);
    EXPECT_EQ(a.lastStripRows, 1000);
    EXPECT_EQ(a.lastStripPaddedRows, 1000);
    EXPECT_EQ(a.bmpRowStride, 12000);
    EXPECT_EQ(a.bmpFileSize, 12000LL * 3000 + 54);

    CodecState b = layout(3000, 2000);
    // maxRows = (4194304 / 3000) & ~7 = 1392: two strips of 1000.
    EXPECT_EQ(b.stripCount, 2);
    EXPECT_EQ(b.stripHeight, 1000);
    EXPECT_EQ(b.lastStripRows, 1000);
    EXPECT_EQ(b.lumaBlocksPerRow, 750);
    EXPECT_EQ(b.chroma420BlocksPerRow, 375);
    EXPECT_EQ(b.lumaBlockRows, 250);
    EXPECT_EQ(b.chroma420BlockRows, 125);

    CodecState c = layout(8, 1);
    EXPECT_EQ(c.stripCount, 1);
    EXPECT_EQ(c.stripHeight, 8);
    EXPECT_EQ(c.lastStripRows, 1);
    EXPECT_EQ(c.lastStripPaddedRows, 8);
    EXPECT_EQ(c.bmpRowStride, 24);
    beginStrip(c, 0);
    EXPECT_EQ(c.lumaRowOffset, 0);
    EXPECT_EQ(c.stripImageRows, 1);
}

TEST(StripLayout, LastStripRowOffsets) {
    CodecState s = layout(4000, 2100, Sampling420);
    EXPECT_EQ(s.stripCount, 3);
    EXPECT_EQ(s.stripHeight, 704);
    EXPECT_EQ(s.lastStripPaddedRows, 696);
    EXPECT_EQ(s.lastStripRows, 692);
    allocCodecBuffers(s, s.paddedWidth, s.stripHeight);

    beginStrip(s, 1);
    EXPECT_EQ(s.lumaRowOffset, 0);
    EXPECT_EQ(s.chromaRowOffset, 0);
    EXPECT_EQ(s.lumaBlockRows, 176);

    beginStrip(s, 2);
    EXPECT_EQ(s.stripImageRows, 692);
    EXPECT_EQ(s.stripPaddedRows, 696);
    EXPECT_EQ(s.lumaRowOffset, 2);
    EXPECT_EQ(s.chroma420RowOffset, 1);
    EXPECT_EQ(s.chromaRowOffset, 1);
    EXPECT_EQ(s.lumaBlockRows, 174);
    EXPECT_EQ(s.chroma420BlockRows, 87);
    EXPECT_EQ(s.strip.yBlockRows, 174);
    EXPECT_EQ(s.strip.cBlockRows, 87);

    s.colourSampling = Sampling422;
    beginStrip(s, 2);
    EXPECT_EQ(s.chromaRowOffset, 2);
    EXPECT_THROW(beginStrip(s, 3), Error);
}

TEST(StripLayout, RejectsUnlayableGeometry) {
    EXPECT_THROW(layout(0, 10), Error);
    EXPECT_THROW(layout(10, 0), Error);
    EXPECT_THROW(layout(-8, 10), Error);
    // Padded width above 524288 leaves no room for 8 rows in a strip.
    EXPECT_NO_THROW(layout(524288, 8));
    EXPECT_THROW(layout(524289, 8), Error);
    EXPECT_THROW(layout(INT32_MAX, 8), Error);
    EXPECT_THROW(layout(8, INT32_MAX), Error);
    // Huge but representable: one-pixel-wide image 2^31 - 8 rows high.
    CodecState tall = layout(1, INT32_MAX - 7);
    EXPECT_GT(tall.stripCount, 0);
    EXPECT_GE(tall.lastStripRows, 1);
    EXPECT_GT(tall.bmpFileSize, int64_t{INT32_MAX});

    CodecState s;
    s.sourceWidth = 100;
    s.stripImageRows = 100;
    s.stripBudgetLog2 = 40;
    EXPECT_THROW(computeStripLayout(s), Error);
    s.stripBudgetLog2 = 2;
    EXPECT_THROW(computeStripLayout(s), Error);
}

TEST(StripLayout, EveryStripFitsTheBudgetAndCoversTheImage) {
    for (int32_t w : {1, 7, 8, 9, 1000, 4093, 5120, 65536, 524288}) {
        for (int32_t h : {1, 8, 9, 799, 3200, 10001}) {
            CodecState s = layout(w, h);
            ASSERT_LE(int64_t{s.paddedWidth} * s.stripHeight, int64_t{1} << 22) << w << "x" << h;
            ASSERT_EQ(s.stripHeight % 8, 0);
            ASSERT_GE(s.lastStripRows, 1);
            ASSERT_LE(s.lastStripRows, s.stripHeight);
            ASSERT_EQ(int64_t{s.stripHeight} * (s.stripCount - 1) + s.lastStripRows, h);
        }
    }
}

TEST(CodecBuffers, CodedPlaneSlotsFollowSampling) {
    for (int sampling : {Sampling420, Sampling422, Sampling444}) {
        CodecState s = layout(64, 32, sampling);
        allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
        const StripWork& w = s.strip;
        EXPECT_EQ(w.codedY, w.yPlane.data());
        EXPECT_EQ(w.residY, w.yResidual.data());
        EXPECT_EQ(w.meansY, w.yMeans.data());
        EXPECT_EQ(w.yBlocksPerRow, 16);
        EXPECT_EQ(w.yBlockRows, 8);
        EXPECT_EQ(w.yPlane.size(), 128u);
        if (sampling == Sampling420) {
            EXPECT_EQ(w.codedCb, w.cbPlaneQuarter.data());
            EXPECT_EQ(w.residCr, w.crResidualQuarter.data());
            EXPECT_EQ(w.meansCb, w.cbMeansQuarter.data());
            EXPECT_EQ(w.cBlocksPerRow, 8);
            EXPECT_EQ(w.cBlockRows, 4);
            EXPECT_EQ(w.cbPlaneQuarter.size(), 32u);
            EXPECT_EQ(w.cbPlaneHalf.size(), 64u);  // the encoder subsamples through the half planes
        } else if (sampling == Sampling422) {
            EXPECT_EQ(w.codedCr, w.crPlaneHalf.data());
            EXPECT_EQ(w.residCb, w.cbResidualHalf.data());
            EXPECT_EQ(w.meansCr, w.crMeansHalf.data());
            EXPECT_EQ(w.cBlocksPerRow, 8);
            EXPECT_EQ(w.cBlockRows, 8);
            EXPECT_TRUE(w.cbPlaneQuarter.empty());
        } else {
            EXPECT_EQ(w.codedCb, w.cbPlane.data());
            EXPECT_EQ(w.meansCr, w.crMeans.data());
            EXPECT_EQ(w.cBlocksPerRow, 16);
            EXPECT_EQ(w.cBlockRows, 8);
            EXPECT_TRUE(w.cbPlaneHalf.empty());
        }
        for (const void* p : {static_cast<const void*>(w.codedY), static_cast<const void*>(w.codedCb),
                              static_cast<const void*>(w.residCr), static_cast<const void*>(w.meansCb),
                              static_cast<const void*>(w.streams.matchBytes.data())})
            EXPECT_TRUE(aligned32(p));
    }
}

TEST(CodecBuffers, BadSamplingIsAnError) {
    CodecState s = layout(64, 32);
    s.colourSampling = 3;
    EXPECT_THROW(allocCodecBuffers(s, s.paddedWidth, s.stripHeight), Error);
    s.colourSampling = Sampling444;
    allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
    s.colourSampling = 0;
    EXPECT_THROW(selectCodedPlanes(s), Error);
    EXPECT_THROW(allocCodecBuffers(s, 0, 8), Error);
    EXPECT_THROW(allocCodecBuffers(s, 12, 8), Error);
}

TEST(CodecBuffers, StreamSizesCoverTheWorstCaseAndResetClears) {
    CodecState s = layout(4000, 2100, Sampling420);
    allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
    const std::size_t n = std::size_t{4000} * 3 * 704 / 16;
    EXPECT_EQ(streamBlockCount(s, s.stripHeight), n);
    SideStreams& st = s.strip.streams;
    EXPECT_EQ(st.blockCapacity, n);
    EXPECT_GE(st.dcSignBits.size(), ((n + 7) >> 3) + 1);
    EXPECT_GE(st.dcBytes.size(), n + 1);
    EXPECT_GE(st.headerBits.size(), 2 * n + 1);
    EXPECT_GE(st.indexBitsLow.size(), 10 * n + 1);
    EXPECT_GE(st.indexBitsHigh.size(), 10 * n + 1);
    EXPECT_GE(st.gainBytes.size(), 2 * n);
    EXPECT_GE(st.matchBytes.size(), 16 * n);
    for (std::size_t i = 0; i < st.indexBitsHigh.size(); i += 4099) ASSERT_EQ(st.indexBitsHigh[i], 0);
    EXPECT_EQ(st.headerBits[2 * n], 0);

    st.headerBits[5] = 0xAB;
    st.indexBitsLow[10 * n - 1] = 1;
    st.indexBitsHigh[0] = 7;
    st.headerPos = {9, 3};
    st.dcSignBitCount = 17;
    st.matchBytesPos = 4;
    st.blockCounter = 12;
    beginStrip(s, 2);  // the shorter last strip: clearing must still reach every written byte
    resetStreams(s);
    EXPECT_EQ(st.headerBits[5], 0);
    EXPECT_EQ(st.indexBitsLow[10 * n - 1], 0);
    EXPECT_EQ(st.indexBitsHigh[0], 0);
    EXPECT_EQ(st.headerPos.byte, 0u);
    EXPECT_EQ(st.headerPos.bit, 0u);
    EXPECT_EQ(st.dcSignBitCount, 0u);
    EXPECT_EQ(st.matchBytesPos, 0u);
    EXPECT_EQ(st.blockCounter, 0u);

    freeCodecBuffers(s);
    EXPECT_TRUE(s.strip.yPlane.empty());
    EXPECT_TRUE(s.strip.streams.matchBytes.empty());
    EXPECT_EQ(s.strip.codedY, nullptr);
}

TEST(CodecBuffers, ExpandGeometryAllocatesForTheStrip) {
    CodecState s;
    s.sourceWidth = 1001;
    s.stripImageRows = 17;
    s.colourSampling = Sampling422;
    setupExpandGeometry(s);
    EXPECT_EQ(s.paddedWidth, 1008);
    EXPECT_EQ(s.stripHeight, 24);
    EXPECT_EQ(s.strip.yPlane.size(), std::size_t{1008} * 24 / 16);
    EXPECT_EQ(s.strip.cbPlaneHalf.size(), std::size_t{1008} * 24 / 32);
    EXPECT_EQ(s.strip.cBlocksPerRow, 126);
}
