#pragma once
// The seven side streams of a strip, in container order (docs/format.md).

namespace kirune {

enum StreamId : int {
    StreamDcSignBits = 0,
    StreamDcBytes,
    StreamHeaderBits,
    StreamIndexBitsLow,
    StreamIndexBitsHigh,
    StreamGainBytes,
    StreamMatchBytes,
};
inline constexpr int kStreamCount = 7;

}  // namespace kirune
