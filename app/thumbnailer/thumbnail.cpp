#include "app/thumbnailer/thumbnail.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "container/carried_tags.h"
#include "container/decoded_strips.h"
#include "container/preview_strips.h"
#include "container/messages.h"
#include "container/output_file.h"
#include "kirune/Error.h"

namespace kirune {

ThumbnailSize thumbnailSize(int32_t width, int32_t height, int32_t maxSide) {
    if (width < 1 || height < 1 || maxSide < 1) throw Error("thumbnail of an empty picture");
    const int64_t longer = std::max(width, height);
    if (longer <= maxSide) return {width, height};
    const auto scaled = [&](int64_t side) {
        return static_cast<int32_t>(std::max<int64_t>(1, (side * maxSide + longer / 2) / longer));
    };
    return {scaled(width), scaled(height)};
}

namespace {

// Sums source rows into output rows: output column c covers source columns
// [c * W / w, (c + 1) * W / w), output row r the same way over the rows, so
// every source pixel lands in exactly one output pixel.
class BoxFilter {
public:
    BoxFilter(int32_t srcWidth, int32_t srcHeight, ThumbnailSize size)
        : srcWidth_(srcWidth), srcHeight_(srcHeight), out_{size.width, size.height},
          sums_(static_cast<std::size_t>(size.width) * 3), rowSums_(sums_.size()) {
        result_.width = size.width;
        result_.height = size.height;
        result_.rgb.reserve(static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height) * 3);
    }

    // `count` equal source rows, the next ones from the top. The row holds R,
    // G, B triples, each standing for `unit` source columns (1 for pixels, 4
    // for block means).
    void addRows(const std::vector<uint16_t>& rgb, int32_t unit, int32_t count) {
        if (static_cast<int64_t>(rgb.size()) * unit < int64_t{srcWidth_} * 3) throw Error("source row too short");
        for (int32_t c = 0; c < out_.width; ++c) {
            const int32_t x0 = columnStart(c), x1 = columnStart(c + 1);
            // Units inside the box count whole; the first and last only
            // for the columns they share with it.
            const int32_t first = x0 / unit, last = (x1 - 1) / unit;
            const uint16_t* v = rgb.data() + 3 * static_cast<std::size_t>(first);
            uint64_t* s = &rowSums_[3 * static_cast<std::size_t>(c)];
            uint64_t inner[3] = {};
            for (int32_t k = first + 1; k < last; ++k)
                for (int j = 0; j < 3; ++j) inner[j] += v[3 * static_cast<std::size_t>(k - first) + j];
            const auto head = static_cast<uint64_t>(std::min(x1, (first + 1) * unit) - x0);
            const auto tail = static_cast<uint64_t>(first == last ? 0 : x1 - last * unit);
            const uint16_t* end = v + 3 * static_cast<std::size_t>(last - first);
            for (int j = 0; j < 3; ++j) s[j] = head * v[j] + static_cast<uint64_t>(unit) * inner[j] + tail * end[j];
        }
        while (count > 0) {
            if (outRow_ == out_.height) throw Error("the picture has more rows than its size says");
            const int32_t rows = std::min(count, rowStart(outRow_ + 1) - row_);
            for (std::size_t i = 0; i < sums_.size(); ++i) sums_[i] += static_cast<uint64_t>(rows) * rowSums_[i];
            row_ += rows;
            count -= rows;
            if (row_ == rowStart(outRow_ + 1)) emitRow();
        }
    }

    Thumbnail take() {
        if (outRow_ != out_.height) throw Error("the picture ended before its last row");
        return std::move(result_);
    }

private:
    int32_t columnStart(int32_t c) const {
        return static_cast<int32_t>(int64_t{c} * srcWidth_ / out_.width);
    }
    int32_t rowStart(int32_t r) const { return static_cast<int32_t>(int64_t{r} * srcHeight_ / out_.height); }

    void emitRow() {
        const uint64_t rows = static_cast<uint64_t>(rowStart(outRow_ + 1) - rowStart(outRow_));
        for (int32_t c = 0; c < out_.width; ++c) {
            const uint64_t n = rows * static_cast<uint64_t>(columnStart(c + 1) - columnStart(c));
            for (int k = 0; k < 3; ++k) {
                uint64_t& s = sums_[3 * static_cast<std::size_t>(c) + k];
                // The mean on the 16-bit scale, then 0..65535 onto 0..255, rounded.
                const uint64_t mean = (s + n / 2) / n;
                result_.rgb.push_back(static_cast<uint8_t>((mean * 255 + 32767) / 65535));
                s = 0;
            }
        }
        ++outRow_;
    }

    int32_t srcWidth_, srcHeight_;
    ThumbnailSize out_;
    std::vector<uint64_t> sums_, rowSums_;
    int32_t row_ = 0;
    int32_t outRow_ = 0;
    Thumbnail result_;
};

ThumbnailSize checkedSize(const ImageLayout& layout, int32_t maxSide) {
    if (maxSide < 1 || maxSide > kMaxThumbnailSide)
        throw Error("thumbnail size " + std::to_string(maxSide) + " is outside 1.." +
                    std::to_string(kMaxThumbnailSide));
    if (static_cast<uint64_t>(layout.width) * static_cast<uint64_t>(layout.height) > kMaxThumbnailSourcePixels)
        throw Error("picture of " + std::to_string(layout.width) + " x " + std::to_string(layout.height) +
                    " pixels is too large for a thumbnail");
    return thumbnailSize(layout.width, layout.height, maxSide);
}

}  // namespace

Thumbnail makeThumbnail(DecodedStrips& strips, int32_t maxSide) {
    const ImageLayout& layout = strips.layout();
    BoxFilter filter(layout.width, layout.height, checkedSize(layout, maxSide));
    std::vector<uint16_t> row;
    while (strips.next())
        for (int32_t r = 0; r < strips.geometry().imageRows; ++r) {
            strips.copyRow(r, row);
            filter.addRows(row, 1, 1);
        }
    return oriented(filter.take(), orientationOf(strips.metadata().carriedTags));
}

Thumbnail makeThumbnail(PreviewStrips& strips, int32_t maxSide) {
    const ImageLayout& layout = strips.layout();
    BoxFilter filter(layout.width, layout.height, checkedSize(layout, maxSide));
    std::vector<uint16_t> row;
    while (strips.next())
        // Four image rows share a block row; strips start on one.
        for (int32_t r = 0; r < strips.geometry().imageRows; r += 4) {
            strips.blockRowRgb(r, row);
            filter.addRows(row, 4, std::min(4, strips.geometry().imageRows - r));
        }
    return oriented(filter.take(), orientationOf(strips.metadata().carriedTags));
}

bool previewFromMeans(int32_t width, int32_t height, int32_t colourSampling, int32_t maxSide) {
    const ThumbnailSize s = thumbnailSize(width, height, maxSide);
    // Chroma blocks span 8 columns below 4:4:4, and 8 rows at 4:2:0.
    const int64_t across = kMeansPreviewShrink * (colourSampling == Sampling444 ? 1 : 2);
    const int64_t down = kMeansPreviewShrink * (colourSampling == Sampling420 ? 2 : 1);
    return width >= across * s.width && height >= down * s.height;
}

Thumbnail thumbnailOfFile(const std::string& path, int32_t maxSide) {
    PreviewStrips means(path);
    const ImageLayout& layout = means.layout();
    if (previewFromMeans(layout.width, layout.height, means.coding().colourSampling, maxSide))
        return makeThumbnail(means, maxSide);
    DecodedStrips strips(path);
    return makeThumbnail(strips, maxSide);
}

Thumbnail oriented(Thumbnail t, int orientation) {
    if (orientation <= 1 || orientation > 8) return t;
    const int32_t w = t.width, h = t.height;
    const bool turned = orientation >= 5;  // rows become columns
    Thumbnail out;
    out.width = turned ? h : w;
    out.height = turned ? w : h;
    out.rgb.resize(t.rgb.size());
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            // Where stored pixel (x, y) is shown, per the TIFF definition of
            // each value (2 mirrored, 3 half turn, 6 quarter turn clockwise...).
            int32_t X = x, Y = y;
            switch (orientation) {
                case 2: X = w - 1 - x; break;
                case 3: X = w - 1 - x, Y = h - 1 - y; break;
                case 4: Y = h - 1 - y; break;
                case 5: X = y, Y = x; break;
                case 6: X = h - 1 - y, Y = x; break;
                case 7: X = h - 1 - y, Y = w - 1 - x; break;
                case 8: X = y, Y = w - 1 - x; break;
            }
            const uint8_t* from = &t.rgb[(static_cast<std::size_t>(y) * w + x) * 3];
            std::copy(from, from + 3, &out.rgb[(static_cast<std::size_t>(Y) * out.width + X) * 3]);
        }
    return out;
}

void writePng(const Thumbnail& t, const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(t.width);
    image.height = static_cast<png_uint_32>(t.height);
    image.format = PNG_FORMAT_RGB;
    const auto stride = static_cast<png_int_32>(t.width) * 3;
    if (t.rgb.size() != static_cast<std::size_t>(stride) * static_cast<std::size_t>(t.height))
        throw Error("thumbnail pixels do not match its size");
    png_alloc_size_t bytes = 0;
    if (!png_image_write_to_memory(&image, nullptr, &bytes, 0, t.rgb.data(), stride, nullptr))
        throw Error(std::string("PNG: ") + image.message);
    std::vector<uint8_t> png(bytes);
    if (!png_image_write_to_memory(&image, png.data(), &bytes, 0, t.rgb.data(), stride, nullptr))
        throw Error(std::string("PNG: ") + image.message);
    OutputFile out(path);
    if (std::fwrite(png.data(), 1, bytes, out.stream()) != bytes) out.fail(kCannotWriteOutputText, errno);
    out.commit();
}

}  // namespace kirune
