#pragma once
// Helpers shared by the codec and encoder suites.

#include <cstring>
#include <functional>

#include "codec/val.h"
#include "kirune/Error.h"

namespace kirune {

// A state laid out and allocated for a width x height image, on strip
// `index` (the last when negative).
inline CodecState stripState(int32_t width, int32_t height, int32_t sampling = Sampling444, int32_t K = 12,
                             int budgetLog2 = kStripBudgetLog2, int index = -1) {
    CodecState s;
    setCodecParams(s, K);
    s.colourSampling = sampling;
    s.sourceWidth = width;
    s.stripImageRows = height;
    s.stripBudgetLog2 = budgetLog2;
    setupExpandGeometry(s);
    beginStrip(s, index < 0 ? s.stripCount - 1 : index);
    return s;
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
