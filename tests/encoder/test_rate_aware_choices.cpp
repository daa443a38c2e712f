// The rate-aware coder codes a block again with its mean byte moved either
// way, not only toward its prediction.

#include <gtest/gtest.h>

#include <cstdlib>

#include "codec/stream_syntax.h"
#include "encoder/rate_aware_encoder.h"
#include "tests/harness/strip_harness.h"

using namespace kirune;
using namespace kirune::harness;

namespace {

// Means moved away from their prediction, or two steps toward it, on
// photographs; never more than two steps from the rounded mean.
TEST(RateAwareChoices, MeansMoveEitherWayWithinTwoSteps) {
    for (const char* name : {"coffee_spoon", "astronaut_face"}) {
        SCOPED_TRACE(name);
        const RgbImage img = loadFixture(name);
        const CodecChoice choice{12, Sampling444, 11};
        TestStrip cascade = stateFor(img, choice), rated = stateFor(img, choice);
        int beyond = 0;
        for (int32_t k = 0; k < rated.layout.stripCount; ++k) {
            encodeImageStrip(cascade, img, k);
            encodeImageStrip(rated, img, k, {1, true});
            const auto a = cascade.regions(), b = rated.regions();
            for (std::size_t p = 0; p < 3; ++p)
                for (int32_t row = 0; row < b[p].rows; ++row)
                    for (int32_t col = 0; col < b[p].blocksPerRow; ++col) {
                        const std::size_t n = std::size_t(b[p].firstRow + row) * b[p].blocksPerRow + col;
                        const int m0 = a[p].means[n], m = b[p].means[n];
                        const int P = meanPrediction(b[p].means, n, b[p].blocksPerRow, row, col);
                        ASSERT_LE(std::abs(m - m0), 2) << "plane " << p << " block " << n;
                        beyond += m != m0 && m != m0 + (P > m0 ? 1 : -1);
                    }
        }
        EXPECT_GT(beyond, 0);
    }
}

}  // namespace
