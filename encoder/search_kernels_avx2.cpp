// The searches' AVX2 kernels, compiled with -mavx2 and reached only through
// their table once the CPU is known to have AVX2. Nothing here may be inline
// with external linkage (codec/block_ops.h stays out): a copy compiled for
// AVX2 could stand in for the baseline one elsewhere.

#include "kirune/simd.h"

#if KIRUNE_X86_DISPATCH

#include <immintrin.h>

#include <cstring>

#include "codec/dictionary.h"
#include "encoder/search_kernels_take.h"

namespace kirune {

namespace {

// The least of the eight signed lanes, in every lane.
inline __m256i broadcastMin8(__m256i x) {
    x = _mm256_min_epi32(x, _mm256_permute2x128_si256(x, x, 1));
    x = _mm256_min_epi32(x, _mm256_shuffle_epi32(x, _MM_SHUFFLE(1, 0, 3, 2)));
    return _mm256_min_epi32(x, _mm256_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)));
}

// Distances from y (in every 64-bit lane of yy) to codewords c[0..7]: the
// pair sums of c[0..3] and c[4..7] add up across into the lane order of
// nearestCodeAvx2's positions.
inline __m256i codeDistances8(__m256i yy, const int16_t (*c)[4]) {
    const __m256i d0 = _mm256_sub_epi16(yy, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c[0])));
    const __m256i d1 = _mm256_sub_epi16(yy, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c[4])));
    return _mm256_hadd_epi32(_mm256_madd_epi16(d0, d0), _mm256_madd_epi16(d1, d1));
}

// Eight running minima; the strict comparison keeps each lane's first.
inline void keepNearer8(__m256i dist, __m256i pos, __m256i& best, __m256i& bestAt) {
    const __m256i nearer = _mm256_cmpgt_epi32(best, dist);
    best = _mm256_blendv_epi8(best, dist, nearer);
    bestAt = _mm256_blendv_epi8(bestAt, pos, nearer);
}

// Eight codewords to a pass, four to a register.
int nearestCodeAvx2(const int16_t (*codes)[4], int begin, int end, const int16_t* y) {
    if (end <= begin) return -1;
    int64_t row;
    std::memcpy(&row, y, sizeof row);
    const __m256i yy = _mm256_set1_epi64x(row);
    __m256i best = _mm256_set1_epi32(int32_t{1} << 30), bestAt = _mm256_set1_epi32(INT32_MAX);
    __m256i pos = _mm256_add_epi32(_mm256_set1_epi32(begin), _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7));
    int p = begin;
    for (; p + 8 <= end; p += 8) {
        keepNearer8(codeDistances8(yy, codes + p), pos, best, bestAt);
        pos = _mm256_add_epi32(pos, _mm256_set1_epi32(8));
    }
    if (p < end) {
        // Rows past the end get a distance nothing is below.
        const __m256i inside = _mm256_cmpgt_epi32(_mm256_set1_epi32(end), pos);
        keepNearer8(_mm256_blendv_epi8(_mm256_set1_epi32(INT32_MAX), codeDistances8(yy, codes + p), inside), pos,
                    best, bestAt);
    }
    const __m256i least = broadcastMin8(best);
    if (_mm256_cvtsi256_si32(least) >= int32_t{1} << 30) return -1;
    const __m256i at = _mm256_blendv_epi8(_mm256_set1_epi32(INT32_MAX), bestAt, _mm256_cmpeq_epi32(best, least));
    return _mm256_cvtsi256_si32(broadcastMin8(at));
}

// Distances from x to the eight blocks b[0..7], in order. Each block is one
// register; two rounds of pair sums leave the halves of blocks 0..3 (4..7)
// in the two halves of one register.
inline __m256i blockDistance8(__m256i x, const BlockVec* b) {
    __m256i m[8];
    for (int k = 0; k < 8; ++k) {
        const __m256i d = _mm256_sub_epi16(x, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b[k].lane)));
        m[k] = _mm256_madd_epi16(d, d);
    }
    const __m256i lo = _mm256_hadd_epi32(_mm256_hadd_epi32(m[0], m[1]), _mm256_hadd_epi32(m[2], m[3]));
    const __m256i hi = _mm256_hadd_epi32(_mm256_hadd_epi32(m[4], m[5]), _mm256_hadd_epi32(m[6], m[7]));
    return _mm256_add_epi32(_mm256_permute2x128_si256(lo, hi, 0x20), _mm256_permute2x128_si256(lo, hi, 0x31));
}

// Bit k set when e[k] is not 0 and lies in [lo, hi], for eight energies.
inline unsigned energyWindow8(const int32_t* e, __m256i lo, __m256i hi) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(e));
    const __m256i out = _mm256_or_si256(_mm256_or_si256(_mm256_cmpgt_epi32(lo, x), _mm256_cmpgt_epi32(x, hi)),
                                        _mm256_cmpeq_epi32(x, _mm256_setzero_si256()));
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(out))) ^ 0xFFu;
}

// Bit k set when dist[k] is under the limit below which a candidate can
// still be taken; mostly none is, and the group ends here.
inline unsigned underLimit8(__m256i dist, const MatchRow& r, const MatchScan& s) {
    const int64_t limit = largerOf(r.T, s.best);
    if (limit > INT32_MAX) return 0xFFu;
    const __m256i l = _mm256_set1_epi32(static_cast<int32_t>(largerOf(limit, INT32_MIN)));
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(l, dist))));
}

// The candidates of one group of eight from column `base`, of those in `mask`.
inline void scanGroup8(const MatchRow& r, MatchScan& s, __m256i x, int32_t base, unsigned mask) {
    const __m256i d = blockDistance8(x, r.blocks + base);
    mask &= underLimit8(d, r, s);
    if (mask == 0) return;
    alignas(32) int32_t dist[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(dist), d);
    takeGroup(r, s, base, mask, dist);
}

// blockDot of t with patterns p and q: the halved sums of the even and of the
// odd pair products (lanes 0,1 and 2,3 of each row), in lanes 0 and 4.
inline __m256i patternDotPair(__m256i t, const int16_t* p, const int16_t* q) {
    const __m256i mp = _mm256_madd_epi16(t, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    const __m256i mq = _mm256_madd_epi16(t, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)));
    // Rows 0,1 plus rows 2,3: even, odd, even, odd sums of p, then of q.
    __m256i x = _mm256_add_epi32(_mm256_permute2x128_si256(mp, mq, 0x20), _mm256_permute2x128_si256(mp, mq, 0x31));
    x = _mm256_add_epi32(x, _mm256_shuffle_epi32(x, _MM_SHUFFLE(1, 0, 3, 2)));
    x = _mm256_srai_epi32(x, 1);
    return _mm256_add_epi32(x, _mm256_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)));
}

}  // namespace

namespace detail {

// Columns from r.first down to r.last in groups of eight.
void scanMatchRowAvx2(const MatchRow& r, MatchScan& s) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r.x->lane));
    const __m256i lo = _mm256_set1_epi32(r.lo), hi = _mm256_set1_epi32(r.hi);
    int32_t c = r.first;
    for (; c - 7 >= r.last && !s.done; c -= 8) {
        const unsigned mask = energyWindow8(r.energies + c - 7, lo, hi);
        if (mask != 0) scanGroup8(r, s, x, c - 7, mask);
    }
    if (s.done || c < r.last) return;
    if (r.first - r.last < 7) return scanMatchFrom(r, s, c);
    // The last few columns as one more group of eight from `last`, with
    // the columns already scanned masked off.
    const unsigned mask = energyWindow8(r.energies + r.last, lo, hi) & ((2u << (c - r.last)) - 1);
    if (mask != 0) scanGroup8(r, s, x, r.last, mask);
}

void patternDotsAvx2(const BlockVec& target, int32_t* dots) {
    static_assert(kPatternCount == 8);
    const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(target.lane));
    const __m256i d01 = patternDotPair(t, patternDictionary[0], patternDictionary[1]);
    const __m256i d23 = patternDotPair(t, patternDictionary[2], patternDictionary[3]);
    const __m256i d45 = patternDotPair(t, patternDictionary[4], patternDictionary[5]);
    const __m256i d67 = patternDotPair(t, patternDictionary[6], patternDictionary[7]);
    // Lanes 0..3: patterns 0, 2, 4, 6; lanes 4..7: patterns 1, 3, 5, 7.
    const __m256i all = _mm256_unpacklo_epi64(_mm256_unpacklo_epi32(d01, d23), _mm256_unpacklo_epi32(d45, d67));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dots),
                        _mm256_permutevar8x32_epi32(all, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
}

// Eight blocks to a step; the last few as a group of eight ending at the
// last block (measured twice, which changes neither mask nor least), or
// one by one in a row shorter than eight.
WindowRow windowRowAvx2(const BlockVec& x, const BlockVec* blocks, int32_t count, int32_t limit, int32_t* out) {
    const __m256i xx = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x.lane));
    WindowRow w;
    if (count < 8) {
        for (int32_t k = 0; k < count; ++k) {
            const __m256i d =
                _mm256_sub_epi16(xx, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(blocks[k].lane)));
            const __m256i m = _mm256_madd_epi16(d, d);
            const __m128i h = _mm_add_epi32(_mm256_castsi256_si128(m), _mm256_extracti128_si256(m, 1));
            const __m128i q = _mm_add_epi32(h, _mm_shuffle_epi32(h, _MM_SHUFFLE(1, 0, 3, 2)));
            const int32_t dist = out[k] = _mm_cvtsi128_si32(_mm_add_epi32(q, _mm_shuffle_epi32(q, _MM_SHUFFLE(2, 3, 0, 1))));
            if (dist < limit) w.under |= uint64_t{1} << k;
            if (dist < w.least) w.least = dist;
        }
        return w;
    }
    const __m256i l = _mm256_set1_epi32(limit);
    __m256i least = _mm256_set1_epi32(INT32_MAX);
    const auto group = [&](int32_t k) {
        const __m256i d = blockDistance8(xx, blocks + k);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), d);
        const auto under = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(l, d))));
        w.under |= uint64_t{under} << k;
        least = _mm256_min_epi32(least, d);
    };
    int32_t k = 0;
    for (; k + 8 <= count; k += 8) group(k);
    if (k < count) group(count - 8);
    w.least = _mm256_cvtsi256_si32(broadcastMin8(least));
    return w;
}

constinit const SearchKernels avx2SearchKernels{nearestCodeAvx2, nearestCodesEach<nearestCodeAvx2>,
                                                scanMatchRowAvx2, patternDotsAvx2, windowRowAvx2};

}  // namespace detail

}  // namespace kirune

#endif
