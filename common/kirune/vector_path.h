#pragma once
// Which instruction set the runtime-dispatched kernels use. The paths are
// ordered: each one's CPU has every path before it, so the one in use is the
// lesser of the best the CPU has and the one asked for. Every path gives the
// same results; forcing one is for tests and measurements.
//
// KIRUNE_VECTOR=scalar|sse2|avx2|avx512 in the environment forces a path for
// the whole process. It is read once, on the first call of activeVectorPath()
// (main() calls it at start-up), and never again.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "kirune/simd.h"

namespace kirune {

enum class VectorPath : uint8_t { Scalar, Sse2, Avx2, Avx512 };
inline constexpr int kVectorPathCount = 4;

inline const char* vectorPathName(VectorPath p) {
    constexpr const char* names[kVectorPathCount] = {"scalar", "sse2", "avx2", "avx512"};
    return names[static_cast<int>(p)];
}

inline std::optional<VectorPath> vectorPathByName(std::string_view name) {
    for (int i = 0; i < kVectorPathCount; ++i)
        if (name == vectorPathName(static_cast<VectorPath>(i))) return static_cast<VectorPath>(i);
    return std::nullopt;
}

// The best path both this build and this CPU have.
inline VectorPath bestVectorPath() {
#if KIRUNE_X86_DISPATCH
    static const VectorPath best = [] {
        __builtin_cpu_init();
        // The AVX-512 kernels use the foundation and the byte/word forms.
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"))
            return VectorPath::Avx512;
        if (__builtin_cpu_supports("avx2")) return VectorPath::Avx2;
        return VectorPath::Sse2;
    }();
    return best;
#elif KIRUNE_SSE2
    return VectorPath::Sse2;
#else
    return VectorPath::Scalar;
#endif
}

inline bool vectorPathSupported(VectorPath p) { return p <= bestVectorPath(); }

// The path to use when asked for `wanted`: it, or the best below it this CPU has.
inline VectorPath usableVectorPath(VectorPath wanted) { return std::min(wanted, bestVectorPath()); }

// The path the process uses unless a caller names another.
inline VectorPath activeVectorPath() {
    static const VectorPath active = [] {
        const char* forced = std::getenv("KIRUNE_VECTOR");
        const std::optional<VectorPath> wanted = forced ? vectorPathByName(forced) : std::nullopt;
        return wanted ? usableVectorPath(*wanted) : bestVectorPath();
    }();
    return active;
}

}  // namespace kirune
