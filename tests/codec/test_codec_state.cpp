#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "codec/codec_state.h"
#include "kirune/Error.h"

using namespace kirune;

TEST(QualityParams, AcceptsOneToTheMaximumLevelOnly) {
    for (int32_t K : {1, kMaxQualityLevel}) EXPECT_EQ(codecParams(K).qualityLevel, K);
    for (int32_t K : {0, -5, kMaxQualityLevel + 1}) EXPECT_THROW(codecParams(K), Error) << K;
}

TEST(StripLayout, RejectsUnlayableGeometryAndStripsOutsideTheImage) {
    // Padded widths above 524288 leave no room for 8 rows in a strip.
    EXPECT_NO_THROW(computeStripLayout(524288, 8, kStripBudgetLog2));
    for (auto [w, h] : {std::pair{0, 10}, {10, 0}, {-8, 10}, {524289, 8}, {INT32_MAX, 8}, {8, INT32_MAX}})
        EXPECT_THROW(computeStripLayout(w, h, kStripBudgetLog2), Error) << w << " x " << h;
    EXPECT_NO_THROW(computeStripLayout(1, INT32_MAX - 7, kStripBudgetLog2));
    for (int budget : {2, 40}) EXPECT_THROW(computeStripLayout(100, 100, budget), Error) << budget;
    const ImageLayout l = computeStripLayout(4000, 2100, kStripBudgetLog2);
    ASSERT_EQ(l.stripCount, 3);
    EXPECT_NO_THROW(beginStrip(l, 2));
    for (int k : {3, -1}) EXPECT_THROW(beginStrip(l, k), Error) << k;
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

TEST(CodecBuffers, StreamSizesCoverTheWorstCase) {
    const std::size_t n = std::size_t{4000} * 3 * 704 / 16;
    StripWork w;
    allocCodecBuffers(w, Sampling420, 4000, 704);
    EXPECT_EQ(w.streams.blockCapacity, n);
    // Per block at most: a sign bit, a mean byte, 2 header bytes, 10 index
    // bytes, 2 gain bytes, 16 raw bytes; a bit reader looks one byte further.
    const std::size_t least[7] = {(n + 7) / 8 + 1, n + 1, 2 * n + 1, 10 * n + 1, 10 * n + 1, 2 * n, 16 * n};
    for (int i = 0; i < kStreamCount; ++i) EXPECT_GE(streamBuffer(w.streams, i).size(), least[i]) << i;
}
