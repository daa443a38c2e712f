#include "container/image_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <system_error>
#include <vector>

#include "container/carried_tags.h"
#include "container/input_file.h"
#include "container/messages.h"
#include "container/png_input.h"
#include "container/tiff_support.h"
#include "kirune/Error.h"

namespace kirune {

namespace {

[[noreturn]] void refuse(const char* text, const std::string& detail = {}) {
    throw Error(text, detail);
}

// A tile or strip decoded at once stays below this; larger ones come from a
// damaged file or from no camera or editor.
constexpr uint64_t kMaxTileBytes = uint64_t{1} << 28;

// ---- TIFF -------------------------------------------------------------------

class TiffInput final : public InputImage {
public:
    TiffInput(int32_t width, int32_t height, int32_t bits) : InputImage(InputFormat::Tiff, width, height, bits) {}

    void readRows(const StripTarget& t, int32_t count) override {
        if (tiled) readTiles(t, count);
        else readScanlines(t, count);
    }

    // Tiles are read where they stand; a strip restarts at most one stored
    // strip ahead of a run, which costs little when stored strips are short
    // or need no decoding.
    bool readsRunsCheaply(int32_t rows) const override {
        return tiled || !compressed || rowsPerStrip <= static_cast<uint32_t>(std::max(rows / 4, 1));
    }

    std::vector<std::string> warnings() const override {
        std::vector<std::string> all = messages->warnings;
        if (messages->moreWarnings)
            all.push_back("and " + std::to_string(messages->moreWarnings) + " more libtiff warnings");
        return all;
    }

    std::unique_ptr<TiffMessages> messages;  // outlives tif; libtiff keeps its address
    TiffHandle tif;
    bool tiled = false;
    bool planar = false;  // PlanarConfiguration 2: one plane per sample
    int samples = 3;      // 1: greyscale
    bool minIsWhite = false;
    uint32_t tileWidth = 0, tileLength = 0;
    uint32_t rowsPerStrip = 1;
    bool compressed = true;
    std::vector<uint8_t> buffer;  // one scanline or one tile
    int32_t lastRow = -1;  // where libtiff's scanline reader stands
    int lastSample = -1;

private:
    // `count` samples of component c for image row `row` from column x0,
    // every `step`-th sample of `src`.
    struct SampleRun {
        int32_t row, x0, count;
        const uint8_t* src;
        int step;
    };
    void store(const StripTarget& t, int c, const SampleRun& r) const {
        if (bitsPerSample() == 16)
            t.store16(c, r.row, r.x0, r.count, r.src, r.step);
        else
            t.store8(c, r.row, r.x0, r.count, r.src, r.step);
    }

    // Interleaved pixels of `r.step` samples: R, G, B, or one grey sample
    // for all three.
    void storePixels(const StripTarget& t, const SampleRun& r) const {
        if (r.step == 3 && bitsPerSample() == 16) return t.storeRgb16(r.row, r.x0, r.count, r.src);
        for (int c = 0; c < 3; ++c)
            store(t, c, {r.row, r.x0, r.count, r.step == 3 ? r.src + c * (bitsPerSample() / 8) : r.src, r.step});
    }

    // Grey where white is 0 becomes grey where black is, in the buffer,
    // which the next read replaces.
    void invertIfWhite(uint8_t* p, int32_t count) const {
        if (!minIsWhite) return;
        if (bitsPerSample() == 8) {
            for (int32_t i = 0; i < count; ++i) p[i] = static_cast<uint8_t>(0xff - p[i]);
            return;
        }
        for (int32_t i = 0; i < count; ++i) {
            uint16_t v;
            std::memcpy(&v, p + 2 * i, 2);
            v = static_cast<uint16_t>(0xffff - v);
            std::memcpy(p + 2 * i, &v, 2);
        }
    }

    [[noreturn]] void readFailed(int32_t row) const {
        refuse(kInputReadText, "TIFF row " + std::to_string(row) + messages->reason());
    }

    // libtiff decodes a compressed strip only forwards from its first row, so
    // a read that does not continue the previous one restarts at the start of
    // the strip holding it. Interleaved rows thus decode once in one pass;
    // planar ones a plane at a time, redoing at most one strip per plane.
    void readLine(int32_t row, int sample) {
        if (sample != lastSample || row != lastRow + 1) {
            for (int32_t r = row - static_cast<int32_t>(row % rowsPerStrip); r < row; ++r) readOneLine(r, sample);
        }
        readOneLine(row, sample);
    }

    void readOneLine(int32_t row, int sample) {
        lastSample = -1;
        if (TIFFReadScanline(tif.get(), buffer.data(), static_cast<uint32_t>(row), static_cast<uint16_t>(sample)) < 0)
            readFailed(row);
        lastRow = row;
        lastSample = sample;
    }

    void readScanlines(const StripTarget& t, int32_t count) {
        const int planes = planar ? 3 : 1;
        for (int p = 0; p < planes; ++p) {
            for (int32_t r = 0; r < count; ++r) {
                readLine(t.firstRow + r, p);
                if (planar) {
                    store(t, p, {r, 0, width(), buffer.data(), 1});
                } else {
                    invertIfWhite(buffer.data(), width());
                    storePixels(t, {r, 0, width(), buffer.data(), samples});
                }
            }
        }
    }

    void readTiles(const StripTarget& t, int32_t count) {
        const int bytes = bitsPerSample() / 8;
        const int samplesPerPixel = planar ? 1 : samples;
        const std::size_t tileRowBytes = std::size_t{tileWidth} * samplesPerPixel * bytes;
        const int32_t last = t.firstRow + count;  // one past
        const int planes = planar ? 3 : 1;
        for (uint32_t ty = static_cast<uint32_t>(t.firstRow) / tileLength * tileLength;
             ty < static_cast<uint32_t>(last); ty += tileLength) {
            for (uint32_t tx = 0; tx < static_cast<uint32_t>(width()); tx += tileWidth) {
                const int32_t columns = static_cast<int32_t>(std::min<uint32_t>(tileWidth, width() - tx));
                for (int p = 0; p < planes; ++p) {
                    if (TIFFReadTile(tif.get(), buffer.data(), tx, ty, 0, static_cast<uint16_t>(p)) < 0)
                        readFailed(static_cast<int32_t>(ty));
                    const int32_t from = std::max<int32_t>(t.firstRow, static_cast<int32_t>(ty));
                    const int32_t to = std::min<int64_t>(last, int64_t{ty} + tileLength);
                    for (int32_t row = from; row < to; ++row) {
                        uint8_t* src = buffer.data() + (row - ty) * tileRowBytes;
                        const int32_t r = row - t.firstRow;
                        if (planar)
                            store(t, p, {r, static_cast<int32_t>(tx), columns, src, 1});
                        else {
                            invertIfWhite(src, columns);
                            storePixels(t, {r, static_cast<int32_t>(tx), columns, src, samples});
                        }
                    }
                }
            }
        }
    }
};

std::optional<std::string> tiffText(TIFF* tif, ttag_t tag) {
    const char* value = nullptr;
    if (TIFFGetField(tif, tag, &value) != 1 || !value) return std::nullopt;
    return std::string(value);
}

// Directories after the first may only be reduced-resolution images
// (thumbnails, NewSubfileType bit 0): any other would be a page silently
// lost. Leaves the handle on the first directory.
void checkSinglePage(TIFF* tif, TiffMessages& messages) {
    constexpr int kMaxDirectories = 256;  // bounds the walk of a forged chain
    int directories = 1, pages = 1;
    while (!TIFFLastDirectory(tif) && directories < kMaxDirectories) {
        if (TIFFReadDirectory(tif) != 1) {
            // A damaged link after the first image: that image is still whole.
            messages.warnings.push_back("directory " + std::to_string(directories + 1) +
                                        " cannot be read; only the first image is used" + messages.reason());
            break;
        }
        ++directories;
        uint32_t subfileType = 0;
        TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &subfileType);
        if (!(subfileType & FILETYPE_REDUCEDIMAGE)) ++pages;
    }
    if (pages > 1) refuse(kMultiPageTiffText, std::to_string(pages) + " pages");
    // A page could follow the last directory walked: better refused than lost.
    if (directories == kMaxDirectories && !TIFFLastDirectory(tif))
        throw Error(UserMessage{kTooManyDirectoriesText, {std::to_string(kMaxDirectories)}});
    if (directories > 1 && TIFFSetDirectory(tif, 0) != 1) refuse(kNotTiffText, messages.lastError);
}

// Tags carried through the container; absent ones stay absent.
ImageMetadata readTiffMetadata(TIFF* tif) {
    ImageMetadata m;
    m.make = tiffText(tif, TIFFTAG_MAKE);
    m.model = tiffText(tif, TIFFTAG_MODEL);
    m.software = tiffText(tif, TIFFTAG_SOFTWARE);
    m.dateTime = tiffText(tif, TIFFTAG_DATETIME);
    m.artist = tiffText(tif, TIFFTAG_ARTIST);
    uint16_t unit = 0;
    float xres = 0.0f, yres = 0.0f;
    const bool hasX = TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres) == 1;
    const bool hasY = TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres) == 1;
    if (hasX) m.xResolution = xres;
    if (hasY) m.yResolution = yres;
    if (TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit) == 1)
        m.resolutionUnit = unit;
    else if (hasX || hasY)
        m.resolutionUnit = RESUNIT_INCH;  // the TIFF default; 0 would not be writable on the way out
    uint32_t iccLength = 0;
    const void* icc = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &iccLength, &icc) == 1 && icc && iccLength > 0) {
        const auto* p = static_cast<const uint8_t*>(icc);
        m.iccProfile.assign(p, p + iccLength);
    }
    // This file's own description when it has a short one, otherwise the
    // credit: decided per file, never remembered for the next.
    const std::optional<std::string> description = tiffText(tif, TIFFTAG_IMAGEDESCRIPTION);
    m.description = description && description->size() >= 4 && description->size() <= 30 ? *description
                                                                                          : creditText();

    return m;
}

std::unique_ptr<InputImage> openTiff(const std::string& path, InputUse use) {
    struct stat st {};
    UniqueFd fd = openRegularFile(path, st);
    auto messages = std::make_unique<TiffMessages>();
    TiffHandle tif = openTiffForReading(fd.release(), path, *messages);
    if (!tif) refuse(kNotTiffText, messages->lastError);
    std::vector<uint8_t> carried;
    if (use == InputUse::Whole) {
        checkSinglePage(tif.get(), *messages);
        carried = readCarriedTags(tif.get(), messages->warnings);
    }

    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0, photometric = 0, planarConfig = 0, sampleFormat = 0;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_PLANARCONFIG, &planarConfig);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLEFORMAT, &sampleFormat);
    const bool hasPhotometric = TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric) == 1;

    if (samples != 3 && samples != 1) refuse(kUnsupportedTiffText, "SamplesPerPixel " + std::to_string(samples));
    if (bits != 8 && bits != 16) refuse(kUnsupportedTiffText, "BitsPerSample " + std::to_string(bits));
    const bool grey = samples == 1;
    if (!hasPhotometric || (grey ? photometric != PHOTOMETRIC_MINISWHITE && photometric != PHOTOMETRIC_MINISBLACK
                                 : photometric != PHOTOMETRIC_RGB))
        refuse(kUnsupportedTiffText, "PhotometricInterpretation " + std::to_string(photometric) + " with " +
                                         std::to_string(samples) + (grey ? " sample" : " samples"));
    if (sampleFormat != SAMPLEFORMAT_UINT) refuse(kUnsupportedTiffText, "SampleFormat " + std::to_string(sampleFormat));
    if (planarConfig != PLANARCONFIG_CONTIG && planarConfig != PLANARCONFIG_SEPARATE)
        refuse(kUnsupportedTiffText, "PlanarConfiguration " + std::to_string(planarConfig));
    const auto maxDimension = static_cast<uint32_t>(std::numeric_limits<int32_t>::max());
    if (width < 1 || height < 1 || width > maxDimension || height > maxDimension)
        refuse(kUnsupportedTiffText, std::to_string(width) + " x " + std::to_string(height));

    auto in = std::make_unique<TiffInput>(static_cast<int32_t>(width), static_cast<int32_t>(height), bits);
    // One sample is one plane, however it is configured.
    in->planar = planarConfig == PLANARCONFIG_SEPARATE && !grey;
    in->samples = samples;
    in->minIsWhite = photometric == PHOTOMETRIC_MINISWHITE;
    in->tiled = TIFFIsTiled(tif.get()) != 0;
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_COMPRESSION, &compression);
    in->compressed = compression != COMPRESSION_NONE;
    const uint64_t rowSamples = uint64_t{width} * (in->planar ? 1 : samples);
    if (in->tiled) {
        TIFFGetField(tif.get(), TIFFTAG_TILEWIDTH, &in->tileWidth);
        TIFFGetField(tif.get(), TIFFTAG_TILELENGTH, &in->tileLength);
        const uint64_t tileBytes = TIFFTileSize64(tif.get());
        const uint64_t needed = uint64_t{in->tileWidth} * in->tileLength * (in->planar ? 1 : samples) * (bits / 8);
        if (in->tileWidth == 0 || in->tileLength == 0 || tileBytes < needed || tileBytes > kMaxTileBytes)
            refuse(kUnsupportedTiffText, "tile " + std::to_string(in->tileWidth) + " x " +
                                             std::to_string(in->tileLength));
        in->buffer.resize(static_cast<std::size_t>(tileBytes));
    } else {
        const uint64_t lineBytes = TIFFScanlineSize64(tif.get());
        if (lineBytes < rowSamples * (bits / 8) || lineBytes > kMaxTileBytes)
            refuse(kUnsupportedTiffText, "scanline of " + std::to_string(lineBytes) + " bytes");
        in->buffer.resize(static_cast<std::size_t>(lineBytes));
        uint32_t rows = 0;
        TIFFGetFieldDefaulted(tif.get(), TIFFTAG_ROWSPERSTRIP, &rows);
        in->rowsPerStrip = rows == 0 ? height : std::min(rows, height);
    }

    in->metadata = readTiffMetadata(tif.get());
    if (grey) in->metadata.grey = GreyFormat{static_cast<uint8_t>(photometric), static_cast<uint8_t>(bits)};
    in->metadata.carriedTags = std::move(carried);
    in->tif = std::move(tif);
    in->messages = std::move(messages);
    in->fileStatus = st;
    return in;
}

// ---- BMP --------------------------------------------------------------------

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};

uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

class BmpInput final : public InputImage {
public:
    BmpInput(int32_t width, int32_t height) : InputImage(InputFormat::Bmp, width, height, 8) {}

    void readRows(const StripTarget& t, int32_t count) override {
        // The strip's rows are contiguous in the file: the bottom-most first
        // in a bottom-up file, the top-most first in a top-down one.
        const int64_t firstFileRow = topDown ? t.firstRow : int64_t{height()} - t.firstRow - count;
        const int64_t offset = dataOffset + firstFileRow * rowStride;
        const std::size_t bytes = static_cast<std::size_t>(count) * static_cast<std::size_t>(rowStride);
        rows.resize(bytes);
        if (fseeko(file.get(), offset, SEEK_SET) != 0 || std::fread(rows.data(), 1, bytes, file.get()) != bytes)
            refuse(kInputReadText, "BMP rows " + std::to_string(t.firstRow) + " to " +
                                       std::to_string(t.firstRow + count - 1));
        for (int32_t r = 0; r < count; ++r) {
            const uint8_t* src = rows.data() + static_cast<std::size_t>(topDown ? r : count - 1 - r) * rowStride;
            t.store8(0, r, 0, width(), src + 2, 3);
            t.store8(1, r, 0, width(), src + 1, 3);
            t.store8(2, r, 0, width(), src, 3);
        }
    }

    std::unique_ptr<std::FILE, FileCloser> file;
    int64_t dataOffset = 0;
    int64_t rowStride = 0;
    bool topDown = false;
    std::vector<uint8_t> rows;  // one strip of file rows
};

std::unique_ptr<InputImage> openBmp(const std::string& path) {
    struct stat st {};
    UniqueFd fd = openRegularFile(path, st);
    std::unique_ptr<std::FILE, FileCloser> file(::fdopen(fd.get(), "rb"));
    if (!file) refuse(kCannotOpenInputText, systemReason(errno));
    fd.release();
    uint8_t h[54];
    if (std::fread(h, 1, sizeof h, file.get()) != sizeof h || h[0] != 'B' || h[1] != 'M') refuse(kNotBmpText);

    const uint32_t dataOffset = le32(h + 10);
    const uint32_t infoSize = le32(h + 14);
    const auto width = static_cast<int32_t>(le32(h + 18));
    const auto rawHeight = static_cast<int32_t>(le32(h + 22));
    const uint16_t bitCount = le16(h + 28);
    const uint32_t compression = le32(h + 30);
    // Headers shorter than the 40-byte information header have 16-bit sizes.
    if (infoSize < 40) refuse(kUnsupportedBmpText, "header of " + std::to_string(infoSize) + " bytes");
    if (bitCount != 24) refuse(kUnsupportedBmpText, std::to_string(bitCount) + " bits per pixel");
    if (compression != 0) refuse(kUnsupportedBmpText, "compression " + std::to_string(compression));
    if (width < 1 || rawHeight == 0 || rawHeight == std::numeric_limits<int32_t>::min())
        refuse(kUnsupportedBmpText, std::to_string(width) + " x " + std::to_string(rawHeight));
    const int32_t height = rawHeight < 0 ? -rawHeight : rawHeight;

    auto in = std::make_unique<BmpInput>(width, height);
    in->dataOffset = dataOffset;
    in->rowStride = (int64_t{width} * 3 + 3) & ~int64_t{3};
    in->topDown = rawHeight < 0;
    if (uint64_t{dataOffset} < 14 + uint64_t{infoSize})
        refuse(kUnsupportedBmpText, "pixel data at offset " + std::to_string(dataOffset));
    // A file cut short is refused now rather than halfway through. Divided,
    // not multiplied: stride x height of a forged header passes 63 bits.
    const auto fileSize = static_cast<int64_t>(st.st_size);
    if (in->dataOffset > fileSize || (fileSize - in->dataOffset) / in->rowStride < height)
        refuse(kInputReadText, "the file ends before its last pixel row");
    in->file = std::move(file);
    in->fileStatus = st;
    in->metadata.description = creditText();
    return in;
}

}  // namespace

namespace {

// Samples x0 .. x0 + count - 1 of one row of channel c: four to a block, in
// the lanes of the row's block row. Whole blocks take four samples at once
// rather than finding the block per sample.
template <class Sample>
void storeRow(const StripTarget& t, int c, int32_t row, int32_t x0, int32_t count, Sample sample) {
    const int32_t y = t.stripHeight - 1 - row;
    BlockVec* blocks = t.planes[c] + static_cast<std::ptrdiff_t>(y >> 2) * t.blocksPerRow;
    const int laneRow = (y & 3) * 4;
    const auto one = [&](int32_t i) { blocks[(x0 + i) >> 2].lane[laneRow + ((x0 + i) & 3)] = sample(i); };
    int32_t i = 0;
    for (; i < count && ((x0 + i) & 3) != 0; ++i) one(i);
    for (; i + 4 <= count; i += 4) {
        int16_t* lane = blocks[(x0 + i) >> 2].lane + laneRow;
        lane[0] = sample(i);
        lane[1] = sample(i + 1);
        lane[2] = sample(i + 2);
        lane[3] = sample(i + 3);
    }
    for (; i < count; ++i) one(i);
}

}  // namespace

void StripTarget::store8(int c, int32_t row, int32_t x0, int32_t count, const uint8_t* src, int step) const {
    storeRow(*this, c, row, x0, count, [=](int32_t i) { return static_cast<int16_t>(src[i * step]); });
}

void StripTarget::store16(int c, int32_t row, int32_t x0, int32_t count, const uint8_t* src, int step) const {
    storeRow(*this, c, row, x0, count, [=](int32_t i) {
        uint16_t v;
        std::memcpy(&v, src + 2 * i * step, 2);
        return static_cast<int16_t>((v + 8) >> 4);
    });
}

void StripTarget::storeRgb16(int32_t row, int32_t x0, int32_t count, const uint8_t* src) const {
    const int32_t y = stripHeight - 1 - row;
    const std::ptrdiff_t blockRow = static_cast<std::ptrdiff_t>(y >> 2) * blocksPerRow;
    const int laneRow = (y & 3) * 4;
    const auto sample = [src](int32_t i, int c) {
        uint16_t v;
        std::memcpy(&v, src + 6 * i + 2 * c, 2);
        return static_cast<int16_t>((v + 8) >> 4);
    };
    const auto one = [&](int32_t i) {
        for (int c = 0; c < 3; ++c)
            planes[c][blockRow + ((x0 + i) >> 2)].lane[laneRow + ((x0 + i) & 3)] = sample(i, c);
    };
    int32_t i = 0;
    for (; i < count && ((x0 + i) & 3) != 0; ++i) one(i);
    for (; i + 4 <= count; i += 4) {
        const std::ptrdiff_t b = blockRow + ((x0 + i) >> 2);
        for (int c = 0; c < 3; ++c) {
            int16_t* lane = planes[c][b].lane + laneRow;
            for (int k = 0; k < 4; ++k) lane[k] = sample(i + k, c);
        }
    }
    for (; i < count; ++i) one(i);
}

std::unique_ptr<InputImage> openInputImage(const std::string& path, InputFormat format, InputUse use) {
    switch (format) {
    case InputFormat::Tiff: return openTiff(path, use);
    case InputFormat::Png: return openPng(path, use);
    case InputFormat::Bmp: break;
    }
    return openBmp(path);
}

void readInputStrip(InputImage& in, const ImageLayout& layout, int32_t stripIndex, StripWork& w) {
    if (stripIndex < 0 || stripIndex >= layout.stripCount || layout.width != in.width() ||
        layout.height != in.height())
        throw Error("strip " + std::to_string(stripIndex) + " is not part of this image's layout");
    const StripGeometry g = beginStrip(layout, stripIndex);
    const int32_t rows = g.imageRows;
    const int32_t coded = g.paddedRows;
    const int32_t W = layout.width;
    const int32_t paddedWidth = layout.paddedWidth;
    const auto blocks = static_cast<std::size_t>(paddedWidth / 4) * static_cast<std::size_t>(g.bufferRows / 4);
    if (w.rPlane.size() < blocks || w.gPlane.size() < blocks || w.bPlane.size() < blocks || rows < 1 ||
        coded < rows || coded > g.bufferRows)
        throw Error("input planes are not allocated for this strip");

    const StripTarget t{{w.rPlane.data(), w.gPlane.data(), w.bPlane.data()},
                        paddedWidth / 4,
                        g.bufferRows,
                        g.firstImageRow};
    in.readRows(t, rows);

    // Mirror without repeating the edge; images narrower than 5 columns or
    // strips shorter than 5 rows clamp at the first column or row.
    for (int32_t r = 0; r < rows; ++r)
        for (int32_t x = W; x < paddedWidth; ++x) {
            const int32_t m = std::max(0, 2 * W - x - 2);
            for (int c = 0; c < 3; ++c) t.at(c, x, r) = t.at(c, m, r);
        }
    for (int32_t r = rows; r < coded; ++r) {
        const int32_t m = std::max(0, 2 * rows - r - 2);
        for (int32_t x = 0; x < paddedWidth; ++x)
            for (int c = 0; c < 3; ++c) t.at(c, x, r) = t.at(c, x, m);
    }
}

}  // namespace kirune
