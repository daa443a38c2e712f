#pragma once
// A container's preview: the picture box-filtered down, strip by strip as it
// is decoded, so that memory stays one strip plus the preview itself.

#include <cstdint>
#include <string>
#include <vector>

namespace kirune {

class DecodedStrips;
class PreviewStrips;

// Pictures beyond this many pixels are refused before any strip is decoded:
// a header claiming them is far more likely hostile than a photograph, and
// decoding them would outlast any file manager's patience.
inline constexpr uint64_t kMaxThumbnailSourcePixels = uint64_t{1} << 30;
inline constexpr int32_t kMaxThumbnailSide = 4096;
// From this many source pixels per preview pixel on each side, per 4 pixels
// of block (8 for subsampled chroma), block means stand in for decoded
// pixels, and only the two mean streams of each strip are decoded. A sharp
// edge through a block cut by a preview pixel's side then moves that pixel by
// at most a column's share of the edge's contrast (1/16 of it); photographs
// differ from the decoded preview by rounding. Any smaller shrink decodes the
// strips: the means' errors grow as the preview pixels shrink, and the
// picture is then small, or coarsely coded, enough to decode quickly.
inline constexpr int32_t kMeansPreviewShrink = 16;

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
// The same from the block means alone, each standing for its 4 x 4 pixels
// (or the chroma sampling's 8 x 8 or 8 x 4 for Cb and Cr).
Thumbnail makeThumbnail(PreviewStrips& strips, int32_t maxSide);
// Whether a picture of this size and colour sampling shrinks enough at
// maxSide for its means.
bool previewFromMeans(int32_t width, int32_t height, int32_t colourSampling, int32_t maxSide);
// The preview of the container at `path`: from its block means when the
// picture shrinks enough for them, else from its decoded strips.
Thumbnail thumbnailOfFile(const std::string& path, int32_t maxSide);

// The picture as shown for an orientation: mirrored, turned or both.
Thumbnail oriented(Thumbnail t, int orientation);

// Writes the thumbnail as a PNG into `path`, in place only once complete.
void writePng(const Thumbnail& t, const std::string& path);

}  // namespace kirune
