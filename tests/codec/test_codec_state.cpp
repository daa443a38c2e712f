#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "codec/codec_state.h"
#include "kirune/Error.h"

using namespace kirune;

TEST(QualityParams, BoundariesOfMeanLevelLimitAndShift) {
    // The limit is halved from 2000 to 40000 only; the dialog's 1..400 use 256 K.
    const struct { int32_t K; int meanLevel, limitPerK, shift; bool shifted; } cases[] = {
        {1, 0, 256, 1, false},     {1000, 0, 256, 1, false},  {1001, 1, 256, 1, false}, {1999, 1, 256, 1, false},
        {2000, 1, 128, 1, true},   {4000, 1, 128, 1, true},   {4001, 2, 128, 1, true},  {6399, 2, 128, 1, true},
        {6400, 2, 128, 2, true},   {40000, 2, 128, 2, true},  {40001, 3, 256, 2, true},
        {kMaxQualityLevel, 3, 256, 2, true}};
    for (auto c : cases) {
        const QualityParams q = codecParams(c.K);
        EXPECT_EQ(q.qualityLevel, c.K);
        EXPECT_EQ(q.meanLevel, c.meanLevel) << c.K;
        EXPECT_EQ(q.distortionLimit, c.limitPerK * c.K) << c.K;
        EXPECT_EQ(q.residualShift, c.shift) << c.K;
        EXPECT_EQ(q.shiftedCorrections, c.shifted) << c.K;
    }
    for (int32_t K : {0, -5, kMaxQualityLevel + 1}) EXPECT_THROW(codecParams(K), Error) << K;
}

TEST(StripLayout, ExampleGeometries) {
    const struct { int32_t w, h, strips, height, lastRows, lastPadded; } cases[] = {
        {4000, 3000, 3, 1000, 1000, 1000},
        {3000, 2000, 2, 1000, 1000, 1000},  // maxRows 1392: two strips of 1000
        {4000, 2100, 3, 704, 692, 696},
        {8, 1, 1, 8, 1, 8}};
    for (auto c : cases) {
        const ImageLayout l = computeStripLayout(c.w, c.h, kStripBudgetLog2);
        EXPECT_EQ(l.paddedWidth, (c.w + 7) / 8 * 8) << c.w << " x " << c.h;
        EXPECT_EQ(l.stripCount, c.strips) << c.w << " x " << c.h;
        EXPECT_EQ(l.stripHeight, c.height) << c.w << " x " << c.h;
        EXPECT_EQ(l.lastStripRows, c.lastRows) << c.w << " x " << c.h;
        EXPECT_EQ(l.lastStripPaddedRows, c.lastPadded) << c.w << " x " << c.h;
    }
}

TEST(StripLayout, ShortLastStripFillsTheBottomOfTheBuffers) {
    const ImageLayout l = computeStripLayout(4000, 2100, kStripBudgetLog2);
    const StripGeometry middle = beginStrip(l, 1);
    EXPECT_EQ(middle.firstImageRow, 704);
    EXPECT_EQ(middle.luma.firstRow, 0);
    EXPECT_EQ(middle.luma.rows, 176);
    const StripGeometry last = beginStrip(l, 2);  // 696 of 704 rows coded, 692 of them in the image
    EXPECT_EQ(last.imageRows, 692);
    EXPECT_EQ(last.paddedRows, 696);
    EXPECT_EQ(last.luma.firstRow, 2);
    EXPECT_EQ(last.luma.rows, 174);
    const PlaneGrid quarter = chromaGrid(last, Sampling420), half = chromaGrid(last, Sampling422);
    EXPECT_EQ(quarter.firstRow, 1);
    EXPECT_EQ(quarter.rows, 87);
    EXPECT_EQ(quarter.blocksPerRow, 500);
    EXPECT_EQ(half.firstRow, 2);
    EXPECT_EQ(half.rows, 174);
    EXPECT_THROW(beginStrip(l, 3), Error);
    EXPECT_THROW(beginStrip(l, -1), Error);
}

TEST(StripLayout, RejectsUnlayableGeometry) {
    // Padded widths above 524288 leave no room for 8 rows in a strip.
    EXPECT_NO_THROW(computeStripLayout(524288, 8, kStripBudgetLog2));
    for (auto [w, h] : {std::pair{0, 10}, {10, 0}, {-8, 10}, {524289, 8}, {INT32_MAX, 8}, {8, INT32_MAX}})
        EXPECT_THROW(computeStripLayout(w, h, kStripBudgetLog2), Error) << w << " x " << h;
    EXPECT_NO_THROW(computeStripLayout(1, INT32_MAX - 7, kStripBudgetLog2));
    for (int budget : {2, 40}) EXPECT_THROW(computeStripLayout(100, 100, budget), Error) << budget;
}

TEST(CodecBuffers, RegionsFitTheBuffersOrThrow) {
    StripWork w;
    for (int bad : {0, 3}) EXPECT_THROW(allocCodecBuffers(w, bad, 64, 32), Error) << bad;
    for (int32_t width : {12, 0}) EXPECT_THROW(allocCodecBuffers(w, Sampling444, width, 8), Error) << width;
    const ImageLayout l = computeStripLayout(64, 64, kStripBudgetLog2);
    allocCodecBuffers(w, Sampling420, 64, 32);  // half the rows the layout needs
    EXPECT_THROW(stripRegions(w, beginStrip(l, 0)), Error);
    allocCodecBuffers(w, Sampling420, 64, 64);
    EXPECT_NO_THROW(stripRegions(w, beginStrip(l, 0)));
}

TEST(CodecBuffers, StreamSizesCoverTheWorstCaseAndClearingResets) {
    const std::size_t n = std::size_t{4000} * 3 * 704 / 16;
    StripWork w;
    allocCodecBuffers(w, Sampling420, 4000, 704);
    SideStreams& st = w.streams;
    EXPECT_EQ(st.blockCapacity, n);
    // Per block at most: a sign bit, a mean byte, 2 header bytes, 10 index
    // bytes, 2 gain bytes, 16 raw bytes; a bit reader looks one byte further.
    const std::size_t least[7] = {(n + 7) / 8 + 1, n + 1, 2 * n + 1, 10 * n + 1, 10 * n + 1, 2 * n, 16 * n};
    for (int i = 0; i < kStreamCount; ++i) EXPECT_GE(streamBuffer(st, i).size(), least[i]) << i;
    // Dirty bytes: below a writer's cursor, a field straddling it, and below
    // a raw length a reader was given.
    st.headerBits[5] = st.indexBitsLow[10 * n - 1] = st.indexBitsHigh[0] = st.indexBitsHigh[12] = 0xAB;
    st.headerPos = {9, 3}, st.indexLowPos = {static_cast<uint32_t>(10 * n - 3), 1};
    st.rawLength[StreamIndexBitsHigh] = 5;
    st.dcSignBitCount = st.matchBytesPos = st.blockCounter = 4;
    clearSideStreams(st);
    EXPECT_EQ(st.headerBits[5], 0);
    EXPECT_EQ(st.indexBitsLow[10 * n - 1], 0);
    EXPECT_EQ(st.indexBitsHigh[0], 0);
    EXPECT_EQ(st.indexBitsHigh[12], 0);
    EXPECT_EQ(st.headerPos.byte + st.headerPos.bit + st.dcSignBitCount + st.matchBytesPos + st.blockCounter, 0u);
}
