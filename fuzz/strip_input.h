#pragma once
// Input of fuzz_strip_decode, shared with the seed maker:
//   0      colour sampling: value % 3 gives 4:2:0, 4:2:2, 4:4:4
//   1..3   quality level - 1, little-endian, modulo kMaxQualityLevel
//   4..5   image width - 1, little-endian, modulo 1024
//   6..7   image height - 1, little-endian, modulo 1024
//   8      strip budget log2 - 3, modulo 20
//   9      strip index, modulo the strip count
//   then for each of the seven streams in container order a little-endian
//   u32 raw length and that many bytes (fewer when the input ends first).

#include <array>
#include <cstdint>
#include <vector>

#include "codec/codec_state.h"

namespace kirune::fuzz {

inline constexpr int kStripHeaderBytes = 10;
inline constexpr int32_t kMaxSide = 1024;

struct StripInputHeader {
    int32_t sampling = Sampling444;
    int32_t qualityLevel = 12;
    int32_t width = 1, height = 1;
    int32_t budgetLog2 = kStripBudgetLog2;
    int32_t stripIndex = 0;
};

inline StripInputHeader parseStripInputHeader(const uint8_t* p) {
    static constexpr int32_t samplings[3] = {Sampling420, Sampling422, Sampling444};
    StripInputHeader g;
    g.sampling = samplings[p[0] % 3];
    g.qualityLevel = static_cast<int32_t>((p[1] | (p[2] << 8) | (p[3] << 16)) % kMaxQualityLevel) + 1;
    g.width = (p[4] | (p[5] << 8)) % kMaxSide + 1;
    g.height = (p[6] | (p[7] << 8)) % kMaxSide + 1;
    g.budgetLog2 = p[8] % 20 + kMinStripBudgetLog2;
    g.stripIndex = p[9];
    return g;
}

inline void putLe(std::vector<uint8_t>& b, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The input that parses back to `g` (sides up to kMaxSide) and `streams`.
inline std::vector<uint8_t> stripInput(const StripInputHeader& g, const std::array<std::vector<uint8_t>, 7>& streams) {
    std::vector<uint8_t> b;
    b.push_back(g.sampling == Sampling420 ? 0 : g.sampling == Sampling422 ? 1 : 2);
    putLe(b, static_cast<uint32_t>(g.qualityLevel - 1), 3);
    putLe(b, static_cast<uint32_t>(g.width - 1), 2);
    putLe(b, static_cast<uint32_t>(g.height - 1), 2);
    b.push_back(static_cast<uint8_t>(g.budgetLog2 - kMinStripBudgetLog2));
    b.push_back(static_cast<uint8_t>(g.stripIndex));
    for (const std::vector<uint8_t>& s : streams) {
        putLe(b, static_cast<uint32_t>(s.size()), 4);
        b.insert(b.end(), s.begin(), s.end());
    }
    return b;
}

}  // namespace kirune::fuzz
