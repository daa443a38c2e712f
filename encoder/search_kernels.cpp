#include "encoder/search_kernels.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstring>

#if KIRUNE_X86_DISPATCH
#include <immintrin.h>
#endif

namespace kirune {

namespace {

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
    const int64_t limit = std::max(r.T, s.best);
    for (unsigned rest = mask; rest != 0; rest &= rest - 1) {
        const int k = std::countr_zero(rest);
        if (dist[k] >= limit) mask &= ~(1u << k);
    }
    while (mask != 0 && !s.done) {
        const int k = std::bit_width(mask) - 1;
        mask &= ~(1u << k);
        takeMatch(s, base + k, dist[k], r.T);
    }
}

inline bool inWindow(const MatchRow& r, int32_t e) { return e != 0 && e >= r.lo && e <= r.hi; }

// Columns c down to r.last one at a time: the reference, and every path's tail.
void scanMatchFrom(const MatchRow& r, MatchScan& s, int32_t c) {
    for (; c >= r.last && !s.done; --c)
        if (inWindow(r, r.energies[c])) takeMatch(s, c, scalar::blockDistance(*r.x, r.blocks[c]), r.T);
}

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

void scanMatchRowScalar(const MatchRow& r, MatchScan& s) { scanMatchFrom(r, s, r.first); }

inline BlockVec patternBlock(int k) {
    BlockVec v;
    std::memcpy(v.lane, patternDictionary[k], sizeof v.lane);
    return v;
}

void patternDotsScalar(const BlockVec& target, int32_t* dots) {
    for (int k = 0; k < kPatternCount; ++k) dots[k] = scalar::blockDot(target, patternBlock(k));
}

constexpr SearchKernels kScalar{nearestCodeScalar, scanMatchRowScalar, patternDotsScalar};

#if KIRUNE_SSE2

// Bit k set when dist[k] is under the limit below which a candidate can
// still be taken; mostly none is, and the group ends there.
inline unsigned underLimit4(__m128i dist, const MatchRow& r, const MatchScan& s) {
    const int64_t limit = std::max(r.T, s.best);
    if (limit > INT32_MAX) return 0xFu;
    const __m128i l = _mm_set1_epi32(static_cast<int32_t>(std::max<int64_t>(limit, INT32_MIN)));
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
    if (r.first - r.last < 3) return scanMatchFrom(r, s, c);
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

constexpr SearchKernels kSse2{nearestCodeSse2, scanMatchRowSse2, patternDotsSse2};

#endif

#if KIRUNE_X86_DISPATCH
#define KIRUNE_AVX2 __attribute__((target("avx2")))

// The least of the eight signed lanes, in every lane.
KIRUNE_AVX2 inline __m256i broadcastMin8(__m256i x) {
    x = _mm256_min_epi32(x, _mm256_permute2x128_si256(x, x, 1));
    x = _mm256_min_epi32(x, _mm256_shuffle_epi32(x, _MM_SHUFFLE(1, 0, 3, 2)));
    return _mm256_min_epi32(x, _mm256_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)));
}

// Distances from y (in every 64-bit lane of yy) to codewords c[0..7]: the
// pair sums of c[0..3] and c[4..7] add up across into the lane order of
// kCodeLanes8.
KIRUNE_AVX2 inline __m256i codeDistances8(__m256i yy, const int16_t (*c)[4]) {
    const __m256i d0 = _mm256_sub_epi16(yy, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c[0])));
    const __m256i d1 = _mm256_sub_epi16(yy, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c[4])));
    return _mm256_hadd_epi32(_mm256_madd_epi16(d0, d0), _mm256_madd_epi16(d1, d1));
}

// Eight running minima; the strict comparison keeps each lane's first.
KIRUNE_AVX2 inline void keepNearer8(__m256i dist, __m256i pos, __m256i& best, __m256i& bestAt) {
    const __m256i nearer = _mm256_cmpgt_epi32(best, dist);
    best = _mm256_blendv_epi8(best, dist, nearer);
    bestAt = _mm256_blendv_epi8(bestAt, pos, nearer);
}

// Eight codewords to a pass, four to a register.
KIRUNE_AVX2 int nearestCodeAvx2(const int16_t (*codes)[4], int begin, int end, const int16_t* y) {
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
KIRUNE_AVX2 inline __m256i blockDistance8(__m256i x, const BlockVec* b) {
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
KIRUNE_AVX2 inline unsigned energyWindow8(const int32_t* e, __m256i lo, __m256i hi) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(e));
    const __m256i out = _mm256_or_si256(_mm256_or_si256(_mm256_cmpgt_epi32(lo, x), _mm256_cmpgt_epi32(x, hi)),
                                        _mm256_cmpeq_epi32(x, _mm256_setzero_si256()));
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(out))) ^ 0xFFu;
}

// Bit k set when dist[k] is under the limit below which a candidate can
// still be taken; mostly none is, and the group ends here.
KIRUNE_AVX2 inline unsigned underLimit8(__m256i dist, const MatchRow& r, const MatchScan& s) {
    const int64_t limit = std::max(r.T, s.best);
    if (limit > INT32_MAX) return 0xFFu;
    const __m256i l = _mm256_set1_epi32(static_cast<int32_t>(std::max<int64_t>(limit, INT32_MIN)));
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(l, dist))));
}

// The candidates of one group of eight from column `base`, of those in `mask`.
KIRUNE_AVX2 inline void scanGroup8(const MatchRow& r, MatchScan& s, __m256i x, int32_t base, unsigned mask) {
    const __m256i d = blockDistance8(x, r.blocks + base);
    mask &= underLimit8(d, r, s);
    if (mask == 0) return;
    alignas(32) int32_t dist[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(dist), d);
    takeGroup(r, s, base, mask, dist);
}

// Columns c down to r.last in groups of eight.
KIRUNE_AVX2 void scanMatchFromAvx2(const MatchRow& r, MatchScan& s, int32_t c) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r.x->lane));
    const __m256i lo = _mm256_set1_epi32(r.lo), hi = _mm256_set1_epi32(r.hi);
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

KIRUNE_AVX2 void scanMatchRowAvx2(const MatchRow& r, MatchScan& s) { scanMatchFromAvx2(r, s, r.first); }

// blockDot of t with patterns p and q: the halved sums of the even and of the
// odd pair products (lanes 0,1 and 2,3 of each row), in lanes 0 and 4.
KIRUNE_AVX2 inline __m256i patternDotPair(__m256i t, const int16_t* p, const int16_t* q) {
    const __m256i mp = _mm256_madd_epi16(t, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    const __m256i mq = _mm256_madd_epi16(t, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)));
    // Rows 0,1 plus rows 2,3: even, odd, even, odd sums of p, then of q.
    __m256i x = _mm256_add_epi32(_mm256_permute2x128_si256(mp, mq, 0x20), _mm256_permute2x128_si256(mp, mq, 0x31));
    x = _mm256_add_epi32(x, _mm256_shuffle_epi32(x, _MM_SHUFFLE(1, 0, 3, 2)));
    x = _mm256_srai_epi32(x, 1);
    return _mm256_add_epi32(x, _mm256_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)));
}

KIRUNE_AVX2 void patternDotsAvx2(const BlockVec& target, int32_t* dots) {
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

constexpr SearchKernels kAvx2{nearestCodeAvx2, scanMatchRowAvx2, patternDotsAvx2};

#define KIRUNE_AVX512 __attribute__((target("avx2,avx512f,avx512bw")))
// GCC 12's AVX-512 headers start some intrinsics from an undefined register,
// which its own uninitialised-use check then reports.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Each codeword's distance and position as one 64-bit key, distance in the
// high half: the least key is the nearest codeword, the first of equal
// distances, so one minimum does the whole choice. Eight codewords to a
// register, whose two pair sums add up in the low half of their lane.
KIRUNE_AVX512 inline __m512i codeKeys8(__m512i yy, const int16_t (*codes)[4], __m512i pos) {
    const __m512i d = _mm512_sub_epi16(yy, _mm512_loadu_si512(codes));
    const __m512i m = _mm512_madd_epi16(d, d);
    return _mm512_or_si512(_mm512_slli_epi64(_mm512_add_epi32(m, _mm512_srli_epi64(m, 32)), 32), pos);
}

// Sixteen codewords to a pass, in two independent minima.
KIRUNE_AVX512 int nearestCodeAvx512(const int16_t (*codes)[4], int begin, int end, const int16_t* y) {
    if (end <= begin) return -1;
    int64_t row;
    std::memcpy(&row, y, sizeof row);
    const __m512i yy = _mm512_set1_epi64(row), endv = _mm512_set1_epi64(end), step = _mm512_set1_epi64(16);
    // Distance 2^30 never wins.
    __m512i best0 = _mm512_set1_epi64(int64_t{1} << 62), best1 = best0;
    __m512i pos0 = _mm512_add_epi64(_mm512_set1_epi64(begin), _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7));
    __m512i pos1 = _mm512_add_epi64(pos0, _mm512_set1_epi64(8));
    for (int p = begin; p < end; p += 16) {
        // Rows past the end take no part.
        best0 = _mm512_mask_min_epi64(best0, _mm512_cmplt_epi64_mask(pos0, endv), best0, codeKeys8(yy, codes + p, pos0));
        best1 = _mm512_mask_min_epi64(best1, _mm512_cmplt_epi64_mask(pos1, endv), best1,
                                      codeKeys8(yy, codes + p + 8, pos1));
        pos0 = _mm512_add_epi64(pos0, step);
        pos1 = _mm512_add_epi64(pos1, step);
    }
    const int64_t least = _mm512_reduce_min_epi64(_mm512_min_epi64(best0, best1));
    if (least >> 32 >= int64_t{1} << 30) return -1;
    return static_cast<int>(least & 0xFFFFFFFF);
}

// The match rows and the pattern products stay on AVX2: sixteen blocks to a
// group measured slower on this machine's AVX-512 units, which split 512-bit
// work in two, and eight patterns fill two 256-bit registers exactly.
constexpr SearchKernels kAvx512{nearestCodeAvx512, scanMatchRowAvx2, patternDotsAvx2};

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif

}  // namespace

namespace detail {

const SearchKernels* scalarSearchKernels() { return &kScalar; }

const SearchKernels* sse2SearchKernels() {
#if KIRUNE_SSE2
    return &kSse2;
#else
    return nullptr;
#endif
}

const SearchKernels* avx2SearchKernels() {
#if KIRUNE_X86_DISPATCH
    return &kAvx2;
#else
    return nullptr;
#endif
}

const SearchKernels* avx512SearchKernels() {
#if KIRUNE_X86_DISPATCH
    return &kAvx512;
#else
    return nullptr;
#endif
}

}  // namespace detail

const SearchKernels& searchKernels(VectorPath path) {
    // Resolved once: each path's table, or that of the next path below it
    // the build and the CPU have.
    static const auto resolved = [] {
        const SearchKernels* const built[kVectorPathCount] = {detail::scalarSearchKernels(), detail::sse2SearchKernels(),
                                                              detail::avx2SearchKernels(),
                                                              detail::avx512SearchKernels()};
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
