#pragma once
// A strip section's stream table as it lies in the file: per stream, in
// container order, its raw length and the bytes it is recorded in
// (docs/format.md).

#include <array>
#include <cstdint>

#include "codec/stream_ids.h"

namespace kirune {

struct StreamEntry {
    uint32_t rawLength = 0;
    uint32_t recordedSize = 0;  // == rawLength: stored verbatim
    bool operator==(const StreamEntry&) const = default;
};
using StreamTable = std::array<StreamEntry, kStreamCount>;
inline constexpr int kStreamTableBytes = 8 * kStreamCount;

}  // namespace kirune
