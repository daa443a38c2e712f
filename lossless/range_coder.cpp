#include "lossless/range_coder.h"

#include <algorithm>
#include <string>

#include "kirune/Error.h"

namespace kirune {

namespace {

constexpr uint32_t kTop = 1u << 24;

// Damage like any other: the detail names the model (by its symbol count)
// that found no symbol.
[[noreturn]] void throwDecodeError(unsigned symbolCount) {
    throwDamaged("range decoder: no symbol in a model of " + std::to_string(symbolCount));
}

// Adds the carry of low's overflow to the pos bytes already written.
void propagateCarry(uint8_t* out, uint32_t pos) {
    for (uint32_t i = pos; i > 0; --i) {
        if (++out[i - 1] != 0) return;
    }
}

class RangeEncoder {
public:
    RangeEncoder(uint8_t* out, uint32_t capacity) : out_(out), capacity_(capacity) {}

    template <unsigned N>
    void encode(FreqModel<N>& m, unsigned s) {
        const uint32_t r = m.divideByTotal(range_);
        const uint32_t t = r * m.cum[s];
        if (t > ~low_) propagateCarry(out_, pos_);
        low_ += t;
        range_ = r * m.freq[s];
        modelUpdate(m, s);
        normalize();
    }

    void encode(SlotModel& m, unsigned s) {
        const uint32_t r = static_cast<uint32_t>(highProduct(m.totalReciprocal, range_));
        const uint32_t t = r * m.cum[s];
        if (t > ~low_) propagateCarry(out_, pos_);
        low_ += t;
        range_ = r * static_cast<uint32_t>(m.cum[s + 1] - m.cum[s]);
        slotModelUpdate(m, s);
        normalize();
    }

    void flush() {
        for (int shift = 24; shift >= 0; shift -= 8) put(static_cast<uint8_t>(low_ >> shift));
    }

    bool overflowed() const { return overflow_; }
    uint32_t size() const { return pos_; }

private:
    // Shifts out the top bytes until range reaches kTop again: none, one or
    // two, since a symbol leaves range at least 2^24 / kModelTotalLimit.
    // Whether a byte goes out follows the data, so a loop's exit branch
    // mispredicts often; with room for two bytes both are stored and only
    // the needed ones kept (the rest is overwritten later or never read).
    void normalize() {
        const unsigned bytes = static_cast<unsigned>(__builtin_clz(range_)) >> 3;
        if (capacity_ - pos_ >= 2) {
            out_[pos_] = static_cast<uint8_t>(low_ >> 24);
            out_[pos_ + 1] = static_cast<uint8_t>(low_ >> 16);
            pos_ += bytes;
            low_ <<= 8 * bytes;
            range_ <<= 8 * bytes;
            return;
        }
        while (range_ < kTop) {
            put(static_cast<uint8_t>(low_ >> 24));
            low_ <<= 8;
            range_ <<= 8;
        }
    }

    void put(uint8_t b) {
        // Past the capacity bytes are dropped; the caller discards the result.
        if (pos_ < capacity_) {
            out_[pos_++] = b;
        } else {
            overflow_ = true;
        }
    }

    uint8_t* out_;
    uint32_t capacity_;
    uint32_t pos_ = 0;
    uint32_t low_ = 0;
    uint32_t range_ = 0xffffffffu;
    bool overflow_ = false;
};

class RangeDecoder {
public:
    RangeDecoder(const uint8_t* in, uint32_t length) : in_(in), length_(length) {
        for (int k = 0; k < 4; ++k) code_ = (code_ << 8) | next();
    }

    template <unsigned N>
    unsigned decode(FreqModel<N>& m) {
        const unsigned total = m.cum[N];
        const uint32_t r = m.divideByTotal(range_);
        // The symbol is the number of interval ends at or below code / r;
        // counting them all avoids a mispredicted search exit per symbol.
        unsigned s = 0;
        if (N <= 16 && code_ < r * total) {
            // Small models skip the division: code / r >= cum[k] exactly
            // when code >= r x cum[k].
            for (unsigned k = 1; k <= N; ++k) s += r * m.cum[k] <= code_ ? 1 : 0;
        } else {
            // Only damaged data has code / r >= total; its low 16 bits decide.
            const unsigned target = (code_ / r) & 0xffffu;
            if (target >= total) throwDecodeError(N);
            for (unsigned k = 1; k <= N; ++k) s += m.cum[k] <= target ? 1 : 0;
        }
        code_ -= r * m.cum[s];
        range_ = r * m.freq[s];
        modelUpdate(m, s);
        normalize();
        return s;
    }

    bool usedUp() const { return pos_ == length_; }

private:
    // Takes in as many bytes as the encoder shifted out (none, one or two),
    // without a data-dependent loop while two bytes remain.
    void normalize() {
        const unsigned bytes = static_cast<unsigned>(__builtin_clz(range_)) >> 3;
        if (length_ - pos_ >= 2) {
            const uint32_t two = (uint32_t{in_[pos_]} << 8) | in_[pos_ + 1];
            code_ = (code_ << (8 * bytes)) | (two >> (16 - 8 * bytes));
            range_ <<= 8 * bytes;
            pos_ += bytes;
            return;
        }
        while (range_ < kTop) {
            range_ <<= 8;
            code_ = (code_ << 8) + next();
        }
    }

    uint32_t next() {
        if (pos_ >= length_) throwDamaged();
        return in_[pos_++];
    }

    const uint8_t* in_;
    uint32_t length_;
    uint32_t pos_ = 0;
    uint32_t range_ = 0xffffffffu;
    uint32_t code_ = 0;
};

}  // namespace

RangeModels::RangeModels() {
    unsigned v = 0;
    for (unsigned b = 0; b < kBucketCount; ++b) {
        for (unsigned k = 0; k < kBucketSize[b]; ++k) valueBucket[v++] = static_cast<uint8_t>(b);
    }
    resetAllModels();
}

void RangeModels::resetAllModels() {
    for (auto& row : bucketModels) {
        for (auto& m : row) modelReset(m);
    }
    OffsetModels& o = offsetModels;
    modelReset(o.bucket3);
    modelReset(o.bucket4);
    modelReset(o.bucket5);
    modelReset(o.bucket6);
    modelReset(o.bucket7);
    modelReset(o.bucket8);
    modelReset(o.bucket9);
    for (unsigned k = 0; k < kSlotBucketCount; ++k)
        slotModelReset(slotModels[k], kBucketSize[kFirstSlotBucket + k]);
}

void slotModelReset(SlotModel& m, unsigned symbolCount) {
    m.symbolCount = symbolCount;
    for (unsigned k = 0; k < SlotModel::kSlots; ++k) m.cum[k] = static_cast<uint16_t>(std::min(k, symbolCount));
    m.totalReciprocal = kReciprocals.of[symbolCount];
}

uint32_t rangeEncode(uint8_t* out, uint32_t outCapacity, const uint8_t* in, uint32_t n,
                     RangeModels& models) {
    RangeEncoder enc(out, outCapacity);
    models.resetAllModels();
    unsigned c1 = 0, c2 = 0;
    for (uint32_t i = 0; i <= n; ++i) {
        const unsigned v = i < n ? in[i] : kEndSymbol;
        const unsigned b = models.valueBucket[v];
        enc.encode(models.bucketModels[c2][c1], b);
        c2 = c1;
        c1 = b;
        if (b >= kFirstSlotBucket + kSlotBucketCount)
            withOffsetModel(models.offsetModels, b,
                            [&](auto& m) { enc.encode(m, v - kBucketBase[b]); });
        else if (b >= kFirstSlotBucket)
            enc.encode(models.slotModels[b - kFirstSlotBucket], v - kBucketBase[b]);
        if (enc.overflowed()) return 0;
    }
    enc.flush();
    return enc.overflowed() ? 0 : enc.size();
}

uint32_t rangeDecode(uint8_t* out, uint32_t outCapacity, const uint8_t* in, uint32_t payloadLength,
                     RangeModels& models) {
    models.resetAllModels();
    RangeDecoder dec(in, payloadLength);
    unsigned c1 = 0, c2 = 0;
    uint32_t o = 0;
    for (;;) {
        const unsigned b = dec.decode(models.bucketModels[c2][c1]);
        c2 = c1;
        c1 = b;
        unsigned v = b;
        if (b > 2)
            v = kBucketBase[b] +
                withOffsetModel(models.offsetModels, b, [&](auto& m) { return dec.decode(m); });
        if (v == kEndSymbol) break;
        // Bucket 9 holds offsets up to 127, so 257 cannot come out.
        if (o >= outCapacity) throwDamaged();
        out[o++] = static_cast<uint8_t>(v);
    }
    if (!dec.usedUp()) throwDamaged();
    return o;
}

}  // namespace kirune
