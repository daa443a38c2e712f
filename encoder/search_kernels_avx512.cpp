// The searches' AVX-512 kernel, compiled with -mavx512f -mavx512bw and
// reached only through its table once the CPU is known to have both. Nothing
// here may be inline with external linkage (see search_kernels_avx2.cpp).

#include "kirune/simd.h"

#if KIRUNE_X86_DISPATCH

#include <immintrin.h>

#include <cstring>

#include "encoder/search_kernels.h"

namespace kirune {

namespace {

// Each codeword's distance and position as one 64-bit key, distance in the
// high half: the least key is the nearest codeword, the first of equal
// distances, so one minimum does the whole choice. Eight codewords to a
// register, whose two pair sums add up in the low half of their lane.
inline __m512i codeKeys8(__m512i yy, const int16_t (*codes)[4], __m512i pos) {
    const __m512i d = _mm512_sub_epi16(yy, _mm512_loadu_si512(codes));
    const __m512i m = _mm512_madd_epi16(d, d);
    return _mm512_or_si512(_mm512_slli_epi64(_mm512_add_epi32(m, _mm512_srli_epi64(m, 32)), 32), pos);
}

// Sixteen codewords to a pass, in two independent minima.
int nearestCodeAvx512(const int16_t (*codes)[4], int begin, int end, const int16_t* y) {
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

}  // namespace

// The match rows, the pattern products and the window distances stay on AVX2: sixteen blocks to a
// group measured slower on this machine's AVX-512 units, which split 512-bit
// work in two, and eight patterns fill two 256-bit registers exactly.
constinit const SearchKernels detail::avx512SearchKernels{nearestCodeAvx512, detail::scanMatchRowAvx2,
                                                          detail::patternDotsAvx2, detail::windowRowAvx2};

}  // namespace kirune

#endif
