#pragma once
// The 4x4 block the codec works in, apart from its arithmetic
// (codec/block_ops.h), so that records holding blocks need no intrinsics.

#include <cstdint>

namespace kirune {

// One 4x4 block: lane 4*y + x, i.e. four 64-bit rows with lane 0 of each row in
// the low 16 bits on this little-endian target.
struct alignas(32) BlockVec {
    int16_t lane[16];
};
static_assert(sizeof(BlockVec) == 32);

}  // namespace kirune
