#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "codec/transforms.h"
#include "tests/codec/codec_test.h"

using namespace kirune;

namespace {

void randomise(BlockPlane& p, std::mt19937& rng) {
    for (BlockVec& b : p)
        for (int16_t& l : b.lane) l = static_cast<int16_t>(rng());
}

void randomise(MeanPlane& p, std::mt19937& rng) {
    for (uint8_t& m : p) m = static_cast<uint8_t>(rng());
}

bool samePlane(const BlockPlane& a, const BlockPlane& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(BlockVec)) == 0;
}

}  // namespace

// The expansion's conversion straight from means and residuals, in place,
// against the decoder's samples (mean shifted up plus residual, wrapping)
// run through the chroma up-sampling and colour conversion. Residuals and
// means span their whole ranges, so sums wrap and every clamp is met; a full
// strip and a short last one (its regions start below row 0).
TEST(ResidualsToRgb, MatchesSamplesThroughTheColourConversion) {
    std::mt19937 rng(7);
    for (int32_t sampling : {Sampling444, Sampling422, Sampling420}) {
        for (int32_t K : {12, 1500, 5000, 50000}) {
            for (int strip : {0, 1}) {
                TestStrip got = stripState(40, 100, sampling, K, 12, strip);
                TestStrip want = stripState(40, 100, sampling, K, 12, strip);
                ASSERT_EQ(got.geometry.luma.firstRow, strip == 0 ? 0 : 2);
                StripWork& w = got.work;
                for (BlockPlane* p : {&w.rPlane, &w.gPlane, &w.bPlane}) randomise(*p, rng);
                for (MeanPlane* p : {&w.yMeans, &w.cbMeans, &w.crMeans, &w.cbMeansHalf, &w.crMeansHalf,
                                     &w.cbMeansQuarter, &w.crMeansQuarter})
                    randomise(*p, rng);
                // Mostly plausible residuals too, so that most samples land inside the clamps.
                for (std::size_t n = 0; n < w.rPlane.size(); n += 2)
                    for (int16_t& l : w.rPlane[n].lane) l = static_cast<int16_t>(rng() % 4096 - 2048);

                StripWork& v = want.work;
                const auto copy = [](const auto& from, auto& to) {
                    if (!from.empty()) std::memcpy(to.data(), from.data(), from.size() * sizeof(from[0]));
                };
                copy(w.rPlane, v.rPlane), copy(w.gPlane, v.gPlane), copy(w.bPlane, v.bPlane);
                copy(w.yMeans, v.yMeans), copy(w.cbMeans, v.cbMeans), copy(w.crMeans, v.crMeans);
                copy(w.cbMeansHalf, v.cbMeansHalf), copy(w.crMeansHalf, v.crMeansHalf);
                copy(w.cbMeansQuarter, v.cbMeansQuarter), copy(w.crMeansQuarter, v.crMeansQuarter);
                const int shift = want.quality.meanShift();
                for (const PlaneRegion& r : want.regions())
                    for (std::size_t n = std::size_t(r.firstRow) * r.blocksPerRow;
                         n < (r.firstRow + r.rows) * std::size_t(r.blocksPerRow); ++n)
                        for (int i = 0; i < 16; ++i)
                            r.coded[n].lane[i] = static_cast<int16_t>(static_cast<int16_t>(r.means[n] << shift) +
                                                                      r.resid[n].lane[i]);
                stripToRgb(want.geometry, v);

                residualsToRgb(got.quality, got.geometry, w);
                EXPECT_TRUE(samePlane(w.rPlane, v.rPlane)) << sampling << " K " << K;
                EXPECT_TRUE(samePlane(w.gPlane, v.gPlane)) << sampling << " K " << K;
                EXPECT_TRUE(samePlane(w.bPlane, v.bPlane)) << sampling << " K " << K;
            }
        }
    }
}
