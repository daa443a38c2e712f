#pragma once
// Image input: TIFF (through libtiff: stripped or tiled, interleaved or planar,
// any compression libtiff decodes) with three 8- or 16-bit RGB samples or one
// grey sample (black or white at 0), uncompressed 24-bit BMP (bottom-up or
// top-down, any pixel-data offset), and 8- or 16-bit RGB or grey PNG
// (png_input.h). Grey is read as R = G = B, black at 0 (metadata.grey).
// A strip at a time is read into the R, G and B block planes, extended to the
// padded size by mirroring, so the image is never held whole.

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/codec_state.h"
#include "container/metadata.h"

namespace kirune {

enum class InputFormat { Tiff, Bmp, Png };

// Where one strip's rows go: sample (x, strip row r) of channel c (0 R, 1 G,
// 2 B) is lane ((sh-1-r) & 3) * 4 + (x & 3) of block ((sh-1-r) >> 2) *
// blocksPerRow + (x >> 2), sh being the strip height.
struct StripTarget {
    BlockVec* planes[3] = {};
    int32_t blocksPerRow = 0;
    int32_t stripHeight = 0;
    int32_t firstRow = 0;  // image row of strip row 0

    int16_t& at(int c, int32_t x, int32_t stripRow) const {
        const int32_t y = stripHeight - 1 - stripRow;
        return planes[c][(y >> 2) * blocksPerRow + (x >> 2)].lane[(y & 3) * 4 + (x & 3)];
    }
    // Stores `count` samples of channel c for image row `row` from column x0,
    // taking every `step`-th sample of src; 16-bit samples (native byte order)
    // become (v + 8) >> 4.
    void store8(int c, int32_t row, int32_t x0, int32_t count, const uint8_t* src, int step) const;
    void store16(int c, int32_t row, int32_t x0, int32_t count, const uint8_t* src, int step) const;
    // store16 of R, G and B from `count` interleaved pixels of three 16-bit
    // samples, in one pass over them.
    void storeRgb16(int32_t row, int32_t x0, int32_t count, const uint8_t* src) const;
};

// An open input image with the metadata it carries. Holds its handles until
// destroyed.
class InputImage {
public:
    virtual ~InputImage() = default;
    InputImage(const InputImage&) = delete;
    InputImage& operator=(const InputImage&) = delete;

    InputFormat format() const { return format_; }
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    // 16 or 8; a BMP is 8. Selects the colour transform's variant.
    int32_t bitsPerSample() const { return bitsPerSample_; }

    // What the container carries: tags of a TIFF (none for a BMP) and the
    // description chosen by the ImageDescription rule.
    ImageMetadata metadata;

    // The file as opened: its identity, permissions and times.
    struct stat fileStatus {};

    // What was noticed but did not stop the reading so far (libtiff's repairs
    // of a damaged file, ignored tags), each once.
    virtual std::vector<std::string> warnings() const { return {}; }

    // Fills image rows [t.firstRow, t.firstRow + count) of the three planes,
    // columns 0 .. width-1. Throws Error(kInputReadText ...) when they cannot
    // be read in full.
    virtual void readRows(const StripTarget& t, int32_t count) = 0;

    // Whether another handle on the same file can read any run of `rows` rows
    // starting anywhere at little more than their own cost, so that strips
    // can be read side by side, one handle each.
    virtual bool readsRunsCheaply(int32_t rows) const { (void)rows; return false; }

    // Once every row has been read: metadata that follows the pixels in the
    // file (a PNG's texts and Exif after its image data) joins `metadata`'s
    // trailer fields. What cannot be read becomes a warning.
    virtual void readMetadataAfterPixels() {}

protected:
    InputImage(InputFormat format, int32_t width, int32_t height, int32_t bits)
        : format_(format), width_(width), height_(height), bitsPerSample_(bits) {}

private:
    InputFormat format_;
    int32_t width_;
    int32_t height_;
    int32_t bitsPerSample_;
};

// Opens and examines an input: size, sample width, tags. Refuses with Error
// what it cannot read (not a regular file, unreadable, not a TIFF or BMP, not
// RGB with 3 samples or grey with 1, of 8 or 16 bits, not uncompressed 24-bit, truncated, a
// TIFF with a second full-size page, or with more than 256 directories, where
// one could hide past the walk's end). A resolution without unit is taken in
// inches, the TIFF default.
enum class InputUse {
    Whole,       // pixels, tags and the checks of the file as a whole
    PixelsOnly,  // another handle on a file already opened whole: its pixels
};
std::unique_ptr<InputImage> openInputImage(const std::string& path, InputFormat format,
                                           InputUse use = InputUse::Whole);

// Reads strip `stripIndex` of `layout` into w.rPlane, w.gPlane,
// w.bPlane: strip row r in buffer row stripHeight - 1 - r, columns past the
// right edge mirrored (column x takes 2W - x - 2, at least 0), rows below the
// image's last row mirrored within the strip (strip row r takes
// 2 * rows - r - 2, at least 0). Rows above a short last strip's coded area
// are left as they are.
void readInputStrip(InputImage& in, const ImageLayout& layout, int32_t stripIndex, StripWork& w);

}  // namespace kirune
