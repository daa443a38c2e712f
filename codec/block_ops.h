#pragma once
// Packed 4x4 block arithmetic shared bit for bit by the encoder and the decoder.
// Lane additions wrap modulo 2^16, gain products are 32-bit (wrapping) and
// shifted arithmetically; nothing saturates unless stated. Arguments may alias.
//
// The operations are inline because the searches call them millions of times
// per plane. kirune::scalar holds the plain reference of every operation that
// has a vector form; the vector form must agree with it on every input, and
// targets without SSE2 use it directly.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "codec/block_vec.h"
#include "kirune/simd.h"

#if KIRUNE_SSE2
#include <emmintrin.h>
#endif

namespace kirune {

namespace detail {

// 32-bit product with wrap-around, as the packed integer units form it.
inline int32_t mul32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

inline int32_t add32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

}  // namespace detail

namespace scalar {

inline BlockVec& blockAdd(const BlockVec& a, const BlockVec& b, BlockVec& dst) {
    for (int i = 0; i < 16; ++i) dst.lane[i] = static_cast<int16_t>(a.lane[i] + b.lane[i]);
    return dst;
}

inline BlockVec& blockSub(const BlockVec& a, const BlockVec& b, BlockVec& dst) {
    for (int i = 0; i < 16; ++i) dst.lane[i] = static_cast<int16_t>(a.lane[i] - b.lane[i]);
    return dst;
}

inline int16_t* rowSub(const int16_t* a, const int16_t* b, int16_t* dst) {
    for (int i = 0; i < 4; ++i) dst[i] = static_cast<int16_t>(a[i] - b[i]);
    return dst;
}

inline void blockSubScalar(const BlockVec& src, int16_t s, BlockVec& dst) {
    for (int i = 0; i < 16; ++i) dst.lane[i] = static_cast<int16_t>(src.lane[i] - s);
}

inline BlockVec& blockScale15(const BlockVec& src, int32_t g, BlockVec& dst) {
    for (int i = 0; i < 16; ++i) dst.lane[i] = static_cast<int16_t>(detail::mul32(src.lane[i], g) >> 15);
    return dst;
}

inline void rowScale13(const int16_t* src, int32_t g, int16_t* dst) {
    for (int i = 0; i < 4; ++i) dst[i] = static_cast<int16_t>(detail::mul32(src[i], g) >> 13);
}

inline void rowScale8(int16_t* v, int32_t g) {
    for (int i = 0; i < 4; ++i) v[i] = static_cast<int16_t>(detail::mul32(v[i], g) >> 8);
}

// Row i of dst is rowScale13(rows[i], g[i]).
inline BlockVec& rowsScale13(const int16_t* const rows[4], const int16_t g[4], BlockVec& dst) {
    for (int i = 0; i < 4; ++i) rowScale13(rows[i], g[i], dst.lane + 4 * i);
    return dst;
}

inline void blockScale5(BlockVec& v, int32_t g) {
    for (auto& l : v.lane) l = static_cast<int16_t>(detail::mul32(l, g) >> 5);
}

inline int32_t blockDot(const BlockVec& a, const BlockVec& b) {
    using detail::add32, detail::mul32;
    int32_t d0 = 0, d1 = 0;
    for (int r = 0; r < 16; r += 4) {
        d0 = add32(d0, add32(mul32(a.lane[r], b.lane[r]), mul32(a.lane[r + 1], b.lane[r + 1])));
        d1 = add32(d1, add32(mul32(a.lane[r + 2], b.lane[r + 2]), mul32(a.lane[r + 3], b.lane[r + 3])));
    }
    return add32(d0 >> 1, d1 >> 1);
}

inline int32_t blockEnergy(const BlockVec& v) {
    int32_t e = 0;
    for (int i = 0; i < 16; ++i) e = detail::add32(e, detail::mul32(v.lane[i], v.lane[i]));
    return e;
}

inline int32_t rowEnergy(const int16_t* v) {
    int32_t e = 0;
    for (int i = 0; i < 4; ++i) e = detail::add32(e, detail::mul32(v[i], v[i]));
    return e;
}

inline int32_t blockDistance(const BlockVec& a, const BlockVec& b) {
    BlockVec d;
    return blockEnergy(blockSub(a, b, d));
}

inline int32_t rowDistance(const int16_t* a, const int16_t* b) {
    int16_t d[4];
    return rowEnergy(rowSub(a, b, d));
}

inline void blockDistance4(const BlockVec& a, const BlockVec* b, int32_t* out) {
    for (int k = 0; k < 4; ++k) out[k] = blockDistance(a, b[k]);
}

inline void blockShiftDown(BlockVec& v, int shift) {
    for (auto& l : v.lane) {
        const int32_t x = l;
        l = static_cast<int16_t>(x > 0 ? (x + 8) >> shift : -((8 - x) >> shift));
    }
}

inline BlockVec& blockShiftUp(BlockVec& v, int shift) {
    for (auto& l : v.lane) l = static_cast<int16_t>(static_cast<uint16_t>(l) << shift);
    return v;
}

inline int rowLargest(const int16_t* v) {
    int p = 0;
    for (int k = 1; k < 4; ++k)
        if (v[k] > v[p]) p = k;
    return p;
}

inline int rowLargestMagnitude(const int16_t* v) {
    int p = 0;
    int32_t magnitude = v[0] < 0 ? -int32_t{v[0]} : v[0];
    for (int k = 1; k < 4; ++k) {
        const int32_t m = v[k] < 0 ? -int32_t{v[k]} : v[k];
        if (m > magnitude) {
            magnitude = m;
            p = k;
        }
    }
    return p;
}

inline void rowsLargestMagnitude(const BlockVec& v, int p[4]) {
    for (int i = 0; i < 4; ++i) p[i] = rowLargestMagnitude(v.lane + 4 * i);
}

inline unsigned energyWindow4(const int32_t* e, int32_t lo, int32_t hi) {
    unsigned m = 0;
    for (int k = 0; k < 4; ++k)
        if (e[k] != 0 && e[k] >= lo && e[k] <= hi) m |= 1u << k;
    return m;
}

}  // namespace scalar

#if KIRUNE_SSE2
namespace detail {

inline __m128i load(const BlockVec& v, int half) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(v.lane) + half);
}
inline void store(BlockVec& v, int half, __m128i x) { _mm_store_si128(reinterpret_cast<__m128i*>(v.lane) + half, x); }
inline __m128i loadRow(const int16_t* r) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r)); }
inline void storeRow(int16_t* r, __m128i x) { _mm_storel_epi64(reinterpret_cast<__m128i*>(r), x); }

// A 32-bit factor g split for 16-bit lane products: v * g mod 2^32 has low
// half v * lo and high half mulhi(v, lo) + v * hi, where hi is g's high half
// plus one when lo, read as signed, is negative (it stands for lo - 2^16).
struct Factor {
    __m128i lo, hi;
};
inline Factor factor(int32_t g) {
    const auto u = static_cast<uint32_t>(g);
    return {_mm_set1_epi16(static_cast<int16_t>(u & 0xFFFF)),
            _mm_set1_epi16(static_cast<int16_t>((u >> 16) + (u >> 15 & 1)))};
}

// Bits n..n+15 of each lane's 32-bit product, i.e. (v * g) >> n cut to 16
// bits, for 1 <= n <= 15.
template <int n>
inline __m128i mulShift(__m128i v, const Factor& f) {
    const __m128i lo = _mm_mullo_epi16(v, f.lo);
    const __m128i hi = _mm_add_epi16(_mm_mulhi_epi16(v, f.lo), _mm_mullo_epi16(v, f.hi));
    return _mm_or_si128(_mm_srli_epi16(lo, n), _mm_slli_epi16(hi, 16 - n));
}

// Wrapping sum of the four 32-bit lanes.
inline int32_t sum4(__m128i x) {
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, _MM_SHUFFLE(1, 0, 3, 2)));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(x);
}

// pmaddwd wraps exactly as the 32-bit sums do: its one overflow, two products
// of -32768 * -32768, yields 0x80000000, which is 2^31 modulo 2^32.
inline __m128i square(__m128i x) { return _mm_madd_epi16(x, x); }

inline __m128i select(__m128i mask, __m128i a, __m128i b) {
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}

// The least (greatest) of the four signed 32-bit lanes, in every lane.
inline __m128i broadcastMin(__m128i x) {
    __m128i y = _mm_shuffle_epi32(x, _MM_SHUFFLE(1, 0, 3, 2));
    x = select(_mm_cmplt_epi32(x, y), x, y);
    y = _mm_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1));
    return select(_mm_cmplt_epi32(x, y), x, y);
}
inline __m128i broadcastMax(__m128i x) {
    __m128i y = _mm_shuffle_epi32(x, _MM_SHUFFLE(1, 0, 3, 2));
    x = select(_mm_cmpgt_epi32(x, y), x, y);
    y = _mm_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1));
    return select(_mm_cmpgt_epi32(x, y), x, y);
}

// The four lanes of a row widened to 32 bits with their signs.
inline __m128i widenRow(const int16_t* r) {
    const __m128i x = loadRow(r);
    return _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16);
}

// Index of the first lane equal to the greatest; every row has one.
inline int firstOfGreatest(__m128i x) {
    return std::countr_zero(static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(x, broadcastMax(x))))));
}

}  // namespace detail
#endif

inline void blockFill(BlockVec& dst, int16_t value) {
    for (auto& l : dst.lane) l = value;
}
inline void blockZero(BlockVec& dst) { std::memset(dst.lane, 0, sizeof dst.lane); }
inline BlockVec& blockCopy(const BlockVec& src, BlockVec& dst) {
    std::memmove(dst.lane, src.lane, sizeof dst.lane);
    return dst;
}

#if KIRUNE_SSE2

inline BlockVec& blockAdd(const BlockVec& a, const BlockVec& b, BlockVec& dst) {
    using namespace detail;
    const __m128i s0 = _mm_add_epi16(load(a, 0), load(b, 0)), s1 = _mm_add_epi16(load(a, 1), load(b, 1));
    store(dst, 0, s0);
    store(dst, 1, s1);
    return dst;
}

inline BlockVec& blockSub(const BlockVec& a, const BlockVec& b, BlockVec& dst) {
    using namespace detail;
    const __m128i s0 = _mm_sub_epi16(load(a, 0), load(b, 0)), s1 = _mm_sub_epi16(load(a, 1), load(b, 1));
    store(dst, 0, s0);
    store(dst, 1, s1);
    return dst;
}

inline int16_t* rowSub(const int16_t* a, const int16_t* b, int16_t* dst) {
    detail::storeRow(dst, _mm_sub_epi16(detail::loadRow(a), detail::loadRow(b)));
    return dst;
}

inline void blockSubScalar(const BlockVec& src, int16_t s, BlockVec& dst) {
    using namespace detail;
    const __m128i k = _mm_set1_epi16(s);
    store(dst, 0, _mm_sub_epi16(load(src, 0), k));
    store(dst, 1, _mm_sub_epi16(load(src, 1), k));
}

// dst[i] = (src[i] * g) >> 15
inline BlockVec& blockScale15(const BlockVec& src, int32_t g, BlockVec& dst) {
    using namespace detail;
    const Factor f = factor(g);
    const __m128i s0 = mulShift<15>(load(src, 0), f), s1 = mulShift<15>(load(src, 1), f);
    store(dst, 0, s0);
    store(dst, 1, s1);
    return dst;
}

// dst[i] = (src[i] * g) >> 13 on four lanes
inline void rowScale13(const int16_t* src, int32_t g, int16_t* dst) {
    detail::storeRow(dst, detail::mulShift<13>(detail::loadRow(src), detail::factor(g)));
}

// Row i of dst is rowScale13(rows[i], g[i]). A 16-bit factor needs no
// correction of the products' high halves.
inline BlockVec& rowsScale13(const int16_t* const rows[4], const int16_t g[4], BlockVec& dst) {
    using namespace detail;
    const __m128i g16 = loadRow(g), pairs = _mm_unpacklo_epi16(g16, g16);
    const auto scale = [](__m128i x, __m128i k) {
        return _mm_or_si128(_mm_srli_epi16(_mm_mullo_epi16(x, k), 13), _mm_slli_epi16(_mm_mulhi_epi16(x, k), 3));
    };
    const __m128i s0 = scale(_mm_unpacklo_epi64(loadRow(rows[0]), loadRow(rows[1])),
                             _mm_unpacklo_epi32(pairs, pairs));
    const __m128i s1 = scale(_mm_unpacklo_epi64(loadRow(rows[2]), loadRow(rows[3])),
                             _mm_unpackhi_epi32(pairs, pairs));
    store(dst, 0, s0);
    store(dst, 1, s1);
    return dst;
}

// v[i] = (v[i] * g) >> 8 on four lanes, in place
inline void rowScale8(int16_t* v, int32_t g) {
    detail::storeRow(v, detail::mulShift<8>(detail::loadRow(v), detail::factor(g)));
}

// v[i] = (v[i] * g) >> 5
inline void blockScale5(BlockVec& v, int32_t g) {
    using namespace detail;
    const Factor f = factor(g);
    store(v, 0, mulShift<5>(load(v, 0), f));
    store(v, 1, mulShift<5>(load(v, 1), f));
}

// (D0 >> 1) + (D1 >> 1): D0 sums the products of lanes 0,1 of every row, D1
// those of lanes 2,3; each half loses its own low bit.
inline int32_t blockDot(const BlockVec& a, const BlockVec& b) {
    using namespace detail;
    // 32-bit lanes: D0, D1, D0, D1 parts.
    __m128i m = _mm_add_epi32(_mm_madd_epi16(load(a, 0), load(b, 0)), _mm_madd_epi16(load(a, 1), load(b, 1)));
    m = _mm_srai_epi32(_mm_add_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2))), 1);
    return _mm_cvtsi128_si32(_mm_add_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1))));
}

inline int32_t blockEnergy(const BlockVec& v) {
    using namespace detail;
    return sum4(_mm_add_epi32(square(load(v, 0)), square(load(v, 1))));
}

inline int32_t rowEnergy(const int16_t* v) {
    const __m128i m = detail::square(detail::loadRow(v));
    return _mm_cvtsi128_si32(_mm_add_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1))));
}

// blockEnergy(a - b) without storing the difference.
inline int32_t blockDistance(const BlockVec& a, const BlockVec& b) {
    using namespace detail;
    return sum4(_mm_add_epi32(square(_mm_sub_epi16(load(a, 0), load(b, 0))),
                              square(_mm_sub_epi16(load(a, 1), load(b, 1)))));
}

// blockDistance(a, b[k]) into out[k] for four consecutive blocks, summed
// across together.
inline void blockDistance4(const BlockVec& a, const BlockVec* b, int32_t* out) {
    using namespace detail;
    const __m128i a0 = load(a, 0), a1 = load(a, 1);
    __m128i s[4];
    for (int k = 0; k < 4; ++k)
        s[k] = _mm_add_epi32(square(_mm_sub_epi16(a0, load(b[k], 0))), square(_mm_sub_epi16(a1, load(b[k], 1))));
    // Transposed sums: lanes 0..3 end up holding blocks 0..3.
    const __m128i t0 = _mm_add_epi32(_mm_unpacklo_epi32(s[0], s[1]), _mm_unpackhi_epi32(s[0], s[1]));
    const __m128i t1 = _mm_add_epi32(_mm_unpacklo_epi32(s[2], s[3]), _mm_unpackhi_epi32(s[2], s[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_add_epi32(_mm_unpacklo_epi64(t0, t1), _mm_unpackhi_epi64(t0, t1)));
}

// rowEnergy(a - b) without storing the difference.
inline int32_t rowDistance(const int16_t* a, const int16_t* b) {
    const __m128i m = detail::square(_mm_sub_epi16(detail::loadRow(a), detail::loadRow(b)));
    return _mm_cvtsi128_si32(_mm_add_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1))));
}

// Rounding right shift by `shift` (0..15) with the constant 8 on both signs.
// x + 8 and 8 - x both fit 16 unsigned bits, so the shift stays in the lane.
inline void blockShiftDown(BlockVec& v, int shift) {
    using namespace detail;
    const __m128i n = _mm_cvtsi32_si128(shift), eight = _mm_set1_epi16(8), zero = _mm_setzero_si128();
    for (int h = 0; h < 2; ++h) {
        const __m128i x = load(v, h);
        const __m128i up = _mm_srl_epi16(_mm_add_epi16(x, eight), n);
        const __m128i down = _mm_sub_epi16(zero, _mm_srl_epi16(_mm_sub_epi16(eight, x), n));
        const __m128i positive = _mm_cmpgt_epi16(x, zero);
        store(v, h, _mm_or_si128(_mm_and_si128(positive, up), _mm_andnot_si128(positive, down)));
    }
}

// Left shift (0..15) of each 16-bit lane; bits leaving the lane are lost.
inline BlockVec& blockShiftUp(BlockVec& v, int shift) {
    using namespace detail;
    const __m128i n = _mm_cvtsi32_si128(shift);
    store(v, 0, _mm_sll_epi16(load(v, 0), n));
    store(v, 1, _mm_sll_epi16(load(v, 1), n));
    return v;
}

// Index of the first of the four lanes with the greatest value.
inline int rowLargest(const int16_t* v) { return detail::firstOfGreatest(detail::widenRow(v)); }

// Index of the first of the four lanes with the greatest magnitude (that of
// -32768 being 32768).
inline int rowLargestMagnitude(const int16_t* v) {
    const __m128i x = detail::widenRow(v), sign = _mm_srai_epi32(x, 31);
    return detail::firstOfGreatest(_mm_sub_epi32(_mm_xor_si128(x, sign), sign));
}

// rowLargestMagnitude of the four rows at once. Magnitudes are taken in 16
// bits (that of -32768 is 0x8000) and compared as unsigned by flipping
// their top bit.
inline void rowsLargestMagnitude(const BlockVec& v, int p[4]) {
    using namespace detail;
    for (int h = 0; h < 2; ++h) {
        const __m128i x = load(v, h), sign = _mm_srai_epi16(x, 15);
        const __m128i m = _mm_xor_si128(_mm_sub_epi16(_mm_xor_si128(x, sign), sign), _mm_set1_epi16(-32768));
        __m128i t = _mm_max_epi16(
            m, _mm_shufflehi_epi16(_mm_shufflelo_epi16(m, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1)));
        t = _mm_max_epi16(
            t, _mm_shufflehi_epi16(_mm_shufflelo_epi16(t, _MM_SHUFFLE(1, 0, 3, 2)), _MM_SHUFFLE(1, 0, 3, 2)));
        // Two mask bits per lane; every row has its greatest.
        const auto bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(m, t)));
        p[2 * h] = std::countr_zero(bits & 0xFFu) >> 1;
        p[2 * h + 1] = std::countr_zero(bits >> 8) >> 1;
    }
}

// Bit k set when e[k] is not 0 and lies in [lo, hi].
inline unsigned energyWindow4(const int32_t* e, int32_t lo, int32_t hi) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(e));
    const __m128i out = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi32(x, _mm_set1_epi32(lo)),
                                                  _mm_cmpgt_epi32(x, _mm_set1_epi32(hi))),
                                     _mm_cmpeq_epi32(x, _mm_setzero_si128()));
    return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(out))) ^ 0xFu;
}

#else

using scalar::blockAdd;
using scalar::blockDistance;
using scalar::blockDistance4;
using scalar::blockDot;
using scalar::blockEnergy;
using scalar::blockScale15;
using scalar::blockScale5;
using scalar::blockShiftDown;
using scalar::blockShiftUp;
using scalar::blockSub;
using scalar::blockSubScalar;
using scalar::energyWindow4;
using scalar::rowDistance;
using scalar::rowEnergy;
using scalar::rowLargest;
using scalar::rowLargestMagnitude;
using scalar::rowScale13;
using scalar::rowScale8;
using scalar::rowsLargestMagnitude;
using scalar::rowsScale13;
using scalar::rowSub;

#endif

// The block's mean in steps of 2^(meanLevel + 4), saturating bright blocks at
// 255 rather than wrapping.
uint8_t blockMeanByte(const BlockVec& v, int meanLevel);
// Scales v (whose energy is e) to norm 16384; e <= 0 leaves v unchanged.
void blockNormalize(BlockVec& v, int32_t e);

// Scales each row (quarter) of v towards norm 8192 and puts its norm before
// (rounded, cut to 16 bits) in norms[row]: the row's energy is read as
// unsigned, its root g taken in double precision, and the row scaled by
// round(128 / max(g / 16384, 1 / 255)) >> 8.
void quarterNormalize(BlockVec& v, int16_t norms[4]);
namespace scalar {
void quarterNormalize(BlockVec& v, int16_t norms[4]);
}

}  // namespace kirune
