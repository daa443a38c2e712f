#pragma once
// Byte-oriented range coder with 32-bit low and range, carries propagated into
// the bytes already written, and adaptive models: every value (a byte, or the
// end symbol 256) is a bucket coded in the context of the two previous buckets
// and an offset within the bucket. Models live in a RangeModels owned by the
// caller, so coders on different threads share nothing.

#include <cstdint>
#include <cstring>

#include "kirune/simd.h"

#if KIRUNE_SSE2
#include <emmintrin.h>
#endif

namespace kirune {

inline constexpr uint32_t kBucketCount = 10;
inline constexpr uint32_t kEndSymbol = 256;
inline constexpr uint32_t kModelTotalLimit = 32768;

inline constexpr uint16_t kBucketSize[kBucketCount] = {1, 1, 1, 2, 4, 8, 16, 32, 64, 128};
inline constexpr uint16_t kBucketBase[kBucketCount] = {0, 1, 2, 3, 5, 9, 17, 33, 65, 129};

// The high 64 bits of a x b. The portable form multiplies 32-bit halves: the
// middle sum a_hi x b + (a_lo x b >> 32) stays below 2^64, and dropping the
// low product's fraction cannot change the floor of the whole.
inline uint64_t highProduct(uint64_t a, uint32_t b) {
#if defined(__SIZEOF_INT128__) && !defined(KIRUNE_SCALAR_ONLY)
    return static_cast<uint64_t>((static_cast<unsigned __int128>(a) * b) >> 64);
#else
    const uint64_t low = (a & 0xffffffffu) * b;
    const uint64_t middle = (a >> 32) * b + (low >> 32);
    return middle >> 32;
#endif
}

// range / total is taken for every symbol; totals are below 2^15, so a
// constant table of reciprocals turns the division into a multiplication.
// ceil(2^64 / d) gives the exact quotient for every 32-bit dividend.
struct Reciprocals {
    uint64_t of[kModelTotalLimit];
    constexpr Reciprocals() : of() {
        for (uint32_t d = 2; d < kModelTotalLimit; ++d) of[d] = ~uint64_t{0} / d + 1;
    }
};
inline constexpr Reciprocals kReciprocals;

// One adaptive model of N symbols; freq[s] >= 1 always, cum[s + 1] = cum[s] +
// freq[s] and cum[N] is the total. cum is padded to whole vectors so updates
// run without a scalar tail; the padding is never read. totalReciprocal is
// kept with the model so coding a symbol need not look it up.
template <unsigned N>
struct FreqModel {
    static constexpr unsigned symbolCount = N;
    static constexpr unsigned kPadded = (N + 1 + 15) & ~15u;
    uint64_t totalReciprocal;
    uint16_t freq[N];
    alignas(16) uint16_t cum[kPadded];

    // x / total, exact for every 32-bit x.
    uint32_t divideByTotal(uint32_t x) const {
        return static_cast<uint32_t>(highProduct(totalReciprocal, x));
    }
};

template <unsigned N>
void modelReset(FreqModel<N>& m) {
    for (unsigned s = 0; s < N; ++s) m.freq[s] = 1;
    for (unsigned s = 0; s < FreqModel<N>::kPadded; ++s)
        m.cum[s] = static_cast<uint16_t>(s <= N ? s : N);
    m.totalReciprocal = kReciprocals.of[N];
}

// Counts one more s; halves the model within the same update once the total
// reaches kModelTotalLimit, keeping every frequency odd and at least 1.
template <unsigned N>
inline void modelUpdate(FreqModel<N>& m, unsigned s) {
    ++m.freq[s];
#if KIRUNE_SSE2
    // cum[k] += 1 for k > s, eight lanes at a time. Lane indices and s are
    // below 2^15, so a signed compare gives the mask (all ones where k > s);
    // the counts themselves wrap as unsigned.
    const __m128i sym = _mm_set1_epi16(static_cast<int16_t>(s));
    const __m128i eight = _mm_set1_epi16(8);
    __m128i index = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    for (unsigned k = 0; k < FreqModel<N>::kPadded; k += 8) {
        __m128i* at = reinterpret_cast<__m128i*>(m.cum + k);
        _mm_store_si128(at, _mm_sub_epi16(_mm_load_si128(at), _mm_cmpgt_epi16(index, sym)));
        index = _mm_add_epi16(index, eight);
    }
#else
    // The padding counts along too, as the vector form does; it is never read.
    for (unsigned k = s + 1; k < FreqModel<N>::kPadded; ++k) ++m.cum[k];
#endif
    if (m.cum[N] >= kModelTotalLimit) {
        m.cum[0] = 0;
        for (unsigned k = 0; k < N; ++k) {
            m.freq[k] = static_cast<uint16_t>((m.freq[k] >> 1) | 1);
            m.cum[k + 1] = static_cast<uint16_t>(m.cum[k] + m.freq[k]);
        }
    }
    m.totalReciprocal = kReciprocals.of[m.cum[N]];
}

using BucketModel = FreqModel<kBucketCount>;

// One offset model per bucket from 3 on, each of its bucket's size.
struct OffsetModels {
    FreqModel<2> bucket3;
    FreqModel<4> bucket4;
    FreqModel<8> bucket5;
    FreqModel<16> bucket6;
    FreqModel<32> bucket7;
    FreqModel<64> bucket8;
    FreqModel<128> bucket9;
};

// Calls f with the offset model of bucket b (3 to 9).
template <class F>
inline decltype(auto) withOffsetModel(OffsetModels& m, unsigned b, F&& f) {
    switch (b) {
        case 3:
            return f(m.bucket3);
        case 4:
            return f(m.bucket4);
        case 5:
            return f(m.bucket5);
        case 6:
            return f(m.bucket6);
        case 7:
            return f(m.bucket7);
        case 8:
            return f(m.bucket8);
        default:
            return f(m.bucket9);
    }
}

// The encoder's form of the offset models of buckets 3 to 6 (2 to 16
// symbols): counts held in the same lanes whatever the model's size, padded
// with the total, so coding an offset takes the same steps for each of these
// buckets and no branch on the bucket (which follows the data) picks them.
// Counts and halving are those of FreqModel.
struct SlotModel {
    static constexpr unsigned kSlots = 24;
    uint64_t totalReciprocal;
    uint32_t symbolCount;
    alignas(16) uint16_t cum[kSlots];

    uint32_t total() const { return cum[kSlots - 1]; }
};
inline constexpr unsigned kFirstSlotBucket = 3, kSlotBucketCount = 4;

void slotModelReset(SlotModel& m, unsigned symbolCount);

inline void slotModelUpdate(SlotModel& m, unsigned s) {
#if KIRUNE_SSE2
    const __m128i sym = _mm_set1_epi16(static_cast<int16_t>(s));
    const __m128i eight = _mm_set1_epi16(8);
    __m128i index = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    for (unsigned k = 0; k < SlotModel::kSlots; k += 8) {
        __m128i* at = reinterpret_cast<__m128i*>(m.cum + k);
        _mm_store_si128(at, _mm_sub_epi16(_mm_load_si128(at), _mm_cmpgt_epi16(index, sym)));
        index = _mm_add_epi16(index, eight);
    }
#else
    for (unsigned k = s + 1; k < SlotModel::kSlots; ++k) ++m.cum[k];
#endif
    if (m.total() >= kModelTotalLimit) {
        uint32_t below = 0;  // the count below symbol k before halving
        for (unsigned k = 0; k < m.symbolCount; ++k) {
            const uint32_t freq = m.cum[k + 1] - below;
            below = m.cum[k + 1];
            m.cum[k + 1] = static_cast<uint16_t>(m.cum[k] + ((freq >> 1) | 1));
        }
        for (unsigned k = m.symbolCount + 1; k < SlotModel::kSlots; ++k) m.cum[k] = m.cum[m.symbolCount];
    }
    m.totalReciprocal = kReciprocals.of[m.total()];
}

// All models of one coder, with the value-to-bucket table built from
// kBucketSize.
struct RangeModels {
    BucketModel bucketModels[kBucketCount][kBucketCount];  // [c2][c1]
    OffsetModels offsetModels;
    SlotModel slotModels[kSlotBucketCount];  // encoding's buckets 3 to 6
    uint8_t valueBucket[kEndSymbol + 1];

    RangeModels();
    void resetAllModels();
};

// Codes n bytes and the end symbol into out. Returns the payload length (the
// 4 closing bytes included), or 0 when it would not fit outCapacity.
uint32_t rangeEncode(uint8_t* out, uint32_t outCapacity, const uint8_t* in, uint32_t n,
                     RangeModels& models);

// Decodes a payload of exactly payloadLength bytes. Throws the damaged-file
// error when the payload is short or left partly unread, or the output would
// pass outCapacity, or when a model finds no symbol (the detail names it).
uint32_t rangeDecode(uint8_t* out, uint32_t outCapacity, const uint8_t* in, uint32_t payloadLength,
                     RangeModels& models);

}  // namespace kirune
