#pragma once
// Packed 4x4 block arithmetic shared bit for bit by the encoder and the decoder.
// Lane additions wrap modulo 2^16, gain products are 32-bit (wrapping) and
// shifted arithmetically; nothing saturates unless stated. Arguments may alias.

#include <cstdint>

namespace kirune {

// One 4x4 block: lane 4*y + x, i.e. four 64-bit rows with lane 0 of each row in
// the low 16 bits on this little-endian target.
struct alignas(32) BlockVec {
    int16_t lane[16];
};
static_assert(sizeof(BlockVec) == 32);

void blockFill(BlockVec& dst, int16_t value);
void blockZero(BlockVec& dst);
BlockVec& blockCopy(const BlockVec& src, BlockVec& dst);
void rowCopy(const int16_t* src, int16_t* dst);

BlockVec& blockAdd(const BlockVec& a, const BlockVec& b, BlockVec& dst);
BlockVec& blockSub(const BlockVec& a, const BlockVec& b, BlockVec& dst);
int16_t* rowSub(const int16_t* a, const int16_t* b, int16_t* dst);
void blockSubScalar(const BlockVec& src, int16_t s, BlockVec& dst);

// dst[i] = (src[i] * g) >> 15
BlockVec& blockScale15(const BlockVec& src, int32_t g, BlockVec& dst);
// dst[i] = (src[i] * g) >> 13 on four lanes
void rowScale13(const int16_t* src, int32_t g, int16_t* dst);
// v[i] = (v[i] * g) >> 8 on four lanes, in place
void rowScale8(int16_t* v, int32_t g);

// (D0 >> 1) + (D1 >> 1): D0 sums the products of lanes 0,1 of every row, D1
// those of lanes 2,3; each half loses its own low bit.
int32_t blockDot(const BlockVec& a, const BlockVec& b);
int32_t blockEnergy(const BlockVec& v);
int32_t rowEnergy(const int16_t* v);

// The block's mean in steps of 2^(meanLevel + 4), saturating bright blocks at
// 255 rather than wrapping.
uint8_t blockMeanByte(const BlockVec& v, int meanLevel);
// Scales v (whose energy is e) to norm 16384; e <= 0 leaves v unchanged.
void blockNormalize(BlockVec& v, int32_t e);
// Rounding right shift by `shift` with the constant 8 on both signs.
void blockShiftDown(BlockVec& v, int shift);
// Left shift of each 16-bit lane; bits leaving the lane are lost.
BlockVec& blockShiftUp(BlockVec& v, int shift);

}  // namespace kirune
