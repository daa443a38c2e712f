// The searches' SSE2 kernels, the x86-64 baseline: compiled with the
// build's own flags, four candidates or codewords to a step.

#include "codec/block_ops.h"
#include "codec/dictionary.h"
#include "encoder/search_kernels_take.h"

#if KIRUNE_SSE2

namespace kirune {

namespace {

// Bit k set when dist[k] is under the limit below which a candidate can
// still be taken; mostly none is, and the group ends there.
inline unsigned underLimit4(__m128i dist, const MatchRow& r, const MatchScan& s) {
    const int64_t limit = largerOf(r.T, s.best);
    if (limit > INT32_MAX) return 0xFu;
    const __m128i l = _mm_set1_epi32(static_cast<int32_t>(largerOf(limit, INT32_MIN)));
    return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(l, dist))));
}

// The candidates of one group of four from column `base`, of those in `mask`.
inline void scanGroup4(const MatchRow& r, MatchScan& s, int32_t base, unsigned mask) {
    alignas(16) int32_t dist[4];
    blockDistance4(*r.x, r.blocks + base, dist);
    mask &= underLimit4(_mm_load_si128(reinterpret_cast<const __m128i*>(dist)), r, s);
    if (mask != 0) takeGroup(r, s, base, mask, dist);
}

// Four candidates at a time: more than half lie in the energy window, so
// measuring all four beats picking them out.
void scanMatchRowSse2(const MatchRow& r, MatchScan& s) {
    int32_t c = r.first;
    for (; c - 3 >= r.last && !s.done; c -= 4) {
        const unsigned mask = energyWindow4(r.energies + c - 3, r.lo, r.hi);
        if (mask != 0) scanGroup4(r, s, c - 3, mask);
    }
    if (s.done || c < r.last) return;
    if (r.first - r.last < 3) return detail::scanMatchFrom(r, s, c);
    // The last few columns as one more group from `last`, with the columns
    // already scanned masked off.
    const unsigned mask = energyWindow4(r.energies + r.last, r.lo, r.hi) & ((2u << (c - r.last)) - 1);
    if (mask != 0) scanGroup4(r, s, r.last, mask);
}

// Four running minima, lane k over positions begin + k, + 4, ...: the strict
// comparison keeps each lane's first, and no branch depends on the
// distances, which a scan through random codewords would mispredict.
int nearestCodeSse2(const int16_t (*codes)[4], int begin, int end, const int16_t* y) {
    using namespace detail;
    if (end <= begin) return -1;
    const __m128i yy = _mm_unpacklo_epi64(loadRow(y), loadRow(y));
    __m128i best = _mm_set1_epi32(int32_t{1} << 30), bestAt = _mm_set1_epi32(INT32_MAX);
    __m128i pos = _mm_add_epi32(_mm_set1_epi32(begin), _mm_setr_epi32(0, 1, 2, 3));
    // Distances to codewords c[0..3], two to a register.
    const auto distances = [&](const int16_t (*c)[4]) {
        const __m128 m01 =
            _mm_castsi128_ps(square(_mm_sub_epi16(yy, _mm_loadu_si128(reinterpret_cast<const __m128i*>(c[0])))));
        const __m128 m23 =
            _mm_castsi128_ps(square(_mm_sub_epi16(yy, _mm_loadu_si128(reinterpret_cast<const __m128i*>(c[2])))));
        return _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(m01, m23, _MM_SHUFFLE(2, 0, 2, 0))),
                             _mm_castps_si128(_mm_shuffle_ps(m01, m23, _MM_SHUFFLE(3, 1, 3, 1))));
    };
    const auto keepNearer = [&](__m128i dist) {
        const __m128i nearer = _mm_cmplt_epi32(dist, best);
        best = select(nearer, dist, best);
        bestAt = select(nearer, pos, bestAt);
    };
    int p = begin;
    for (; p + 4 <= end; p += 4) {
        keepNearer(distances(codes + p));
        pos = _mm_add_epi32(pos, _mm_set1_epi32(4));
    }
    // Rows past the end get a distance nothing is below.
    if (p < end) keepNearer(select(_mm_cmplt_epi32(pos, _mm_set1_epi32(end)), distances(codes + p), _mm_set1_epi32(INT32_MAX)));
    // The overall first minimum: the least lane minimum at its earliest position.
    const __m128i least = broadcastMin(best);
    if (_mm_cvtsi128_si32(least) >= int32_t{1} << 30) return -1;
    return _mm_cvtsi128_si32(broadcastMin(select(_mm_cmpeq_epi32(best, least), bestAt, _mm_set1_epi32(INT32_MAX))));
}

void patternDotsSse2(const BlockVec& target, int32_t* dots) {
    for (int k = 0; k < kPatternCount; ++k) dots[k] = blockDot(target, patternBlock(k));
}

// Four blocks to a step; the last few as a group of four ending at the
// last block (measured twice, which changes neither mask nor least).
WindowRow windowRowSse2(const BlockVec& x, const BlockVec* blocks, int32_t count, int32_t limit, int32_t* out) {
    using namespace detail;
    WindowRow w;
    if (count < 4) {
        for (int32_t k = 0; k < count; ++k) {
            const int32_t d = out[k] = blockDistance(x, blocks[k]);
            if (d < limit) w.under |= uint64_t{1} << k;
            if (d < w.least) w.least = d;
        }
        return w;
    }
    const __m128i l = _mm_set1_epi32(limit);
    __m128i least = _mm_set1_epi32(INT32_MAX);
    const auto group = [&](int32_t k) {
        blockDistance4(x, blocks + k, out + k);
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(out + k));
        w.under |= uint64_t(static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmplt_epi32(d, l))))) << k;
        least = select(_mm_cmplt_epi32(d, least), d, least);
    };
    int32_t k = 0;
    for (; k + 4 <= count; k += 4) group(k);
    if (k < count) group(count - 4);
    w.least = _mm_cvtsi128_si32(broadcastMin(least));
    return w;
}

}  // namespace

constinit const SearchKernels detail::sse2SearchKernels{nearestCodeSse2, nearestCodesEach<nearestCodeSse2>,
                                                        scanMatchRowSse2, patternDotsSse2, windowRowSse2};

}  // namespace kirune

#endif
