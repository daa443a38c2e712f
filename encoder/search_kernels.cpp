#include "encoder/search_kernels.h"

#include <array>

namespace kirune {

const SearchKernels& searchKernels(VectorPath path) {
    // Resolved once: each path's table, or that of the next path below it
    // the build and the CPU have. Only addresses are taken here; no kernel
    // runs before its path is known to be usable.
    static const auto resolved = [] {
        const SearchKernels* const built[kVectorPathCount] = {
            &detail::scalarSearchKernels,
#if KIRUNE_SSE2
            &detail::sse2SearchKernels,
#else
            nullptr,
#endif
#if KIRUNE_X86_DISPATCH
            &detail::avx2SearchKernels,
            &detail::avx512SearchKernels,
#else
            nullptr,
            nullptr,
#endif
        };
        std::array<const SearchKernels*, kVectorPathCount> r{};
        for (int wanted = 0; wanted < kVectorPathCount; ++wanted) {
            int p = static_cast<int>(usableVectorPath(static_cast<VectorPath>(wanted)));
            while (p > 0 && !built[p]) --p;
            r[wanted] = built[p];
        }
        return r;
    }();
    return *resolved[static_cast<int>(path)];
}

}  // namespace kirune
