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

// The streams' names, as listings show them.
inline constexpr const char* kStreamNames[kStreamCount] = {"dcSignBits",    "dcBytes",   "headerBits", "indexBitsLow",
                                                           "indexBitsHigh", "gainBytes", "matchBytes"};

}  // namespace kirune
