#include <gtest/gtest.h>

#include <cstdlib>

#include "encoder/search.h"
#include "kirune/vector_path.h"

using namespace kirune;

// ctest runs the recorded outputs once on each vector path, forced with
// KIRUNE_VECTOR; this checks that the force took hold, so that none of those
// runs quietly measures another path.
TEST(VectorPathForced, IsTheOneTheSearchesUse) {
    const char* forced = std::getenv("KIRUNE_VECTOR");
    if (!forced) GTEST_SKIP() << "KIRUNE_VECTOR is not set";
    const auto wanted = vectorPathByName(forced);
    ASSERT_TRUE(wanted) << forced;
    if (!vectorPathSupported(*wanted)) GTEST_SKIP() << forced << " is not on this CPU";
    EXPECT_EQ(activeVectorPath(), *wanted);
    EXPECT_EQ(SearchSetup{}.path, *wanted);
}
