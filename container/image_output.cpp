#include "container/image_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "container/carried_tags.h"
#include "container/messages.h"
#include "container/tiff_support.h"
#include "kirune/Error.h"

namespace kirune {

namespace {

struct StripRows {
    int32_t first;  // image row of strip row 0
    int32_t count;  // image rows in the strip
};

StripRows stripRows(const ImageLayout& layout, int32_t stripIndex, const StripWork& w) {
    const StripGeometry g = beginStrip(layout, stripIndex);
    const auto blocks = static_cast<std::size_t>(layout.paddedWidth / 4) * static_cast<std::size_t>(layout.stripHeight / 4);
    if (w.rPlane.size() < blocks || w.gPlane.size() < blocks || w.bPlane.size() < blocks)
        throw Error("output planes are not allocated for this strip");
    return {g.firstImageRow, g.imageRows};
}

constexpr tmsize_t kTiffWriteBufferBytes = tmsize_t{1} << 20;

uint8_t to8Bits(uint16_t v) { return static_cast<uint8_t>(std::min(255, (v + 128) >> 8)); }

void putLe(uint8_t* p, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

// ---- TIFF -------------------------------------------------------------------

struct TiffOutput::Handle {
    TiffMessages messages;  // outlives tif
    TiffSink sink;          // outlives tif
    TiffHandle tif;
    std::vector<uint16_t> line;
    std::optional<GreyFormat> grey;  // one sample per pixel, in greyLine
    std::vector<uint8_t> greyLine;
    int32_t width = 0;
    std::vector<std::string> droppedTags;
    std::vector<uint8_t> carriedTags;  // appended once the image is written
};

TiffOutput::TiffOutput(std::string path, const OutputOptions& options)
    : file_(std::move(path), options), handle_(std::make_unique<Handle>()) {}

std::vector<std::string> TiffOutput::warnings() const {
    std::vector<std::string> all = handle_->droppedTags;
    all.insert(all.end(), handle_->messages.warnings.begin(), handle_->messages.warnings.end());
    return all;
}

namespace {
// The reason a write failed: the system's (a full disk says so) before libtiff's.
UserMessage writeFailure(const std::string& path, const TiffSink& sink, const TiffMessages& messages) {
    if (sink.lastErrno) return {kCannotWriteOutputText, {}, path + " (" + systemReason(sink.lastErrno) + ")"};
    return {kCannotWriteOutputText, {}, path + messages.reason()};
}
}  // namespace

TiffOutput::~TiffOutput() {
    handle_.reset();  // libtiff lets go of the descriptor before the file is removed
}

namespace {
// The tags a container's header holds: description (never the program's
// credit), resolution, texts and ICC profile, each unless the carried tags
// hold it (`held`), whose copy is the input's own and replaces libtiff's.
template <class Held, class Drop>
void setHeaderTags(TIFF* tif, const ImageMetadata& meta, const Held& held, const Drop& drop) {
    const std::string description(meta.description.c_str());  // up to its NUL
    if (!description.empty() && description != creditText() && !held(TIFFTAG_IMAGEDESCRIPTION) &&
        TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, description.c_str()) != 1)
        drop("ImageDescription");
    // The three as one: a unit the input left to its default stays so.
    if (meta.xResolution > 0.0f && !held(TIFFTAG_XRESOLUTION) && !held(TIFFTAG_YRESOLUTION)) {
        if (TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, meta.resolutionUnit) != 1)
            drop("ResolutionUnit");  // the reader's default, inch, stands
        if (TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<double>(meta.xResolution)) != 1 ||
            TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<double>(meta.yResolution)) != 1) {
            for (ttag_t tag : {TIFFTAG_XRESOLUTION, TIFFTAG_YRESOLUTION, TIFFTAG_RESOLUTIONUNIT})
                TIFFUnsetField(tif, tag);
            drop("Resolution");
        }
    }
    const std::pair<ttag_t, const std::optional<std::string>*> texts[] = {
        {TIFFTAG_MAKE, &meta.make},         {TIFFTAG_MODEL, &meta.model},   {TIFFTAG_SOFTWARE, &meta.software},
        {TIFFTAG_DATETIME, &meta.dateTime}, {TIFFTAG_ARTIST, &meta.artist},
    };
    for (const auto& [tag, text] : texts)
        if (*text && !held(tag) && TIFFSetField(tif, tag, (*text)->c_str()) != 1)
            drop(TIFFFieldName(TIFFFieldWithTag(tif, tag)));
    if (!meta.iccProfile.empty() && !held(TIFFTAG_ICCPROFILE) && TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(meta.iccProfile.size()),
                                                 meta.iccProfile.data()) != 1)
        drop("ICC profile");
}

// Bytes the output would take as a classic TIFF, or more: the samples
// (compressed ones rarely take more), the strip tables, every tag the header
// and the carried tags may add (the image directory is written twice), and a
// margin for libtiff's own entries.
uint64_t classicTiffBytes(const ImageLayout& layout, const ImageMetadata& meta, uint64_t rowsPerStrip) {
    const auto height = static_cast<uint64_t>(layout.height);
    const uint64_t samples = static_cast<uint64_t>(layout.width) * height * 3 * sizeof(uint16_t);
    const uint64_t strips = (height + rowsPerStrip - 1) / rowsPerStrip;
    uint64_t tags = 2 * meta.carriedTags.size() + meta.iccProfile.size() + meta.description.size();
    for (const auto* text : {&meta.make, &meta.model, &meta.software, &meta.dateTime, &meta.artist})
        if (*text) tags += (*text)->size();
    constexpr uint64_t kMargin = uint64_t{1} << 20;
    return samples + 2 * 4 * strips + tags + kMargin;
}
}  // namespace

std::unique_ptr<TiffOutput> openTiffOutput(const std::string& outputPath, const ImageLayout& layout,
                                           const ImageMetadata& meta, const OutputOptions& options,
                                           TiffCompression compression) {
    if (layout.width < 1 || layout.height < 1)
        throw Error("image size " + std::to_string(layout.width) + " x " + std::to_string(layout.height) +
                    " is empty");
    const uint32_t rowsPerStrip =
        compression == TiffCompression::None
            ? static_cast<uint32_t>(layout.height)
            : static_cast<uint32_t>(std::max<int64_t>(1, (int64_t{1} << 18) / (int64_t{layout.width} * 6)));
    // What fits a classic TIFF is written as one, as it always was; anything
    // larger as a BigTIFF rather than cut at 4 GiB.
    const bool big = classicTiffBytes(layout, meta, rowsPerStrip) > std::numeric_limits<uint32_t>::max();
    std::unique_ptr<TiffOutput> out(new TiffOutput(outputPath, options));
    TiffOutput::Handle& h = *out->handle_;
    h.sink.fd = out->file_.fd();
    h.tif = openTiffForWriting(h.sink, outputPath, h.messages, big);
    const auto refused = [&] {
        throw Error(kCannotCreateOutputText, outputPath + h.messages.reason());
    };
    if (!h.tif) refused();
    TIFF* tif = h.tif.get();

    // A grey picture goes out as it came in: one sample, its bits, its photometric.
    h.grey = meta.grey;
    const uint16_t photometric = h.grey ? h.grey->photometric : PHOTOMETRIC_RGB;
    const int samples = h.grey ? 1 : 3;
    const int bits = h.grey && h.grey->bitsPerSample == 8 ? 8 : kOutputBitsPerSample;
    const bool ok = TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric) == 1 &&
                    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples) == 1 &&
                    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
                    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(layout.width)) == 1 &&
                    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(layout.height)) == 1 &&
                    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits) == 1;
    if (!ok) refused();

    // The carried tags: one that libtiff refuses is left out, never the image.
    const auto drop = [&](const char* tag) {
        h.droppedTags.push_back(std::string(tag) + " left out" + h.messages.reason());
        h.messages.lastError.clear();
    };
    // Tags carried whole are written after the image; the header's fields
    // stand for those they do not hold (older containers have the fields
    // alone, and a tag over the carried budget stays in the header only).
    h.carriedTags = meta.carriedTags;
    std::vector<uint16_t> held;
    for (const CarriedTag& t : decodeCarriedTags(h.carriedTags))
        if (t.directory == CarriedDirectory::Image) held.push_back(t.tag);
    setHeaderTags(
        tif, meta, [&](ttag_t tag) { return std::find(held.begin(), held.end(), tag) != held.end(); }, drop);

    if (compression == TiffCompression::None) {
        // Without RowsPerStrip the image is one strip, and libtiff's scanline
        // writer would buffer a whole strip: the image the header claims,
        // however large. A fixed buffer streams the rows out as they come, in
        // the same single-strip layout.
        if (TIFFWriteBufferSetup(tif, nullptr, kTiffWriteBufferBytes) != 1) refused();
    } else {
        // Strips of about 256 KiB: libtiff holds one while it codes it.
        const uint16_t scheme = compression == TiffCompression::Deflate ? COMPRESSION_ADOBE_DEFLATE
                                : compression == TiffCompression::Zstd  ? COMPRESSION_ZSTD
                                                                        : COMPRESSION_LZW;
        if (!TIFFIsCODECConfigured(scheme) || TIFFSetField(tif, TIFFTAG_COMPRESSION, scheme) != 1 ||
            TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) != 1 ||
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip) != 1)
            refused();
    }

    h.width = layout.width;
    if (h.grey)
        h.greyLine.resize(static_cast<std::size_t>(layout.width) * static_cast<std::size_t>(bits / 8));
    else
        h.line.resize(static_cast<std::size_t>(layout.width) * 3);
    return out;
}

namespace {
// A grey picture's rows from the R plane (greyStripPlanes made all three
// equal): 16 bits, or 8 rounded, inverted where white is 0.
void writeGreyRows(TiffOutput::Handle& h, const ImageLayout& layout, StripRows rows, const StripWork& w,
                   const std::string& path) {
    const bool eight = h.greyLine.size() == static_cast<std::size_t>(layout.width);
    const bool invert = h.grey->photometric == PHOTOMETRIC_MINISWHITE;
    for (int32_t r = 0; r < rows.count; ++r) {
        for (int32_t x = 0; x < layout.width; ++x) {
            const uint16_t v = sampleAt(w.rPlane, layout, x, r);
            if (eight) {
                const uint8_t b = to8Bits(v);
                h.greyLine[static_cast<std::size_t>(x)] = invert ? static_cast<uint8_t>(0xff - b) : b;
            } else {
                const auto s = static_cast<uint16_t>(invert ? 0xffff - v : v);
                std::memcpy(&h.greyLine[2 * static_cast<std::size_t>(x)], &s, 2);
            }
        }
        if (TIFFWriteScanline(h.tif.get(), h.greyLine.data(), static_cast<uint32_t>(rows.first + r), 0) != 1)
            throw Error(writeFailure(path, h.sink, h.messages));
    }
}
}  // namespace

void writeTiffStrip(TiffOutput& out, const ImageLayout& layout, int32_t stripIndex, const StripWork& w,
                    Checksum128* stripSum) {
    const StripRows rows = stripRows(layout, stripIndex, w);
    TiffOutput::Handle& h = *out.handle_;
    if (!h.tif || rows.first != out.nextRow_ || h.width != layout.width)
        throw Error("TIFF strips must be written once each, top to bottom");
    if (h.grey) {
        writeGreyRows(h, layout, rows, w, out.path());
        out.nextRow_ = rows.first + rows.count;
        out.file_.startWriteback();
        return;
    }
    std::optional<Checksummer> sum;
    if (stripSum) sum.emplace();
    for (int32_t r = 0; r < rows.count; ++r) {
        interleaveRow(layout, r, w, h.line.data());
        // Summed before libtiff's predictor may rewrite the line in place.
        if (sum) addSamples(*sum, h.line.data(), h.line.size());
        // 0 too: libtiff drops the rows of a strip it could not flush.
        if (TIFFWriteScanline(h.tif.get(), h.line.data(), static_cast<uint32_t>(rows.first + r), 0) != 1)
            throw Error(writeFailure(out.path(), h.sink, h.messages));
    }
    if (sum) *stripSum = sum->digest();
    out.nextRow_ = rows.first + rows.count;
    out.file_.startWriteback();
}

namespace {

// Where the file's header points to its first directory, and what it holds.
struct FirstDirectory {
    off_t at = 0;
    std::size_t bytes = 0;
    uint8_t value[8] = {};
};

std::optional<FirstDirectory> firstDirectory(int fd) {
    uint8_t header[16];
    if (::pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) return std::nullopt;
    const bool big = (header[0] == 'M' ? header[3] : header[2]) == 43;
    FirstDirectory d{big ? 8 : 4, big ? 8u : 4u, {}};
    std::memcpy(d.value, header + d.at, d.bytes);
    return d;
}

// What is wrong with the file as libtiff reads it back, empty when nothing:
// the image (its size, its strips lying within the file and holding every
// sample) in `image`, a sub-directory it cannot read in `tags`.
struct ReadBack {
    std::string image, tags;
    bool ok() const { return image.empty() && tags.empty(); }
};

ReadBack readBack(int fd, const std::string& path, const ImageLayout& layout, bool compressed,
                  uint64_t pixelBytes) {
    ReadBack problem;
    struct stat st {};
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    // libtiff reads the header where the descriptor stands.
    if (copy < 0 || ::fstat(copy, &st) != 0 || ::lseek(copy, 0, SEEK_SET) != 0) {
        if (copy >= 0) ::close(copy);
        problem.image = systemReason(errno);
        return problem;
    }
    TiffMessages messages;
    const TiffHandle tif = openTiffForReading(copy, path, messages);
    if (!tif) {
        problem.image = "the written TIFF does not read back" + messages.reason();
        return problem;
    }
    uint32_t width = 0, height = 0;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height);
    const auto size = static_cast<uint64_t>(st.st_size);
    uint64_t total = 0;
    bool inside = width == static_cast<uint32_t>(layout.width) && height == static_cast<uint32_t>(layout.height);
    for (uint32_t s = 0, n = TIFFNumberOfStrips(tif.get()); inside && s < n; ++s) {
        const uint64_t at = TIFFGetStrileOffset(tif.get(), s), bytes = TIFFGetStrileByteCount(tif.get(), s);
        inside = bytes > 0 && at <= size && bytes <= size - at;
        total += bytes;
    }
    if (!inside || (!compressed && total != uint64_t{width} * height * pixelBytes))
        problem.image = "the written TIFF holds " + std::to_string(size) + " bytes, not the whole image";
    else
        problem.tags = unreadableSubDirectory(tif.get());
    return problem;
}

}  // namespace

void finishTiffOutput(TiffOutput& out) {
    TiffOutput::Handle& h = *out.handle_;
    if (!h.tif) throw Error("TIFF output is already finished");
    uint32_t height = 0;
    TIFFGetField(h.tif.get(), TIFFTAG_IMAGELENGTH, &height);
    if (static_cast<uint32_t>(out.nextRow_) != height)
        throw Error("TIFF output is missing rows " + std::to_string(out.nextRow_) + " and after");
    uint16_t compression = COMPRESSION_NONE;  // asked before the flush ends the directory
    TIFFGetField(h.tif.get(), TIFFTAG_COMPRESSION, &compression);
    if (TIFFFlush(h.tif.get()) != 1) throw Error(writeFailure(out.path(), h.sink, h.messages));
    const int fd = out.file_.fd();
    // libtiff's own directory, which the carried tags' copy replaces.
    const std::optional<FirstDirectory> own = firstDirectory(fd);
    if (!own) throw Error(writeFailure(out.path(), h.sink, h.messages));
    if (!h.carriedTags.empty()) {
        try {
            appendCarriedTags(h.tif.get(), h.carriedTags, h.droppedTags);
        } catch (const Error&) {
            throw Error(writeFailure(out.path(), h.sink, h.messages));
        }
    }
    h.tif.reset();

    // What libtiff wrote, read back: a strip it dropped, or carried tags a
    // reader refuses, never pass for a finished file.
    const ImageLayout layout{h.width, static_cast<int32_t>(height)};
    const bool compressed = compression != COMPRESSION_NONE;
    const uint64_t pixelBytes = h.grey ? h.greyLine.size() / static_cast<std::size_t>(h.width) : 3 * sizeof(uint16_t);
    ReadBack problem = readBack(fd, out.path(), layout, compressed, pixelBytes);
    const std::optional<FirstDirectory> now = firstDirectory(fd);
    if (!problem.ok() && now && std::memcmp(now->value, own->value, own->bytes) != 0) {
        // libtiff's own directory, still in the file, without the carried tags.
        if (::pwrite(fd, own->value, own->bytes, own->at) != static_cast<ssize_t>(own->bytes))
            out.file_.fail(kCannotWriteOutputText, errno);
        const ReadBack plain = readBack(fd, out.path(), layout, compressed, pixelBytes);
        if (plain.ok())
            h.droppedTags.push_back("carried tags left out: " +
                                    (problem.tags.empty() ? std::string("the image directory") : problem.tags) +
                                    " would not read back");
        problem = plain;
    }
    if (!problem.ok())
        throw Error(kCannotWriteOutputText,
                    out.path() + " (" + (problem.image.empty() ? problem.tags : problem.image) + ")");
    struct stat st {};
    if (::fstat(fd, &st) != 0) out.file_.fail(kCannotWriteOutputText, errno);
    if (static_cast<uint64_t>(st.st_size) != h.sink.end)
        throw Error(kCannotWriteOutputText, out.path() + " (" + std::to_string(st.st_size) + " bytes instead of " +
                                                std::to_string(h.sink.end) + ")");
    out.file_.commit();
}

// ---- BMP --------------------------------------------------------------------

namespace {
// Pixels per metre of a TIFF resolution, 0 when it has no absolute unit.
int32_t pixelsPerMetre(uint16_t unit, float value) {
    const double perMetre = unit == RESUNIT_INCH ? value / 0.0254 : unit == RESUNIT_CENTIMETER ? value * 100.0 : 0.0;
    if (!(perMetre >= 0.5)) return 0;  // NaN too
    return static_cast<int32_t>(std::min<double>(std::lround(std::min(perMetre, 2e9)), INT32_MAX));
}
}  // namespace

BmpGeometry bmpGeometry(const ImageLayout& layout) {
    BmpGeometry g;
    g.rowStride = static_cast<int32_t>((3 * int64_t{layout.width} + 3) & ~int64_t{3});
    g.fileSize = int64_t{g.rowStride} * layout.height + kBmpHeaderBytes;
    return g;
}

std::array<uint8_t, kBmpHeaderBytes> buildBmpHeader(const ImageLayout& layout, const ImageMetadata& meta) {
    const int64_t fileSize = bmpGeometry(layout).fileSize;
    if (fileSize > int64_t{std::numeric_limits<uint32_t>::max()} || fileSize < kBmpHeaderBytes)
        throw Error(UserMessage{kBmpTooLargeText, {std::to_string(fileSize)}});
    std::array<uint8_t, kBmpHeaderBytes> h{};
    h[0] = 'B';
    h[1] = 'M';
    putLe(&h[2], static_cast<uint32_t>(fileSize), 4);
    putLe(&h[10], kBmpHeaderBytes, 4);
    putLe(&h[14], 40, 4);
    putLe(&h[18], static_cast<uint32_t>(layout.width), 4);
    putLe(&h[22], static_cast<uint32_t>(layout.height), 4);
    putLe(&h[26], 1, 2);
    putLe(&h[28], 24, 2);
    int32_t x = pixelsPerMetre(meta.resolutionUnit, meta.xResolution);
    int32_t y = pixelsPerMetre(meta.resolutionUnit, meta.yResolution);
    if (x == 0 || y == 0) x = y = 2835;  // 72 dpi, as most readers assume anyway
    putLe(&h[38], static_cast<uint32_t>(x), 4);
    putLe(&h[42], static_cast<uint32_t>(y), 4);
    return h;
}

namespace {
// Refuses an oversized BMP before its temporary file exists.
std::string checkedBmpPath(std::string path, const ImageLayout& layout) {
    buildBmpHeader(layout);
    return path;
}
}  // namespace

BmpOutput::BmpOutput(std::string outputPath, const ImageLayout& layout, const OutputOptions& options,
                     const ImageMetadata& meta)
    : file_(checkedBmpPath(std::move(outputPath), layout), options),
      height_(layout.height),
      fileSize_(bmpGeometry(layout).fileSize) {
    const std::array<uint8_t, kBmpHeaderBytes> header = buildBmpHeader(layout, meta);
    if (std::fwrite(header.data(), 1, header.size(), file_.stream()) != header.size())
        file_.fail(kCannotWriteOutputText, errno);
}

void writeBmpStrip(BmpOutput& out, const ImageLayout& layout, int32_t stripIndex, const StripWork& w) {
    const StripRows rows = stripRows(layout, stripIndex, w);
    const auto stride = static_cast<std::size_t>(bmpGeometry(layout).rowStride);
    if (stride < static_cast<std::size_t>(layout.width) * 3)
        throw Error("BMP row stride " + std::to_string(stride) + " is too short");
    out.rows_.assign(stride * static_cast<std::size_t>(rows.count), 0);
    // The strip's rows lie together in the file, its bottom row first.
    for (int32_t r = 0; r < rows.count; ++r) {
        uint8_t* p = out.rows_.data() + static_cast<std::size_t>(rows.count - 1 - r) * stride;
        for (int32_t x = 0; x < layout.width; ++x) {
            *p++ = to8Bits(sampleAt(w.bPlane, layout, x, r));
            *p++ = to8Bits(sampleAt(w.gPlane, layout, x, r));
            *p++ = to8Bits(sampleAt(w.rPlane, layout, x, r));
        }
    }
    const int64_t offset =
        kBmpHeaderBytes + (int64_t{layout.height} - rows.first - rows.count) * static_cast<int64_t>(stride);
    std::FILE* f = out.file_.stream();
    if (fseeko(f, offset, SEEK_SET) != 0 || std::fwrite(out.rows_.data(), 1, out.rows_.size(), f) != out.rows_.size())
        out.file_.fail(kCannotWriteOutputText, errno);
    out.rowsWritten_ += rows.count;
    out.file_.startWriteback();
}

void BmpOutput::commit() {
    if (rowsWritten_ != height_)
        throw Error("BMP output has " + std::to_string(rowsWritten_) + " of " + std::to_string(height_) + " rows");
    // Every row where it belongs: the file is exactly as long as its header says.
    struct stat st {};
    if (std::fflush(file_.stream()) != 0 || ::fstat(file_.fd(), &st) != 0) file_.fail(kCannotWriteOutputText, errno);
    if (st.st_size != fileSize_)
        throw Error(kCannotWriteOutputText, path() + " (" + std::to_string(st.st_size) + " bytes instead of " +
                                                std::to_string(fileSize_) + ")");
    file_.commit();
}

// A block's lane row gives four pixels, read straight from the planes rather
// than sample by sample.
void interleaveRow(const ImageLayout& layout, int32_t r, const StripWork& w, uint16_t* line) {
    const int32_t y = layout.stripHeight - 1 - r;
    const std::size_t first = static_cast<std::size_t>(y >> 2) * static_cast<std::size_t>(layout.paddedWidth / 4);
    const int laneRow = (y & 3) * 4;
    const BlockVec* planes[3] = {w.rPlane.data() + first, w.gPlane.data() + first, w.bPlane.data() + first};
    const int32_t whole = layout.width / 4;
    for (int32_t j = 0; j < whole; ++j, line += 12)
        for (int c = 0; c < 3; ++c) {
            const int16_t* from = planes[c][j].lane + laneRow;
            for (int k = 0; k < 4; ++k) line[3 * k + c] = static_cast<uint16_t>(from[k]);
        }
    for (int k = 0; k < layout.width % 4; ++k)
        for (int c = 0; c < 3; ++c) *line++ = static_cast<uint16_t>(planes[c][whole].lane[laneRow + k]);
}

}  // namespace kirune
