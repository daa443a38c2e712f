#pragma once
// Byte-oriented range coder with 32-bit low and range, carries propagated into
// the bytes already written, and adaptive models: every value (a byte, or the
// end symbol 256) is a bucket coded in the context of the two previous buckets
// and an offset within the bucket. Models live in a RangeModels owned by the
// caller, so coders on different threads share nothing.

#include <cstdint>
#include <cstring>

namespace kirune {

inline constexpr uint32_t kBucketCount = 10;
inline constexpr uint32_t kEndSymbol = 256;
inline constexpr uint32_t kModelTotalLimit = 32768;

inline constexpr uint16_t kBucketSize[kBucketCount] = {1, 1, 1, 2, 4, 8, 16, 32, 64, 128};
inline constexpr uint16_t kBucketBase[kBucketCount] = {0, 1, 2, 3, 5, 9, 17, 33, 65, 129};

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
        return static_cast<uint32_t>((static_cast<unsigned __int128>(totalReciprocal) * x) >> 64);
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
    // cum[k] += 1 for k > s, eight lanes at a time. Lane indices and s are
    // below 2^15, so a signed compare gives the mask (all ones where k > s);
    // the counts themselves wrap as unsigned.
    using Index = int16_t __attribute__((vector_size(16)));
    using Counts = uint16_t __attribute__((vector_size(16)));
    ++m.freq[s];
    const Index sym = Index{} + static_cast<int16_t>(s);
    Index index = {0, 1, 2, 3, 4, 5, 6, 7};
    for (unsigned k = 0; k < FreqModel<N>::kPadded; k += 8) {
        Counts c;
        std::memcpy(&c, m.cum + k, sizeof c);
        c -= reinterpret_cast<Counts>(index > sym);
        std::memcpy(m.cum + k, &c, sizeof c);
        index += 8;
    }
    if (m.cum[N] >= kModelTotalLimit) {
        m.cum[0] = 0;
        for (unsigned k = 0; k < N; ++k) {
            m.freq[k] = static_cast<uint16_t>((m.freq[k] >> 1) | 1);
            m.cum[k + 1] = static_cast<uint16_t>(m.cum[k] + m.freq[k]);
        }
    }
    m.totalReciprocal = kReciprocals.of[m.cum[N]];
}

// The symbol whose interval holds target, or -1 when target is past the total.
template <unsigned N>
inline int modelFindSymbol(const FreqModel<N>& m, unsigned target) {
    if (target >= m.cum[N]) return -1;
    unsigned s = 0;
    while (m.cum[s + 1] <= target) ++s;
    return static_cast<int>(s);
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

// Adds the carry of low's overflow to the pos bytes already written.
void propagateCarry(uint8_t* out, uint32_t pos);

// All models of one coder, with the value-to-bucket table built from
// kBucketSize.
struct RangeModels {
    BucketModel bucketModels[kBucketCount][kBucketCount];  // [c2][c1]
    OffsetModels offsetModels;
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
// pass outCapacity; "RangeCoder : decode error N" when a model finds no symbol.
uint32_t rangeDecode(uint8_t* out, uint32_t outCapacity, const uint8_t* in, uint32_t payloadLength,
                     RangeModels& models);

}  // namespace kirune
