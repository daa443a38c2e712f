// The move-to-front encoder's AVX-512 form, compiled with -mavx512f
// -mavx512bw and reached only once the CPU is known to have both. Nothing
// here may be inline with external linkage (see tools/check_isa_objects.sh).

#include "kirune/simd.h"

#if KIRUNE_X86_DISPATCH

#include <immintrin.h>

#include "lossless/rle_mtf.h"

namespace kirune {

namespace {

// Lanes 0 .. k-1 (k <= 64 clamped at 0).
uint64_t lanesBelow(int32_t k) {
    return k >= 64 ? ~uint64_t{0} : k <= 0 ? 0 : (uint64_t{1} << k) - 1;
}

// v's bytes one lane on, below's top byte coming into lane 0.
__m512i oneLaneOn(__m512i v, __m512i below) {
    return _mm512_alignr_epi8(v, _mm512_alignr_epi64(v, below, 6), 15);
}

// Where key's byte sits beyond the front 64 (it is in the list once).
uint32_t rankBeyondFront(const uint8_t* list, __m512i key) {
    for (uint32_t at = 64;; at += 64) {
        const uint64_t hits = _mm512_cmpeq_epi8_mask(_mm512_load_si512(list + at), key);
        if (hits) return at + static_cast<uint32_t>(__builtin_ctzll(hits));
    }
}

}  // namespace

// The same steps as the 16-byte form in rle_mtf.cpp: the next byte is looked
// up before the current move and its rank corrected for that move.
void mtfEncodeAvx512(uint8_t* out, const uint8_t* in, uint32_t n) {
    // The list's front 64 bytes stay in one register: nearly every rank of a
    // side stream falls there, and a move below 64 leaves the rest alone, so
    // the rest is kept in memory (list[0 .. 63] there is not kept up).
    alignas(64) uint8_t list[256];
    for (uint32_t i = 0; i < 256; ++i) list[i] = static_cast<uint8_t>(i);
    if (n == 0) return;
    __m512i front = _mm512_load_si512(list);
    const auto rankOf = [&](__m512i key) {
        const uint64_t hits = _mm512_cmpeq_epi8_mask(front, key);
        return hits ? static_cast<uint32_t>(__builtin_ctzll(hits)) : rankBeyondFront(list, key);
    };
    const auto place = [](uint32_t r, uint32_t prev) -> uint32_t { return r == 0 || (r == 1 && prev != 0) ? 0 : 1; };
    __m512i key = _mm512_set1_epi8(static_cast<char>(in[0]));
    uint32_t r = rankOf(key);
    uint32_t ins = place(r, 1);
    for (uint32_t i = 0;; ++i) {
        const uint8_t c = in[i];
        out[i] = static_cast<uint8_t>(r);
        if (i + 1 == n) break;
        const uint8_t next = in[i + 1];
        const __m512i nextKey = _mm512_set1_epi8(static_cast<char>(next));
        const uint32_t before = rankOf(nextKey);
        if (r < 64) [[likely]] {
            // Lanes ins + 1 .. r take their left neighbour, lane ins takes c.
            const uint64_t moved = (~uint64_t{0} >> (63 - r)) & (~uint64_t{0} << (ins + 1));
            front = _mm512_mask_mov_epi8(front, moved, oneLaneOn(front, _mm512_setzero_si512()));
            front = _mm512_mask_mov_epi8(front, uint64_t{1} << ins, key);
        } else {
            // ins is 1 for every rank from 2 on. The rest moves in whole
            // vectors without a branch on r: a loop or byte stores there
            // would mispredict and stall the next loads.
            __m512i below = front;
            for (uint32_t at = 64; at < 256; at += 64) {
                const __m512i v = _mm512_load_si512(list + at);
                const uint64_t moved = lanesBelow(static_cast<int32_t>(r + 1 - at));
                _mm512_store_si512(list + at, _mm512_mask_mov_epi8(v, moved, oneLaneOn(v, below)));
                below = v;
            }
            front = _mm512_mask_mov_epi8(front, ~uint64_t{3}, oneLaneOn(front, _mm512_setzero_si512()));
            front = _mm512_mask_mov_epi8(front, uint64_t{2}, key);
        }
        const uint32_t movedOn = before >= ins && before < r ? 1 : 0;
        const uint32_t rn = next == c ? ins : before + movedOn;
        ins = place(rn, r);
        r = rn;
        key = nextKey;
    }
}

}  // namespace kirune

#endif
