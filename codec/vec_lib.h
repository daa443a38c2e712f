#pragma once
// Packed 4x4 block arithmetic shared bit for bit by the encoder and the decoder.
// Lane additions wrap modulo 2^16, gain products are 32-bit (wrapping) and
// shifted arithmetically; nothing saturates unless stated. Arguments may alias.
//
// The operations are inline because the searches call them millions of times
// per plane. kirune::scalar holds the plain reference of every operation that
// has a vector form; the vector form must agree with it on every input, and
// targets without SSE2 use it directly.

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kirune {

// One 4x4 block: lane 4*y + x, i.e. four 64-bit rows with lane 0 of each row in
// the low 16 bits on this little-endian target.
struct alignas(32) BlockVec {
    int16_t lane[16];
};
static_assert(sizeof(BlockVec) == 32);

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

inline int nearestRow(const int16_t (*codes)[4], const uint8_t* order, int begin, int end, const int16_t* y) {
    int32_t best = int32_t{1} << 30;
    int bestIndex = 0;
    for (int pos = begin; pos < end; ++pos) {
        const int index = order ? order[pos] : pos;
        const int32_t dist = rowDistance(y, codes[index]);
        if (dist < best) {
            best = dist;
            bestIndex = index;
        }
    }
    return bestIndex;
}

inline unsigned energyWindow4(const int32_t* e, int32_t lo, int32_t hi) {
    unsigned m = 0;
    for (int k = 0; k < 4; ++k)
        if (e[k] != 0 && e[k] >= lo && e[k] <= hi) m |= 1u << k;
    return m;
}

}  // namespace scalar

#if defined(__SSE2__)
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
inline void rowCopy(const int16_t* src, int16_t* dst) { std::memmove(dst, src, 4 * sizeof(int16_t)); }

#if defined(__SSE2__)

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

// The codeword nearest to y by rowDistance among codes[order[pos]] (codes[pos]
// when order is null) for begin <= pos < end. The first of equal distances
// wins; a distance of 2^30 or more never does, and 0 is returned when none wins.
inline int nearestRow(const int16_t (*codes)[4], const uint8_t* order, int begin, int end, const int16_t* y) {
    using namespace detail;
    int32_t best = int32_t{1} << 30;
    int pos = begin;
    int bestPos = -1;
    if (end - begin >= 4) {
        // Four running minima, lane k over positions begin + k, + 4, ...: the
        // strict comparison keeps each lane's first, and no branch depends on
        // the data, which a search through random codewords would mispredict.
        const __m128i yy = _mm_unpacklo_epi64(loadRow(y), loadRow(y));
        __m128i bestv = _mm_set1_epi32(best), at = _mm_set1_epi32(-1);
        __m128i posv = _mm_setr_epi32(begin, begin + 1, begin + 2, begin + 3);
        for (; pos + 4 <= end; pos += 4) {
            int index[4];
            for (int k = 0; k < 4; ++k) index[k] = order ? order[pos + k] : pos + k;
            const __m128i c01 = _mm_unpacklo_epi64(loadRow(codes[index[0]]), loadRow(codes[index[1]]));
            const __m128i c23 = _mm_unpacklo_epi64(loadRow(codes[index[2]]), loadRow(codes[index[3]]));
            const __m128 m01 = _mm_castsi128_ps(square(_mm_sub_epi16(yy, c01)));
            const __m128 m23 = _mm_castsi128_ps(square(_mm_sub_epi16(yy, c23)));
            const __m128i dist =
                _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(m01, m23, _MM_SHUFFLE(2, 0, 2, 0))),
                              _mm_castps_si128(_mm_shuffle_ps(m01, m23, _MM_SHUFFLE(3, 1, 3, 1))));
            const __m128i nearer = _mm_cmplt_epi32(dist, bestv);
            bestv = _mm_or_si128(_mm_and_si128(nearer, dist), _mm_andnot_si128(nearer, bestv));
            at = _mm_or_si128(_mm_and_si128(nearer, posv), _mm_andnot_si128(nearer, at));
            posv = _mm_add_epi32(posv, _mm_set1_epi32(4));
        }
        // The overall first minimum is the least lane minimum at the earliest position.
        alignas(16) int32_t d[4], p[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(d), bestv);
        _mm_store_si128(reinterpret_cast<__m128i*>(p), at);
        for (int k = 0; k < 4; ++k) {
            if (p[k] >= 0 && (d[k] < best || (d[k] == best && p[k] < bestPos))) {
                best = d[k];
                bestPos = p[k];
            }
        }
    }
    int bestIndex = bestPos < 0 ? 0 : order ? order[bestPos] : bestPos;
    for (; pos < end; ++pos) {
        const int index = order ? order[pos] : pos;
        const int32_t dist = rowDistance(y, codes[index]);
        if (dist < best) {
            best = dist;
            bestIndex = index;
        }
    }
    return bestIndex;
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
using scalar::blockDot;
using scalar::blockEnergy;
using scalar::blockScale15;
using scalar::blockScale5;
using scalar::blockShiftDown;
using scalar::blockShiftUp;
using scalar::blockSub;
using scalar::blockSubScalar;
using scalar::energyWindow4;
using scalar::nearestRow;
using scalar::rowDistance;
using scalar::rowEnergy;
using scalar::rowScale13;
using scalar::rowScale8;
using scalar::rowSub;

#endif

// The block's mean in steps of 2^(meanLevel + 4), saturating bright blocks at
// 255 rather than wrapping.
uint8_t blockMeanByte(const BlockVec& v, int meanLevel);
// Scales v (whose energy is e) to norm 16384; e <= 0 leaves v unchanged.
void blockNormalize(BlockVec& v, int32_t e);

}  // namespace kirune
