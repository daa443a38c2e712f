// Checked when this file compiles: headers that callers outside a library include keep that library's dependencies
// to themselves (nothing may be included before them here).
#include "app/core/container_info.h"
#include "codec/codec_state.h"
#include "container/carried_tags.h"

#if defined(XXH_VERSION_NUMBER)
#error "a container header pulls in xxhash"
#endif
#if defined(_GLIBCXX_MUTEX)
#error "a container header pulls in <mutex>"
#endif
#if defined(TIFF_VERSION_CLASSIC) || defined(_TIFFIO_)
#error "carried_tags.h pulls in libtiff"
#endif
#if defined(_EMMINTRIN_H_INCLUDED) || defined(__EMMINTRIN_H) || defined(_IMMINTRIN_H_INCLUDED)
#error "the codec state pulls in intrinsics"
#endif

#include <gtest/gtest.h>

#include <cstdlib>

#include "encoder/search.h"
#include "kirune/vector_path.h"

using namespace kirune;

// ctest runs the recorded outputs once on each vector path, forced with KIRUNE_VECTOR: the force took hold.
TEST(VectorPathForced, IsTheOneTheSearchesUse) {
    const char* forced = std::getenv("KIRUNE_VECTOR");
    if (!forced) GTEST_SKIP() << "KIRUNE_VECTOR is not set";
    const auto wanted = vectorPathByName(forced);
    ASSERT_TRUE(wanted) << forced;
    if (!vectorPathSupported(*wanted)) GTEST_SKIP() << forced << " is not on this CPU";
    EXPECT_EQ(activeVectorPath(), *wanted);
    EXPECT_EQ(SearchSetup{}.path, *wanted);
}
