#include "codec/block_ops.h"

#include <cmath>

namespace kirune {

uint8_t blockMeanByte(const BlockVec& v, int meanLevel) {
    const int s = meanLevel;
    int16_t t = 0;
    for (int x = 0; x < 4; ++x) {
        const auto c = static_cast<int16_t>(static_cast<int16_t>(v.lane[x] + v.lane[4 + x]) +
                                            static_cast<int16_t>(v.lane[8 + x] + v.lane[12 + x]));
        const auto h = static_cast<int16_t>((c >> 1) + (1 << (s + 4)));
        t = static_cast<int16_t>(t + h);
    }
    const int32_t clamped = static_cast<uint16_t>(t) > 32767 ? 32767 : t;
    return static_cast<uint8_t>(clamped >> (s + 7));
}

void blockNormalize(BlockVec& v, int32_t e) {
    if (e <= 0) return;
    const double f = 32768.0 / std::sqrt(static_cast<double>(e) * 0.00390625) + 0.5;
    blockScale5(v, static_cast<int32_t>(f));
}

void scalar::quarterNormalize(BlockVec& v, int16_t norms[4]) {
    for (int i = 0; i < 4; ++i) {
        int16_t* quarter = v.lane + 4 * i;
        // Read as unsigned: a wrapped energy must not reach sqrt as negative.
        const double g = std::sqrt(static_cast<double>(static_cast<uint32_t>(scalar::rowEnergy(quarter))));
        // Both roundings below add 0.5 to a non-negative value, so truncation
        // is the floor, without a call into libm.
        norms[i] = static_cast<int16_t>(static_cast<int32_t>(g + 0.5));
        double x = g * (1.0 / 16384.0);
        if (x < 1.0 / 255.0) x = 1.0 / 255.0;
        scalar::rowScale8(quarter, static_cast<int32_t>(128.0 / x + 0.5));
    }
}

#if KIRUNE_SSE2

// The four rows at once: packed square roots and divisions round as the
// scalar ones do, so the lanes agree bit for bit.
void quarterNormalize(BlockVec& v, int16_t norms[4]) {
    using namespace detail;
    const __m128i v0 = load(v, 0), v1 = load(v, 1);
    const __m128 m0 = _mm_castsi128_ps(square(v0)), m1 = _mm_castsi128_ps(square(v1));
    // Row energies 0..3, wrapping as rowEnergy does.
    const __m128i e = _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(m0, m1, _MM_SHUFFLE(2, 0, 2, 0))),
                                    _mm_castps_si128(_mm_shuffle_ps(m0, m1, _MM_SHUFFLE(3, 1, 3, 1))));
    const __m128d zero = _mm_setzero_pd(), half = _mm_set1_pd(0.5);
    // Two rows to a register; a negative lane stands for itself plus 2^32.
    const auto root = [&](__m128i x) {
        const __m128d d = _mm_cvtepi32_pd(x);
        return _mm_sqrt_pd(_mm_add_pd(d, _mm_and_pd(_mm_cmplt_pd(d, zero), _mm_set1_pd(4294967296.0))));
    };
    const __m128d g01 = root(e), g23 = root(_mm_shuffle_epi32(e, _MM_SHUFFLE(3, 2, 3, 2)));
    const auto round = [&](__m128d a, __m128d b) {
        return _mm_unpacklo_epi64(_mm_cvttpd_epi32(_mm_add_pd(a, half)), _mm_cvttpd_epi32(_mm_add_pd(b, half)));
    };
    // The norms may reach 65536: cut to 16 bits, then packed without saturating.
    const __m128i n = round(g01, g23);
    const __m128i n16 = _mm_srai_epi32(_mm_slli_epi32(n, 16), 16);
    storeRow(norms, _mm_packs_epi32(n16, n16));
    const __m128d unit = _mm_set1_pd(1.0 / 16384.0), floor = _mm_set1_pd(1.0 / 255.0), k128 = _mm_set1_pd(128.0);
    const auto factorOf = [&](__m128d g) { return _mm_div_pd(k128, _mm_max_pd(_mm_mul_pd(g, unit), floor)); };
    // Factors lie in [32, 32640] (g / 16384 in [1/255, 4]): one 16-bit lane
    // each, so the products' high halves need no correction term.
    const __m128i f = round(factorOf(g01), factorOf(g23));
    const __m128i f16 = _mm_packs_epi32(f, f);
    const __m128i pairs = _mm_unpacklo_epi16(f16, f16);
    const auto scale = [](__m128i x, __m128i k) {
        return _mm_or_si128(_mm_srli_epi16(_mm_mullo_epi16(x, k), 8), _mm_slli_epi16(_mm_mulhi_epi16(x, k), 8));
    };
    store(v, 0, scale(v0, _mm_unpacklo_epi32(pairs, pairs)));
    store(v, 1, scale(v1, _mm_unpackhi_epi32(pairs, pairs)));
}

#else

void quarterNormalize(BlockVec& v, int16_t norms[4]) { scalar::quarterNormalize(v, norms); }

#endif

}  // namespace kirune
