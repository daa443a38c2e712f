#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <utility>

#include "codec/payload.h"
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

}  // namespace

TEST(CodecParams, BoundariesOfMeanLevelLimitAndShift) {
    // The limit is halved from 2000 to 40000 only; the dialog's 1..400 use 256 K.
    const struct { int32_t K; int meanLevel, limitPerK, shift; } cases[] = {
        {1, 0, 256, 1},    {400, 0, 256, 1},  {1000, 0, 256, 1},  {1001, 1, 256, 1},   {1999, 1, 256, 1},
        {2000, 1, 128, 1}, {4000, 1, 128, 1}, {4001, 2, 128, 1},  {6399, 2, 128, 1},   {6400, 2, 128, 2},
        {40000, 2, 128, 2}, {40001, 3, 256, 2}, {kMaxQualityLevel, 3, 256, 2}};
    CodecState s;
    for (auto c : cases) {
        setCodecParams(s, c.K);
        EXPECT_EQ((std::array{s.qualityLevel, s.meanLevel, s.distortionLimit, s.residualShift}),
                  (std::array{c.K, c.meanLevel, c.limitPerK * c.K, c.shift}));
    }
    for (int32_t K : {0, -5, kMaxQualityLevel + 1}) EXPECT_THROW(setCodecParams(s, K), Error) << K;
}

TEST(StripLayout, ExampleGeometries) {
    const struct { int32_t w, h, strips, height, lastRows, lastPadded, blocksPerRow, stride; } cases[] = {
        {4000, 3000, 3, 1000, 1000, 1000, 1000, 12000},
        {3000, 2000, 2, 1000, 1000, 1000, 750, 9000},  // maxRows 1392: two strips of 1000
        {4000, 2100, 3, 704, 692, 696, 1000, 12000},
        {8, 1, 1, 8, 1, 8, 2, 24}};
    for (auto c : cases) {
        const CodecState s = layout(c.w, c.h);
        EXPECT_EQ((std::array{s.paddedWidth, s.stripCount, s.stripHeight, s.lastStripRows, s.lastStripPaddedRows,
                              s.lumaBlocksPerRow, s.chroma420BlocksPerRow, s.lumaBlockRows, s.chroma420BlockRows,
                              s.bmpRowStride}),
                  (std::array{(c.w + 7) / 8 * 8, c.strips, c.height, c.lastRows, c.lastPadded, c.blocksPerRow,
                              c.blocksPerRow / 2, c.height / 4, c.height / 8, c.stride}))
            << c.w << " x " << c.h;
        EXPECT_EQ(s.bmpFileSize, int64_t{c.stride} * c.h + 54);
    }
}

TEST(StripLayout, LastStripRowOffsets) {
    CodecState s = layout(4000, 2100, Sampling420);
    allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
    beginStrip(s, 1);
    EXPECT_EQ((std::array{s.lumaRowOffset, s.chromaRowOffset, s.lumaBlockRows}), (std::array{0, 0, 176}));
    beginStrip(s, 2);  // 696 of 704 rows coded, 692 of them in the image
    EXPECT_EQ((std::array{s.stripImageRows, s.stripPaddedRows, s.lumaRowOffset, s.chroma420RowOffset,
                          s.chromaRowOffset, s.strip.yBlockRows, s.strip.cBlockRows}),
              (std::array{692, 696, 2, 1, 1, 174, 87}));
    s.colourSampling = Sampling422;
    beginStrip(s, 2);
    EXPECT_EQ((std::array{s.chromaRowOffset, s.strip.cBlockRows}), (std::array{2, 174}));
    EXPECT_THROW(beginStrip(s, 3), Error);
}

TEST(StripLayout, RejectsUnlayableGeometry) {
    // Padded widths above 524288 leave no room for 8 rows in a strip.
    EXPECT_NO_THROW(layout(524288, 8));
    for (auto [w, h] : {std::pair{0, 10}, {10, 0}, {-8, 10}, {524289, 8}, {INT32_MAX, 8}, {8, INT32_MAX}})
        EXPECT_THROW(layout(w, h), Error) << w << " x " << h;
    // Huge but representable: one pixel wide, 2^31 - 8 rows high.
    EXPECT_GT(layout(1, INT32_MAX - 7).bmpFileSize, int64_t{INT32_MAX});
    CodecState s;
    s.sourceWidth = s.stripImageRows = 100;
    for (int budget : {2, 40}) EXPECT_THROW((s.stripBudgetLog2 = budget, computeStripLayout(s)), Error) << budget;
}

TEST(CodecBuffers, CodedPlaneSlotsFollowSampling) {
    for (int sampling : {Sampling420, Sampling422, Sampling444}) {
        CodecState s = layout(64, 32, sampling);
        allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
        const StripWork& w = s.strip;
        const bool q = sampling == Sampling420, h = sampling == Sampling422;
        const BlockPlane& cb = q ? w.cbPlaneQuarter : h ? w.cbPlaneHalf : w.cbPlane;
        const BlockPlane& cr = q ? w.crResidualQuarter : h ? w.crResidualHalf : w.crResidual;
        const MeanPlane& means = q ? w.cbMeansQuarter : h ? w.cbMeansHalf : w.cbMeans;
        EXPECT_TRUE(w.codedY == w.yPlane.data() && w.residY == w.yResidual.data() && w.meansY == w.yMeans.data() &&
                    w.codedCb == cb.data() && w.residCr == cr.data() && w.meansCb == means.data())
            << sampling;
        // 4:2:0 subsamples through the half planes; 4:4:4 needs neither.
        EXPECT_EQ((std::array{w.yBlocksPerRow, w.yBlockRows, w.cBlocksPerRow, w.cBlockRows, int(cb.size()),
                              int(w.cbPlaneHalf.size())}),
                  (std::array{16, 8, q || h ? 8 : 16, q ? 4 : 8, q ? 32 : h ? 64 : 128, h || q ? 64 : 0}));
        for (const void* p : {(const void*)w.codedCb, (const void*)w.residCr, (const void*)w.meansCb,
                              (const void*)w.streams.matchBytes.data()})
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 32, 0u);
    }
    CodecState s = layout(64, 32);
    for (int bad : {0, 3}) EXPECT_THROW((s.colourSampling = bad, allocCodecBuffers(s, 64, 32)), Error) << bad;
    s.colourSampling = Sampling444;
    for (int32_t w : {12, 0}) EXPECT_THROW(allocCodecBuffers(s, w, 8), Error) << w;
}

TEST(CodecBuffers, StreamSizesCoverTheWorstCaseAndResetClears) {
    CodecState s = layout(4000, 2100, Sampling420);
    allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
    const std::size_t n = std::size_t{4000} * 3 * 704 / 16;
    SideStreams& st = s.strip.streams;
    EXPECT_TRUE(streamBlockCount(s, s.stripHeight) == n && st.blockCapacity == n);
    // Per block at most: a sign bit, a mean byte, 2 header bytes, 10 index
    // bytes, 2 gain bytes, 16 raw bytes; a bit reader looks one byte further.
    const std::size_t least[7] = {(n + 7) / 8 + 1, n + 1, 2 * n + 1, 10 * n + 1, 10 * n + 1, 2 * n, 16 * n};
    const StreamBuffer* bufs[7] = {&st.dcSignBits,    &st.dcBytes,   &st.headerBits, &st.indexBitsLow,
                                   &st.indexBitsHigh, &st.gainBytes, &st.matchBytes};
    for (int i = 0; i < 7; ++i) EXPECT_GE(bufs[i]->size(), least[i]) << i;
    // Dirty bytes: below a writer's cursor, a field straddling it, and below
    // a raw length a reader was given.
    st.headerBits[5] = st.indexBitsLow[10 * n - 1] = st.indexBitsHigh[0] = st.indexBitsHigh[12] = 0xAB;
    st.headerPos = {9, 3}, st.indexLowPos = {static_cast<uint32_t>(10 * n - 3), 1};
    st.rawLength[StreamIndexBitsHigh] = 5;
    st.dcSignBitCount = st.matchBytesPos = st.blockCounter = 4;
    beginStrip(s, 2);  // the shorter last strip: clearing must still reach every byte
    resetStreams(s);
    EXPECT_EQ(st.headerBits[5] | st.indexBitsLow[10 * n - 1] | st.indexBitsHigh[0] | st.indexBitsHigh[12], 0);
    EXPECT_EQ(st.headerPos.byte + st.headerPos.bit + st.dcSignBitCount + st.matchBytesPos + st.blockCounter, 0u);
    freeCodecBuffers(s);
    EXPECT_TRUE(s.strip.yPlane.empty() && s.strip.streams.matchBytes.empty() && s.strip.codedY == nullptr);
}
