#pragma once
// Syntax of a strip's seven side streams, shared by the block encoder, the
// decoder and the strip writer: block types, the LSB-first bit fields, the
// match byte, raw sample bytes, the mean prediction and the raw lengths.
//
// Writers never check for room: the buffers are sized for the worst case per
// block. Readers take untrusted bytes and check every field against the
// stream's raw length; a violation throws Error(kDamagedFileText).

#include <array>
#include <cstddef>
#include <cstdint>

#include "codec/codec_state.h"
#include "codec/dictionary.h"
#include "kirune/Error.h"

namespace kirune {

// 2-bit block type and the 2-bit subtype of BlockSpecial.
enum BlockType : uint8_t { BlockFlat = 0, BlockVq = 1, BlockPredicted = 2, BlockSpecial = 3 };
enum SpecialSubtype : uint8_t {
    SpecialMatch = 0,
    SpecialPattern = 1,
    SpecialMatchPattern = 2,
    SpecialRaw = 3,
};

// A gain byte indexes gainLevels.
inline constexpr int kMaxGainByte = kGainLevelCount - 1;

// Everything one block's header announces: what the block encoder writes
// (emitBlock) and the decoder reads back (readBlockSideInfo).
struct BlockHeader {
    uint8_t type = BlockFlat;
    uint8_t smoothFlag = 0;
    uint8_t subtype = SpecialMatch;
    uint8_t stageCount = 1;
    uint8_t vqLevel = 0;
    uint8_t shapeIndex[2][4] = {};  // [stage][row]
    uint8_t gainIndex[2] = {};      // gain-dictionary index per stage
    uint8_t gainByte[2] = {};       // gainLevels index per stage; [0] for patterns
    uint8_t pattern = 0;            // 0..7
    uint8_t patternSign = 0;        // 1 = negative gain
    // Blocks back to the matched one. Read from a stream it is unvalidated:
    // the decoder checks it against the region.
    int32_t matchOffset = 0;
    const uint8_t* rawBytes = nullptr;  // read: 16 bytes inside matchBytes for SpecialRaw

    bool matchesEarlierBlock() const {
        return (type == BlockPredicted && smoothFlag == 0) ||
               (type == BlockSpecial && (subtype == SpecialMatch || subtype == SpecialMatchPattern));
    }
};

// ---- writing ---------------------------------------------------------------

// Adds a field of `width` (1..8) bits at the cursor into the 16-bit
// little-endian window of a zero-filled buffer and advances the cursor.
inline void putBits(uint8_t* buf, BitCursor& cur, uint32_t value, int width) {
    uint8_t* p = buf + cur.byte;
    const uint32_t word = (p[0] | (uint32_t{p[1]} << 8)) + (value << cur.bit);
    p[0] = static_cast<uint8_t>(word);
    p[1] = static_cast<uint8_t>(word >> 8);
    cur.bit += static_cast<uint32_t>(width);
    if (cur.bit >= 8) {
        cur.byte += 1;
        cur.bit -= 8;
    }
}

inline void putByte(uint8_t* buf, uint32_t& pos, uint8_t value) { buf[pos++] = value; }

// What a match byte reaches: dy (2 bits) up to 3 block rows up, dx (6 bits,
// two's complement) 31 block columns either side. Offsets stay below 16384,
// so planes more than 4095 blocks wide reach fewer rows up.
inline constexpr int32_t kMatchRowsUp = 3;
inline constexpr int32_t kMatchColumns = 31;
inline constexpr int32_t kMatchOffsetLimit = 16383;

// Block rows up a match may reach in a plane of B block columns.
inline constexpr int32_t matchRowsUp(int32_t B) {
    return kMatchOffsetLimit / B - 1 < kMatchRowsUp ? kMatchOffsetLimit / B - 1 : kMatchRowsUp;
}

// Match byte for a positive offset `o` in a plane of B block columns: dy in
// bits 0..1, dx as 6-bit two's complement in bits 2..7.
inline uint8_t matchByte(uint32_t o, int32_t B) {
    int32_t q = static_cast<int32_t>(o / static_cast<uint32_t>(B));
    int32_t r = static_cast<int32_t>(o % static_cast<uint32_t>(B));
    if (r > kMatchColumns) {
        r -= B;
        q += 1;
    }
    return static_cast<uint8_t>((q & 3) | ((r & 63) << 2));
}

// Offset a match byte stands for; may be zero or negative in a damaged stream.
inline int32_t matchOffsetOf(uint8_t m, int32_t B) {
    const int32_t d = m >> 2;
    const int32_t dx = d >= 32 ? d - 64 : d;
    return (m & 3) * B + dx;
}

// Raw block bytes: 0..255 for samples 0..4095, rounded, clamped.
inline uint8_t rawSampleByte(int16_t x) {
    int32_t v = int32_t{x} + 8;
    v = v < 0 ? 0 : v > 4080 ? 4080 : v;
    return static_cast<uint8_t>(v >> 4);
}
inline int16_t rawSampleValue(uint8_t b) { return static_cast<int16_t>(b * 16 + (b >> 4)); }

// ---- reading ---------------------------------------------------------------

// LSB-first bit fields of a stream whose data is `rawLength` bytes; the buffer
// holds at least one byte more, so the 16-bit window at the last data byte
// stays inside it.
class BitReader {
public:
    BitReader() = default;
    BitReader(const uint8_t* data, uint32_t rawLength, BitCursor at)
        : data_(data), pos_(uint64_t{at.byte} * 8 + at.bit), limit_(uint64_t{rawLength} * 8) {
        if (pos_ > limit_) throwDamaged();
    }

    uint32_t read(int width) {
        if (limit_ - pos_ < static_cast<uint64_t>(width)) throwDamaged();
        const uint8_t* p = data_ + (pos_ >> 3);
        const uint32_t word = p[0] | (uint32_t{p[1]} << 8);
        const uint32_t v = (word >> (pos_ & 7)) & ((1u << width) - 1);
        pos_ += static_cast<uint64_t>(width);
        return v;
    }

    BitCursor cursor() const {
        return {static_cast<uint32_t>(pos_ >> 3), static_cast<uint32_t>(pos_ & 7)};
    }

private:
    const uint8_t* data_ = nullptr;
    uint64_t pos_ = 0;
    uint64_t limit_ = 0;
};

class ByteReader {
public:
    ByteReader() = default;
    ByteReader(const uint8_t* data, uint32_t rawLength, uint32_t at)
        : data_(data), pos_(at), limit_(rawLength) {
        if (pos_ > limit_) throwDamaged();
    }

    uint8_t read() {
        if (pos_ >= limit_) throwDamaged();
        return data_[pos_++];
    }
    // Pointer to the next n bytes, consumed.
    const uint8_t* take(uint32_t n) {
        if (limit_ - pos_ < n) throwDamaged();
        const uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }
    uint32_t position() const { return pos_; }

private:
    const uint8_t* data_ = nullptr;
    uint32_t pos_ = 0;
    uint32_t limit_ = 0;
};

// ---- means ----------------------------------------------------------------

// Prediction of the mean byte at region row r, column c (plane index n):
// 128 for the first block, the block above in column 0, the left one otherwise.
inline int32_t meanPrediction(const uint8_t* means, std::size_t n, int32_t B, int32_t r,
                              int32_t c) {
    if (c > 0) return means[n - 1];
    if (r > 0) return means[n - static_cast<std::size_t>(B)];
    return 128;
}

// Raw length of every stream as its cursors stand after a strip's coding.
std::array<uint32_t, kStreamCount> streamRawLengths(const SideStreams& st);

}  // namespace kirune
