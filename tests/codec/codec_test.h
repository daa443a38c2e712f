#pragma once
// Helpers shared by the codec and encoder suites.

#include <array>
#include <cstring>
#include <functional>

#include "codec/codec_state.h"
#include "kirune/Error.h"

namespace kirune {

// One strip of a width x height image with its working set allocated.
struct TestStrip {
    QualityParams quality;
    ImageLayout layout;
    StripGeometry geometry;
    StripWork work;

    std::array<PlaneRegion, 3> regions() { return stripRegions(work, geometry); }
    PlaneRegion luma() { return regions()[0]; }
};

// On strip `index` (the last when negative).
inline TestStrip stripState(int32_t width, int32_t height, int32_t sampling = Sampling444, int32_t K = 12,
                            int budgetLog2 = kStripBudgetLog2, int index = -1) {
    TestStrip t;
    t.quality = codecParams(K);
    t.layout = computeStripLayout(width, height, budgetLog2);
    allocCodecBuffers(t.work, sampling, t.layout.paddedWidth, t.layout.stripHeight);
    t.geometry = beginStrip(t.layout, index < 0 ? t.layout.stripCount - 1 : index);
    return t;
}

inline bool throwsDamaged(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return std::strcmp(e.what(), kDamagedFileText) == 0;
    }
    return false;
}

}  // namespace kirune
