// The searches' AVX-512 kernel, compiled with -mavx512f -mavx512bw and
// reached only through its table once the CPU is known to have both. Nothing
// here may be inline with external linkage (see search_kernels_avx2.cpp).

#include "kirune/simd.h"

#if KIRUNE_X86_DISPATCH

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "encoder/search_kernels.h"

namespace kirune {

namespace {

// Each codeword's distance and position as one 64-bit key, distance in the
// high half: the least key is the nearest codeword, the first of equal
// distances, so one minimum does the whole choice. Eight codewords (`c`) to
// a register: each lane's pair sums add up in its high half, and one
// three-way logic operation keeps that half and puts the position below.
inline __m512i codeKeys8(__m512i yy, __m512i c, __m512i pos) {
    const __m512i d = _mm512_sub_epi16(yy, c);
    const __m512i m = _mm512_madd_epi16(d, d);
    return _mm512_ternarylogic_epi64(_mm512_add_epi32(m, _mm512_slli_epi64(m, 32)),
                                     _mm512_set1_epi64(int64_t{-1} << 32), pos, 0xEA);  // (a & b) | c
}

// The position in a least key, or -1 when its distance is 2^30 or more.
inline int positionOf(int64_t least) {
    if (least >> 32 >= int64_t{1} << 30) return -1;
    return static_cast<int>(least & 0xFFFFFFFF);
}

// Sixteen codewords to a pass, in two independent minima. Inlined into the
// stage's scans too, which would otherwise pay a call for the gain scan.
[[gnu::always_inline]] inline int nearestCodeAvx512(const int16_t (*codes)[4], int begin, int end,
                                                    const int16_t* y) {
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
        best0 = _mm512_mask_min_epi64(best0, _mm512_cmplt_epi64_mask(pos0, endv), best0,
                                      codeKeys8(yy, _mm512_loadu_si512(codes + p), pos0));
        best1 = _mm512_mask_min_epi64(best1, _mm512_cmplt_epi64_mask(pos1, endv), best1,
                                      codeKeys8(yy, _mm512_loadu_si512(codes + p + 8), pos1));
        pos0 = _mm512_add_epi64(pos0, step);
        pos1 = _mm512_add_epi64(pos1, step);
    }
    return positionOf(_mm512_reduce_min_epi64(_mm512_min_epi64(best0, best1)));
}

// The four shape scans of a stage side by side, eight codewords of each to
// a pass: one loop whose end the longest scan decides (the buckets of one
// block differ little in size), and one reduction for all four minima.
// Positions count from each scan's start, so one register serves all four.
// Each scan loads only its own rows; a finished one loads nothing.
void nearestCodesAvx512(const CodeScan* scans, int* out) {
    __m512i yy[4], length[4], best[4];
    const int16_t(*base[4])[4];
    int32_t rows[4];
    int longest = 0;
    for (int k = 0; k < 4; ++k) {
        int64_t y;
        std::memcpy(&y, scans[k].y, sizeof y);
        yy[k] = _mm512_set1_epi64(y);
        base[k] = scans[k].rows + scans[k].begin;
        rows[k] = scans[k].end - scans[k].begin;
        length[k] = _mm512_set1_epi64(rows[k]);
        best[k] = _mm512_set1_epi64(int64_t{1} << 62);
        longest = std::max(longest, rows[k]);
    }
    __m512i pos = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
    for (int p = 0; p < longest; p += 8) {
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
            const __mmask8 inside = _mm512_cmplt_epi64_mask(pos, length[k]);
            // A finished scan's pointer stays at its start, inside the table.
            const __m512i c = _mm512_maskz_loadu_epi64(inside, base[k] + (p < rows[k] ? p : 0));
            best[k] = _mm512_mask_min_epi64(best[k], inside, best[k], codeKeys8(yy[k], c, pos));
        }
        pos = _mm512_add_epi64(pos, _mm512_set1_epi64(8));
    }
    // The gain scan, usually the longest, by the single-scan loop; its
    // minimum's latency overlaps the shapes' reduction.
    out[4] = nearestCodeAvx512(scans[4].rows, scans[4].begin, scans[4].end, scans[4].y);
    // Halves of scans 0 and 1 (2 and 3) folded into one register, then
    // quarters into lane pairs: 128-bit lane k ends up holding scan k's least
    // key in both of its halves.
    const __m512i b01 = _mm512_min_epi64(_mm512_shuffle_i64x2(best[0], best[1], _MM_SHUFFLE(1, 0, 1, 0)),
                                         _mm512_shuffle_i64x2(best[0], best[1], _MM_SHUFFLE(3, 2, 3, 2)));
    const __m512i b23 = _mm512_min_epi64(_mm512_shuffle_i64x2(best[2], best[3], _MM_SHUFFLE(1, 0, 1, 0)),
                                         _mm512_shuffle_i64x2(best[2], best[3], _MM_SHUFFLE(3, 2, 3, 2)));
    __m512i all = _mm512_min_epi64(_mm512_shuffle_i64x2(b01, b23, _MM_SHUFFLE(2, 0, 2, 0)),
                                   _mm512_shuffle_i64x2(b01, b23, _MM_SHUFFLE(3, 1, 3, 1)));
    all = _mm512_min_epi64(all, _mm512_shuffle_epi32(all, _MM_PERM_BADC));
    alignas(64) int64_t least[8];
    _mm512_store_si512(least, all);
    for (int k = 0; k < 4; ++k) {
        const int at = positionOf(least[2 * k]);
        out[k] = at < 0 ? at : scans[k].begin + at;
    }
}

}  // namespace

// The match rows, the pattern products and the window distances stay on AVX2: sixteen blocks to a
// group measured slower on this machine's AVX-512 units, which split 512-bit
// work in two, as did groups of eight measured two blocks to a register; and
// eight patterns fill two 256-bit registers exactly.
constinit const SearchKernels detail::avx512SearchKernels{nearestCodeAvx512, nearestCodesAvx512,
                                                          detail::scanMatchRowAvx2, detail::patternDotsAvx2,
                                                          detail::windowRowAvx2};

}  // namespace kirune

#endif
