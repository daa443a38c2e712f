#include "container/image_output.h"

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

// Sample (x, strip row r) of a plane, as the unsigned value it stands for.
uint16_t sampleAt(const BlockPlane& plane, const ImageLayout& layout, int32_t x, int32_t r) {
    const int32_t y = layout.stripHeight - 1 - r;
    return static_cast<uint16_t>(plane[static_cast<std::size_t>((y >> 2) * (layout.paddedWidth / 4) + (x >> 2))]
                                     .lane[(y & 3) * 4 + (x & 3)]);
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
// credit), resolution, texts and ICC profile.
template <class Drop>
void setHeaderTags(TIFF* tif, const ImageMetadata& meta, const Drop& drop) {
    const std::string description(meta.description.c_str());  // up to its NUL
    if (!description.empty() && description != creditText() &&
        TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, description.c_str()) != 1)
        drop("ImageDescription");
    if (meta.xResolution > 0.0f) {
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
        if (*text && TIFFSetField(tif, tag, (*text)->c_str()) != 1) drop(TIFFFieldName(TIFFFieldWithTag(tif, tag)));
    if (!meta.iccProfile.empty() && TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(meta.iccProfile.size()),
                                                 meta.iccProfile.data()) != 1)
        drop("ICC profile");
}
}  // namespace

std::unique_ptr<TiffOutput> openTiffOutput(const std::string& outputPath, const ImageLayout& layout,
                                           const ImageMetadata& meta, const OutputOptions& options,
                                           TiffCompression compression) {
    if (layout.width < 1 || layout.height < 1)
        throw Error("image size " + std::to_string(layout.width) + " x " + std::to_string(layout.height) +
                    " is empty");
    std::unique_ptr<TiffOutput> out(new TiffOutput(outputPath, options));
    TiffOutput::Handle& h = *out->handle_;
    h.sink.fd = out->file_.fd();
    h.tif = openTiffForWriting(h.sink, outputPath, h.messages);
    const auto refused = [&] {
        throw Error(kCannotCreateOutputText, outputPath + h.messages.reason());
    };
    if (!h.tif) refused();
    TIFF* tif = h.tif.get();

    const bool ok = TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) == 1 &&
                    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3) == 1 &&
                    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
                    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(layout.width)) == 1 &&
                    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(layout.height)) == 1 &&
                    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, kOutputBitsPerSample) == 1;
    if (!ok) refused();

    // The carried tags: one that libtiff refuses is left out, never the image.
    const auto drop = [&](const char* tag) {
        h.droppedTags.push_back(std::string(tag) + " left out" + h.messages.reason());
        h.messages.lastError.clear();
    };
    // Tags carried whole stand for everything the header's fields hold, and
    // are written after the image; older containers have the fields alone.
    h.carriedTags = meta.carriedTags;
    if (h.carriedTags.empty()) setHeaderTags(tif, meta, drop);

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
        const auto rows = static_cast<uint32_t>(std::max<int64_t>(1, (int64_t{1} << 18) / (int64_t{layout.width} * 6)));
        if (!TIFFIsCODECConfigured(scheme) || TIFFSetField(tif, TIFFTAG_COMPRESSION, scheme) != 1 ||
            TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) != 1 ||
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows) != 1)
            refused();
    }

    h.line.resize(static_cast<std::size_t>(layout.width) * 3);
    return out;
}

void writeTiffStrip(TiffOutput& out, const ImageLayout& layout, int32_t stripIndex, const StripWork& w,
                    Checksum128* stripSum) {
    const StripRows rows = stripRows(layout, stripIndex, w);
    TiffOutput::Handle& h = *out.handle_;
    if (!h.tif || rows.first != out.nextRow_ || h.line.size() != static_cast<std::size_t>(layout.width) * 3)
        throw Error("TIFF strips must be written once each, top to bottom");
    std::optional<Checksummer> sum;
    if (stripSum) sum.emplace();
    for (int32_t r = 0; r < rows.count; ++r) {
        uint16_t* p = h.line.data();
        for (int32_t x = 0; x < layout.width; ++x) {
            *p++ = sampleAt(w.rPlane, layout, x, r);
            *p++ = sampleAt(w.gPlane, layout, x, r);
            *p++ = sampleAt(w.bPlane, layout, x, r);
        }
        // Summed before libtiff's predictor may rewrite the line in place.
        if (sum) addSamples(*sum, h.line.data(), h.line.size());
        if (TIFFWriteScanline(h.tif.get(), h.line.data(), static_cast<uint32_t>(rows.first + r), 0) < 0)
            throw Error(writeFailure(out.path(), h.sink, h.messages));
    }
    if (sum) *stripSum = sum->digest();
    out.nextRow_ = rows.first + rows.count;
    out.file_.startWriteback();
}

void finishTiffOutput(TiffOutput& out) {
    TiffOutput::Handle& h = *out.handle_;
    if (!h.tif) throw Error("TIFF output is already finished");
    uint32_t height = 0;
    TIFFGetField(h.tif.get(), TIFFTAG_IMAGELENGTH, &height);
    if (static_cast<uint32_t>(out.nextRow_) != height)
        throw Error("TIFF output is missing rows " + std::to_string(out.nextRow_) + " and after");
    if (TIFFFlush(h.tif.get()) != 1) throw Error(writeFailure(out.path(), h.sink, h.messages));
    if (!h.carriedTags.empty()) {
        try {
            appendCarriedTags(h.tif.get(), h.carriedTags, h.droppedTags);
        } catch (const Error&) {
            throw Error(writeFailure(out.path(), h.sink, h.messages));
        }
    }
    h.tif.reset();
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
    : file_(checkedBmpPath(std::move(outputPath), layout), options), height_(layout.height) {
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
    file_.commit();
}

}  // namespace kirune
