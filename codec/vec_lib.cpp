#include "codec/vec_lib.h"

#include <cmath>
#include <cstring>

namespace kirune {

namespace {

// 32-bit product with wrap-around, as the packed integer units form it.
inline int32_t mul32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

inline int32_t add32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

}  // namespace

void blockFill(BlockVec& dst, int16_t value) {
    for (auto& l : dst.lane) l = value;
}

void blockZero(BlockVec& dst) { std::memset(dst.lane, 0, sizeof dst.lane); }

BlockVec& blockCopy(const BlockVec& src, BlockVec& dst) {
    std::memmove(dst.lane, src.lane, sizeof dst.lane);
    return dst;
}

void rowCopy(const int16_t* src, int16_t* dst) { std::memmove(dst, src, 4 * sizeof(int16_t)); }

BlockVec& blockAdd(const BlockVec& a, const BlockVec& b, BlockVec& dst) {
    for (int i = 0; i < 16; ++i) dst.lane[i] = static_cast<int16_t>(a.lane[i] + b.lane[i]);
    return dst;
}

BlockVec& blockSub(const BlockVec& a, const BlockVec& b, BlockVec& dst) {
    for (int i = 0; i < 16; ++i) dst.lane[i] = static_cast<int16_t>(a.lane[i] - b.lane[i]);
    return dst;
}

int16_t* rowSub(const int16_t* a, const int16_t* b, int16_t* dst) {
    for (int i = 0; i < 4; ++i) dst[i] = static_cast<int16_t>(a[i] - b[i]);
    return dst;
}

void blockSubScalar(const BlockVec& src, int16_t s, BlockVec& dst) {
    for (int i = 0; i < 16; ++i) dst.lane[i] = static_cast<int16_t>(src.lane[i] - s);
}

BlockVec& blockScale15(const BlockVec& src, int32_t g, BlockVec& dst) {
    for (int i = 0; i < 16; ++i) dst.lane[i] = static_cast<int16_t>(mul32(src.lane[i], g) >> 15);
    return dst;
}

void rowScale13(const int16_t* src, int32_t g, int16_t* dst) {
    for (int i = 0; i < 4; ++i) dst[i] = static_cast<int16_t>(mul32(src[i], g) >> 13);
}

void rowScale8(int16_t* v, int32_t g) {
    for (int i = 0; i < 4; ++i) v[i] = static_cast<int16_t>(mul32(v[i], g) >> 8);
}

int32_t blockDot(const BlockVec& a, const BlockVec& b) {
    int32_t d0 = 0, d1 = 0;
    for (int r = 0; r < 16; r += 4) {
        d0 = add32(d0, add32(mul32(a.lane[r], b.lane[r]), mul32(a.lane[r + 1], b.lane[r + 1])));
        d1 = add32(d1, add32(mul32(a.lane[r + 2], b.lane[r + 2]), mul32(a.lane[r + 3], b.lane[r + 3])));
    }
    return add32(d0 >> 1, d1 >> 1);
}

int32_t blockEnergy(const BlockVec& v) {
    int32_t e = 0;
    for (int i = 0; i < 16; ++i) e = add32(e, mul32(v.lane[i], v.lane[i]));
    return e;
}

int32_t rowEnergy(const int16_t* v) {
    int32_t e = 0;
    for (int i = 0; i < 4; ++i) e = add32(e, mul32(v[i], v[i]));
    return e;
}

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
    const auto F = static_cast<int32_t>(f);
    for (auto& l : v.lane) l = static_cast<int16_t>(mul32(l, F) >> 5);
}

void blockShiftDown(BlockVec& v, int shift) {
    for (auto& l : v.lane) {
        const int32_t x = l;
        l = static_cast<int16_t>(x > 0 ? (x + 8) >> shift : -((8 - x) >> shift));
    }
}

BlockVec& blockShiftUp(BlockVec& v, int shift) {
    for (auto& l : v.lane) l = static_cast<int16_t>(static_cast<uint16_t>(l) << shift);
    return v;
}

}  // namespace kirune
