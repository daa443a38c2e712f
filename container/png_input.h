#pragma once
// PNG input through libpng: 8- or 16-bit RGB or greyscale, interlaced or not. Rows are
// decoded in order as strips ask for them; an interlaced image is decoded
// whole on the first read, up to kMaxInterlacedPngBytes.

#include <cstdint>
#include <memory>
#include <string>

#include "container/image_input.h"

namespace kirune {

// An interlaced PNG delivers no row before its last pass: the whole image is
// held, so larger ones are refused (save them non-interlaced).
inline constexpr uint64_t kMaxInterlacedPngBytes = uint64_t{1} << 30;

std::unique_ptr<InputImage> openPng(const std::string& path, InputUse use);

}  // namespace kirune
