#pragma once
// A container's preview: the picture box-filtered down, strip by strip as it
// is decoded, so that memory stays one strip plus the preview itself.

#include <cstdint>
#include <string>
#include <vector>

namespace kirune {

class DecodedStrips;

// Pictures beyond this many pixels are refused before any strip is decoded:
// a header claiming them is far more likely hostile than a photograph, and
// decoding them would outlast any file manager's patience.
inline constexpr uint64_t kMaxThumbnailSourcePixels = uint64_t{1} << 30;
inline constexpr int32_t kMaxThumbnailSide = 4096;

struct Thumbnail {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> rgb;  // 8-bit R, G, B, rows top to bottom
};

// The size a width x height picture is shown at when its longer side is
// brought down to maxSide: the aspect kept, each side at least 1, never
// enlarged.
struct ThumbnailSize {
    int32_t width;
    int32_t height;
};
ThumbnailSize thumbnailSize(int32_t width, int32_t height, int32_t maxSide);

// Decodes every strip of `strips` and averages each output pixel over the
// source pixels it covers, then turns the result as the picture's carried
// Orientation tag says, as viewers show the expanded TIFF. Throws Error for a
// picture beyond kMaxThumbnailSourcePixels and for anything the decoding
// throws.
Thumbnail makeThumbnail(DecodedStrips& strips, int32_t maxSide);

// The picture as shown for an orientation: mirrored, turned or both.
Thumbnail oriented(Thumbnail t, int orientation);

// Writes the thumbnail as a PNG into `path`, in place only once complete.
void writePng(const Thumbnail& t, const std::string& path);

}  // namespace kirune
