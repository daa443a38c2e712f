// What the rate-aware coder does to bytes the cascade leaves as they are:
// mean bytes moved toward their prediction, gain bytes moved toward the
// levels most used. The decoder must rebuild exactly the encoder's planes.

#include <gtest/gtest.h>

#include <algorithm>

#include "codec/block_ops.h"
#include "codec/dictionary.h"
#include "encoder/rate_aware_encoder.h"
#include "tests/harness/strip_harness.h"

using namespace kirune;
using namespace kirune::harness;

namespace {

constexpr int kDcBytes = 1;  // stream index of the mean differences

// A grey picture of 4 x 4 blocks alternating between a sample of exactly
// mean byte m and one half a step above it, which rounds to m + 1: coded
// flat, either mean byte gives that block the same error.
RgbImage halfStepCheckerboard(int32_t w, int32_t h, int m) {
    RgbImage img(w, h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const int v12 = 16 * m + (((x / 4) + (y / 4)) % 2 ? 8 : 0);
            for (int c = 0; c < 3; ++c) img.at(x, y, c) = static_cast<uint16_t>(v12 * 16);
        }
    return img;
}

TEST(RateAwareBytes, HalfStepMeansMoveToTheirPredictionAtNoCostInError) {
    const RgbImage img = halfStepCheckerboard(64, 48, 100);
    const CodecChoice choice{21, Sampling444, kStripBudgetLog2};
    TestStrip cascade = stateFor(img, choice), rated = stateFor(img, choice);
    ASSERT_EQ(1, rated.layout.stripCount);
    const Streams a = encodeImageStrip(cascade, img, 0), b = encodeImageStrip(rated, img, 0, {1, true});
    // The cascade codes the rounded means: differences of 1 on every block
    // but the region's first.
    const auto nonZero = [](const std::vector<uint8_t>& v) {
        return std::count_if(v.begin() + 1, v.end(), [](uint8_t x) { return x != 0; });
    };
    EXPECT_GT(nonZero(a[kDcBytes]), 100);
    // Moved, every mean equals its prediction: the region's first block,
    // which rounded up, steps down to its neighbours' at no cost in error.
    EXPECT_EQ(0, nonZero(b[kDcBytes]));
    std::size_t bytesA = 0, bytesB = 0;
    for (int i = 0; i < kStreamCount; ++i) bytesA += a[std::size_t(i)].size(), bytesB += b[std::size_t(i)].size();
    EXPECT_LE(bytesB, bytesA);

    const ImageResult c = runImage(img, choice), r = runImage(img, choice, false, {1, true});
    EXPECT_EQ("", r.mismatch);
    EXPECT_GE(psnr16(img, r.decoded), psnr16(img, c.decoded) - 1e-9);
}

// Every level kind (mean levels, shifted corrections, subsampled chroma),
// plain and under the cascade's error, in strips of 2048 pixels: the
// decoder's planes, means and corrections equal the encoder's, and the
// rate-aware mean bytes are not the cascade's (they moved somewhere).
TEST(RateAwareBytes, MovedMeansAndGainsDecodeToTheEncodersPlanes) {
    for (const char* name : {"coffee_spoon", "astronaut_face"}) {
        const RgbImage img = loadFixture(name);
        for (const CodecChoice choice : {CodecChoice{1, Sampling444, 11}, CodecChoice{6, Sampling422, 11},
                                         CodecChoice{21, Sampling444, 11}, CodecChoice{400, Sampling422, 11},
                                         CodecChoice{2000, Sampling420, 11}, CodecChoice{6400, Sampling444, 11}})
            for (const bool meet : {false, true}) {
                SCOPED_TRACE(testing::Message() << name << " level " << choice.quality << " sampling "
                                                << choice.sampling << (meet ? " under the cascade" : ""));
                const ImageResult r = runImage(img, choice, true, {1, true, 1.0, meet});
                EXPECT_EQ("", r.mismatch);
                TestStrip cascade = stateFor(img, choice), rated = stateFor(img, choice);
                bool moved = false;
                for (int32_t k = 0; k < rated.layout.stripCount && !moved; ++k)
                    moved = encodeImageStrip(cascade, img, k)[kDcBytes] !=
                            encodeImageStrip(rated, img, k, {1, true, 1.0, meet})[kDcBytes];
                EXPECT_TRUE(moved);
            }
    }
}

// One block row of seven pattern blocks at 1.0 lambda: six at gain level k,
// no two alike, then one whose gain lies just past the midpoint toward
// k + 1, either as a pattern of its own (so no match pays) or added to its
// left neighbour (so it is coded as a match plus a pattern). Gain bytes are
// block-sorted, so the seventh is cheaper at k, for an error that grows by
// less than what the bits saved are worth; on a match that must be measured
// with what the match brings.
constexpr int kUsedLevel = 70;

SideStreams codeSevenPatterns(bool lastOnMatch) {
    constexpr int k = kUsedLevel;
    constexpr int32_t blocks = 7;
    BlockPlane coded(blocks), resid(blocks);
    MeanPlane means(blocks);
    for (int32_t n = 0; n < blocks; ++n) {
        BlockVec& r = resid[std::size_t(n)];
        if (n < 6) {
            blockScale15(patternBlock(n), gainLevels[k], r);
        } else {
            BlockVec step;
            blockScale15(patternBlock(7), (gainLevels[k] + 3 * gainLevels[k + 1]) / 4 - 10, step);
            if (lastOnMatch) blockAdd(resid[5], step, r);
            else r = step;
        }
        for (int i = 0; i < 16; ++i) coded[std::size_t(n)].lane[i] = int16_t(2048 + r.lane[i]);
        means[std::size_t(n)] = blockMeanByte(coded[std::size_t(n)], 0);
        EXPECT_EQ(128, means[std::size_t(n)]);
    }
    const PlaneRegion region{coded.data(), resid.data(), means.data(), blocks, 1, 0};
    SideStreams st;
    allocSideStreams(st, blocks);
    encodePlaneRateAware(codecParams(21), st, region, 1.0);
    return st;
}

TEST(RateAwareBytes, AGainJustPastTheMidpointTakesTheLevelAlreadyUsed) {
    for (const bool onMatch : {false, true}) {
        SCOPED_TRACE(onMatch ? "on a match" : "a pattern of its own");
        const SideStreams st = codeSevenPatterns(onMatch);
        ASSERT_EQ(7u, st.gainBytesPos);  // every block a pattern
        EXPECT_EQ(onMatch ? 1u : 0u, st.matchBytesPos);
        const std::size_t first = onMatch ? 6 : 0;
        for (std::size_t n = first; n < 7; ++n) EXPECT_EQ(kUsedLevel, st.gainBytes[n]) << "block " << n;
    }
}

}  // namespace
