// The rate-aware coder held under the cascade's error: a plane it cannot get
// under is coded by the cascade, and the attempts before leave nothing in the
// streams or the planes.

#include <gtest/gtest.h>

#include <cstring>

#include "tests/harness/strip_harness.h"

using namespace kirune;
using namespace kirune::harness;

namespace {

TEST(RateAwareUnderCascade, APlaneThatCannotGetUnderTakesTheCascadesCodingExactly) {
    const RgbImage img = loadFixture("coffee_spoon");
    for (const int32_t sampling : {Sampling444, Sampling420}) {
        SCOPED_TRACE(testing::Message() << "sampling " << sampling);
        // Small strips: a few block rows a plane, and the steering starts at
        // a lambda that codes the first rows flat whatever they hold.
        TestStrip cascade = stateFor(img, {6, sampling, 11}), steered = stateFor(img, {6, sampling, 11});
        for (int32_t k = 0; k < cascade.layout.stripCount; ++k) {
            EXPECT_EQ(encodeImageStrip(cascade, img, k), encodeImageStrip(steered, img, k, {2, true, 1e12, true}))
                << "strip " << k;
            const auto a = cascade.regions(), b = steered.regions();
            for (std::size_t p = 0; p < 3; ++p) {
                const std::size_t first = std::size_t(a[p].firstRow) * a[p].blocksPerRow;
                const std::size_t bytes = a[p].blocks() * sizeof(BlockVec);
                EXPECT_EQ(0, std::memcmp(a[p].coded + first, b[p].coded + first, bytes)) << "plane " << p;
                EXPECT_EQ(0, std::memcmp(a[p].resid + first, b[p].resid + first, bytes)) << "plane " << p;
            }
        }
    }
}

}  // namespace

namespace {

// The searches the cascade made on a block's own correction stand in for
// the rate-aware coder's own: taking them over must not change a byte, at
// levels with and without shifted corrections.
TEST(RateAwareUnderCascade, TakingOverTheCascadesSearchesChangesNoByte) {
    for (const char* name : {"coffee_spoon", "astronaut_face"}) {
        const RgbImage img = loadFixture(name);
        for (const int32_t level : {1, 6, 21, 65}) {
            SCOPED_TRACE(testing::Message() << name << " level " << level);
            TestStrip reused = stateFor(img, {level, Sampling444, 11}), own = stateFor(img, {level, Sampling444, 11});
            for (int32_t k = 0; k < reused.layout.stripCount; ++k) {
                const Streams a = encodeImageStrip(reused, img, k, {1, true, 1.0, true, true});
                const Streams b = encodeImageStrip(own, img, k, {1, true, 1.0, true, false});
                for (int i = 0; i < kStreamCount; ++i) EXPECT_EQ(a[i], b[i]) << "strip " << k << " stream " << i;
            }
        }
    }
}

}  // namespace
