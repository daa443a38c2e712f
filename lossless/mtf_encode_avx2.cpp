// The move-to-front encoder's AVX2 form, compiled with -mavx2 and reached
// only once the CPU is known to have it. Nothing here may be inline with
// external linkage (see tools/check_isa_objects.sh).

#include "kirune/simd.h"

#if KIRUNE_X86_DISPATCH

#include <immintrin.h>

#include "lossless/rle_mtf.h"

namespace kirune {

namespace {

// v's bytes one lane on, below's top byte coming into lane 0.
__m256i oneLaneOn(__m256i v, __m256i below) {
    return _mm256_alignr_epi8(v, _mm256_permute2x128_si256(v, below, 0x03), 15);
}

uint32_t hitsOf(__m256i v, __m256i key) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, key)));
}

// Lanes j of the 32 from base with lo < base + j <= hi.
__m256i lanesBetween(uint32_t base, int32_t lo, int32_t hi) {
    const __m256i j = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                       22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    // Relative to base and clamped, so the signed byte compares hold.
    const auto rel = [base](int32_t x) {
        x -= static_cast<int32_t>(base);
        return static_cast<char>(x < -1 ? -1 : x > 32 ? 32 : x);
    };
    return _mm256_and_si256(_mm256_cmpgt_epi8(j, _mm256_set1_epi8(rel(lo))),
                            _mm256_cmpgt_epi8(_mm256_set1_epi8(rel(hi + 1)), j));
}

}  // namespace

// The steps of the AVX-512 form, with the list's front 64 bytes in two
// registers; the rest moves through memory in 32-byte halves.
void mtfEncodeAvx2(uint8_t* out, const uint8_t* in, uint32_t n) {
    alignas(32) uint8_t list[256];
    for (uint32_t i = 0; i < 256; ++i) list[i] = static_cast<uint8_t>(i);
    if (n == 0) return;
    __m256i lo = _mm256_load_si256(reinterpret_cast<const __m256i*>(list));
    __m256i hi = _mm256_load_si256(reinterpret_cast<const __m256i*>(list + 32));
    const auto rankOf = [&](__m256i key) -> uint32_t {
        const uint64_t hits = hitsOf(lo, key) | uint64_t{hitsOf(hi, key)} << 32;
        if (hits) return static_cast<uint32_t>(__builtin_ctzll(hits));
        for (uint32_t at = 64;; at += 32) {
            const uint32_t h = hitsOf(_mm256_load_si256(reinterpret_cast<const __m256i*>(list + at)), key);
            if (h) return at + static_cast<uint32_t>(__builtin_ctz(h));
        }
    };
    const auto place = [](uint32_t r, uint32_t prev) -> uint32_t { return r == 0 || (r == 1 && prev != 0) ? 0 : 1; };
    __m256i key = _mm256_set1_epi8(static_cast<char>(in[0]));
    uint32_t r = rankOf(key);
    uint32_t ins = place(r, 1);
    for (uint32_t i = 0;; ++i) {
        const uint8_t c = in[i];
        out[i] = static_cast<uint8_t>(r);
        if (i + 1 == n) break;
        const uint8_t next = in[i + 1];
        const __m256i nextKey = _mm256_set1_epi8(static_cast<char>(next));
        const uint32_t before = rankOf(nextKey);
        // Lanes ins + 1 .. r take their left neighbour, lane ins takes c.
        const int32_t from = static_cast<int32_t>(ins), upTo = static_cast<int32_t>(r);
        const __m256i shiftedLo = oneLaneOn(lo, _mm256_setzero_si256());
        const __m256i shiftedHi = oneLaneOn(hi, lo);
        if (r >= 64) [[unlikely]] {
            __m256i below = hi;
            for (uint32_t at = 64; at < 256; at += 32) {
                auto* p = reinterpret_cast<__m256i*>(list + at);
                const __m256i v = _mm256_load_si256(p);
                _mm256_store_si256(p, _mm256_blendv_epi8(v, oneLaneOn(v, below), lanesBetween(at, from, upTo)));
                below = v;
            }
        }
        lo = _mm256_blendv_epi8(lo, shiftedLo, lanesBetween(0, from, upTo));
        lo = _mm256_blendv_epi8(lo, key, lanesBetween(0, from - 1, from));
        hi = _mm256_blendv_epi8(hi, shiftedHi, lanesBetween(32, from, upTo));
        const uint32_t movedOn = before >= ins && before < r ? 1 : 0;
        const uint32_t rn = next == c ? ins : before + movedOn;
        ins = place(rn, r);
        r = rn;
        key = nextKey;
    }
}

}  // namespace kirune

#endif
