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

}  // namespace kirune
