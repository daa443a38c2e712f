#pragma once
// Texts of the block-sorting coder's errors beyond the shared ones in
// kirune/Error.h.

#include <string>

namespace kirune {

inline constexpr const char* kWriteFailedText = "Cannot write the coded stream";
inline constexpr const char* kShortSourceText = "The input ends before its stated length";
inline constexpr const char* kSeekFailedText = "The input cannot be read again for a stored copy";
inline constexpr const char* kSinkTooSmallText = "The output buffer is too small for the stream";

// The range decoder's failure names the symbol count of the model that found
// no symbol.
inline std::string rangeDecodeErrorText(unsigned symbolCount) {
    return "RangeCoder : decode error " + std::to_string(symbolCount);
}

}  // namespace kirune
