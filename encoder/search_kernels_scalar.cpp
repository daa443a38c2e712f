// The searches' scalar kernels: the reference every other path agrees with,
// and the path of CPUs and builds without vector units.

#include "codec/block_ops.h"
#include "codec/dictionary.h"
#include "encoder/search_kernels_take.h"

namespace kirune {

namespace {

inline bool inWindow(const MatchRow& r, int32_t e) { return e != 0 && e >= r.lo && e <= r.hi; }

int nearestCodeScalar(const int16_t (*codes)[4], int begin, int end, const int16_t* y) {
    int32_t best = int32_t{1} << 30;
    int at = -1;
    for (int pos = begin; pos < end; ++pos) {
        const int32_t dist = scalar::rowDistance(y, codes[pos]);
        if (dist < best) {
            best = dist;
            at = pos;
        }
    }
    return at;
}

void scanMatchRowScalar(const MatchRow& r, MatchScan& s) { detail::scanMatchFrom(r, s, r.first); }

void patternDotsScalar(const BlockVec& target, int32_t* dots) {
    for (int k = 0; k < kPatternCount; ++k) dots[k] = scalar::blockDot(target, patternBlock(k));
}

WindowRow windowRowScalar(const BlockVec& x, const BlockVec* blocks, int32_t count, int32_t limit, int32_t* out) {
    WindowRow w;
    for (int32_t k = 0; k < count; ++k) {
        const int32_t d = out[k] = scalar::blockDistance(x, blocks[k]);
        if (d < limit) w.under |= uint64_t{1} << k;
        if (d < w.least) w.least = d;
    }
    return w;
}

}  // namespace

namespace detail {

void scanMatchFrom(const MatchRow& r, MatchScan& s, int32_t c) {
    for (; c >= r.last && !s.done; --c)
        if (inWindow(r, r.energies[c])) takeMatch(s, c, scalar::blockDistance(*r.x, r.blocks[c]), r.T);
}

constinit const SearchKernels scalarSearchKernels{nearestCodeScalar, nearestCodesEach<nearestCodeScalar>,
                                                  scanMatchRowScalar, patternDotsScalar, windowRowScalar};

}  // namespace detail

}  // namespace kirune
