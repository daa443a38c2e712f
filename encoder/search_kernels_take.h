#pragma once
// How a match scan takes its candidates, shared by every path's kernels.
// Included only by the search_kernels_*.cpp files, each compiled for its own
// instruction set: everything here has internal linkage, so no copy compiled
// for a wider set can stand in for another file's, and it uses no library
// template that the linker could merge across those files.

#include <cstdint>

#include "encoder/search_kernels.h"

namespace kirune {
namespace {

inline int64_t largerOf(int64_t a, int64_t b) { return a < b ? b : a; }

// Takes the candidate in column `col` at distance `dist`; true once one comes
// under T, which ends the search.
inline bool takeMatch(MatchScan& s, int32_t col, int32_t dist, int64_t T) {
    if (dist < T || dist < s.best) {
        s.best = dist;
        s.taken = col;
    }
    return s.done = dist < T;
}

// Candidates base + k for the bits k of `mask`, nearest (highest k) first.
// Only one under T or under the best so far changes anything, and the best
// only falls until the search ends, so the rest are dropped up front.
inline void takeGroup(const MatchRow& r, MatchScan& s, int32_t base, unsigned mask, const int32_t* dist) {
    const int64_t limit = largerOf(r.T, s.best);
    for (unsigned rest = mask; rest != 0; rest &= rest - 1) {
        const int k = __builtin_ctz(rest);
        if (dist[k] >= limit) mask &= ~(1u << k);
    }
    while (mask != 0 && !s.done) {
        const int k = 31 - __builtin_clz(mask);
        mask &= ~(1u << k);
        takeMatch(s, base + k, dist[k], r.T);
    }
}

// The stage's scans one after another, for the paths whose nearestCode
// already fills their registers with one scan.
template <int (*nearest)(const int16_t (*)[4], int, int, const int16_t*)>
void nearestCodesEach(const CodeScan* scans, int* out) {
    for (int k = 0; k < kStageScans; ++k)
        out[k] = nearest(scans[k].rows, scans[k].begin, scans[k].end, scans[k].y);
}

}  // namespace
}  // namespace kirune
