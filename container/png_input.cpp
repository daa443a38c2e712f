#include "container/png_input.h"

#include <png.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "container/input_file.h"
#include "container/messages.h"
#include "container/png_chunks.h"
#include "container/png_guard.h"
#include "kirune/Error.h"

namespace kirune {

namespace {

// ---- The C boundary ----------------------------------------------------------
// libpng reports errors by longjmp. Every call that can fail goes through one
// of the small functions below, whose frames hold nothing with a destructor;
// the jump lands in them and they return false. The message waits in a plain
// buffer owned by the reader.

struct PngMessages {
    char error[256] = {};
    char warning[256] = {};
    int warnings = 0;
};

void onPngError(png_structp png, png_const_charp text) {
    auto* m = static_cast<PngMessages*>(png_get_error_ptr(png));
    std::snprintf(m->error, sizeof m->error, "%s", text ? text : "");
    png_longjmp(png, 1);
}

void onPngWarning(png_structp png, png_const_charp text) {
    auto* m = static_cast<PngMessages*>(png_get_error_ptr(png));
    if (m->warnings++ == 0) std::snprintf(m->warning, sizeof m->warning, "%s", text ? text : "");
}

// Native byte order for 16-bit samples; the passes of an interlaced image.
bool pngPrepare(png_structp png, png_infop info, int* passes) {
    return pngGuarded(png, [&] {
        const uint16_t one = 1;
        uint8_t first = 0;
        std::memcpy(&first, &one, 1);
        if (first == 1 && png_get_bit_depth(png, info) == 16) png_set_swap(png);
        *passes = png_set_interlace_handling(png);
        png_read_update_info(png, info);
    });
}

// ---- The reader ---------------------------------------------------------------

void addTextChunks(png_structp png, png_infop info, PngChunks& chunks);

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};

// Deflate expands at most about 1032 to 1: a header claiming more rows than
// its file can hold is refused before anything is allocated for them.
constexpr uint64_t kMaxDeflateRatio = 1032;
// One row is decoded at a time; a longer one comes from a damaged file.
constexpr uint64_t kMaxRowBytes = uint64_t{1} << 28;

class PngInput final : public InputImage {
public:
    PngInput(int32_t width, int32_t height, int32_t bits) : InputImage(InputFormat::Png, width, height, bits) {}
    ~PngInput() override { destroy(); }

    std::vector<std::string> warnings() const override {
        std::vector<std::string> all = endWarnings;
        if (messages.warnings == 0) return all;
        all.push_back(std::string("libpng: ") + messages.warning);
        if (messages.warnings > 1)
            all.push_back("and " + std::to_string(messages.warnings - 1) + " more libpng warnings");
        return all;
    }

    void readRows(const StripTarget& t, int32_t count) override {
        if (interlaced) {
            if (whole.empty()) readWhole();
            for (int32_t r = 0; r < count; ++r) store(t, r, whole.data() + std::size_t(t.firstRow + r) * rowBytes);
            return;
        }
        // Rows come in order; a read behind the decoder starts it again.
        if (t.firstRow < nextRow) restart();
        while (nextRow < t.firstRow) readRow();
        for (int32_t r = 0; r < count; ++r) {
            readRow();
            store(t, r, row.data());
        }
    }

    // Sets up libpng on the file from its first byte and reads up to the
    // first image data. Returns false with messages.error set.
    bool begin() {
        destroy();
        if (std::fseek(file.get(), 0, SEEK_SET) != 0) {
            std::snprintf(messages.error, sizeof messages.error, "%s", systemReason(errno).c_str());
            return false;
        }
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &messages, onPngError, onPngWarning);
        if (png) info = png_create_info_struct(png);
        if (!png || !info) {
            std::snprintf(messages.error, sizeof messages.error, "out of memory");
            return false;
        }
        png_init_io(png, file.get());
        png_set_user_limits(png, 0x7fffffffu, 0x7fffffffu);
        // ICC profiles, Exif and XMP of several MB exist; larger chunks do not.
        png_set_chunk_malloc_max(png, png_alloc_size_t{64} << 20);
        nextRow = 0;
        return pngGuarded(png, [&] { png_read_info(png, info); });
    }

    bool prepare() {
        int passes = 1;
        if (!pngPrepare(png, info, &passes)) return false;
        interlaced = passes > 1;
        return true;
    }

    std::unique_ptr<std::FILE, FileCloser> file;
    PngMessages messages;
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::size_t rowBytes = 0;
    bool interlaced = false;
    int32_t nextRow = 0;
    std::vector<uint8_t> row;
    std::vector<uint8_t> whole;  // an interlaced image, decoded at once
    std::vector<std::string> endWarnings;
    std::string cutAfterImage;  // the chunk after the pixels that the file cuts short

    // Texts and Exif may follow the image data: read once every row has
    // been, they join the trailer's chunks (the header was written before).
    void readMetadataAfterPixels() override {
        if (!png || (!interlaced && nextRow != height()) || (interlaced && whole.empty())) return;
        if (!cutAfterImage.empty()) {
            endWarnings.push_back("the chunks after the image data are cut short: the file ends inside its " +
                                  cutAfterImage);
            return;
        }
        png_infop endInfo = png_create_info_struct(png);
        if (!endInfo) return;
        if (pngGuarded(png, [&] { png_read_end(png, endInfo); })) {
            PngChunks chunks = decodePngChunks(metadata.pngChunks);
            addTextChunks(png, endInfo, chunks);
            metadata.pngChunks = encodePngChunks(chunks);
            if (metadata.carriedTags.empty()) metadata.carriedTags = xmpAsCarriedTags(chunks);
        } else {
            endWarnings.push_back(std::string("the chunks after the image data cannot be read: ") + messages.error);
        }
        png_destroy_info_struct(png, &endInfo);
    }

private:
    void destroy() noexcept {
        if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        png = nullptr;
        info = nullptr;
    }

    // A grey sample goes to all three channels.
    void store(const StripTarget& t, int32_t r, const uint8_t* src) const {
        const int channels = metadata.grey ? 1 : 3;
        for (int c = 0; c < 3; ++c) {
            const int at = channels == 3 ? c : 0;
            if (bitsPerSample() == 16)
                t.store16(c, r, 0, width(), src + 2 * at, channels);
            else
                t.store8(c, r, 0, width(), src + at, channels);
        }
    }

    [[noreturn]] void readFailed(const std::string& where) const {
        throw Error(kInputReadText, where + ": " + messages.error);
    }

    void restart() {
        if (!begin() || !prepare()) readFailed("PNG");
    }

    void readRow() {
        if (!pngGuarded(png, [&] { png_read_row(png, row.data(), nullptr); })) readFailed("PNG row " + std::to_string(nextRow));
        ++nextRow;
    }

    void readWhole() {
        whole.resize(rowBytes * static_cast<std::size_t>(height()));
        std::vector<png_bytep> rows(static_cast<std::size_t>(height()));
        for (std::size_t y = 0; y < rows.size(); ++y) rows[y] = whole.data() + y * rowBytes;
        if (!pngGuarded(png, [&] { png_read_image(png, rows.data()); })) {
            whole.clear();
            readFailed("interlaced PNG");
        }
    }
};

std::optional<std::string> asciiText(png_structp png, png_infop info, const char* key) {
    png_textp text = nullptr;
    int count = 0;
    png_get_text(png, info, &text, &count);
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(text[i].key, key) != 0 || !text[i].text) continue;
        std::string value(text[i].text, text[i].text_length ? text[i].text_length : text[i].itxt_length);
        // The container's texts are cp932: ASCII is the same in both.
        if (std::all_of(value.begin(), value.end(), [](char ch) { return ch >= 0x20 && ch < 0x7f; })) return value;
    }
    return std::nullopt;
}

// The texts and Exif that `info` holds, after those already in `chunks`.
void addTextChunks(png_structp png, png_infop info, PngChunks& chunks) {
    png_textp text = nullptr;
    int count = 0;
    png_get_text(png, info, &text, &count);
    for (int i = 0; i < count; ++i) {
        PngText t;
        t.kind = text[i].compression == PNG_TEXT_COMPRESSION_NONE   ? 0
               : text[i].compression == PNG_TEXT_COMPRESSION_zTXt   ? 1
               : text[i].compression == PNG_ITXT_COMPRESSION_NONE   ? 2
                                                                    : 3;
        t.keyword = text[i].key ? text[i].key : "";
        if (t.kind >= 2) {
            t.language = text[i].lang ? text[i].lang : "";
            t.translatedKeyword = text[i].lang_key ? text[i].lang_key : "";
        }
        const std::size_t length = t.kind >= 2 ? text[i].itxt_length : text[i].text_length;
        if (text[i].text) t.text.assign(text[i].text, length);
        if (!t.keyword.empty()) chunks.texts.push_back(std::move(t));
    }
    png_uint_32 exifLength = 0;
    png_bytep exif = nullptr;
    if (chunks.exif.empty() && png_get_eXIf_1(png, info, &exifLength, &exif) == PNG_INFO_eXIf && exif &&
        exifLength > 0)
        chunks.exif.assign(exif, exif + exifLength);
}

void putBigEndian(std::vector<uint8_t>& b, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// gAMA, cHRM, sRGB and bKGD with their data as the file holds it. libpng
// adds gAMA and cHRM to an sRGB chunk, as the format asks writers to do.
void addColourChunks(png_structp png, png_infop info, PngChunks& chunks) {
    png_fixed_point gamma = 0;
    if (png_get_gAMA_fixed(png, info, &gamma) == PNG_INFO_gAMA && gamma > 0) {
        PngColourChunk k{"gAMA", {}};
        putBigEndian(k.data, static_cast<uint32_t>(gamma), 4);
        chunks.colour.push_back(std::move(k));
    }
    png_fixed_point c[8] = {};
    if (png_get_cHRM_fixed(png, info, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]) == PNG_INFO_cHRM) {
        PngColourChunk k{"cHRM", {}};
        for (const png_fixed_point v : c) putBigEndian(k.data, static_cast<uint32_t>(v), 4);
        chunks.colour.push_back(std::move(k));
    }
    int intent = 0;
    if (png_get_sRGB(png, info, &intent) == PNG_INFO_sRGB && intent >= 0 && intent <= 3)
        chunks.colour.push_back({"sRGB", {static_cast<uint8_t>(intent)}});
    png_color_16p background = nullptr;
    if (png_get_bKGD(png, info, &background) == PNG_INFO_bKGD && background) {
        PngColourChunk k{"bKGD", {}};
        if (png_get_color_type(png, info) == PNG_COLOR_TYPE_GRAY) {
            putBigEndian(k.data, background->gray, 2);
        } else {
            for (const png_uint_16 v : {background->red, background->green, background->blue})
                putBigEndian(k.data, v, 2);
        }
        chunks.colour.push_back(std::move(k));
    }
}

// The header's descriptive fields, as a TIFF's tags would fill them.
ImageMetadata readPngMetadata(png_structp png, png_infop info) {
    ImageMetadata m;
    png_uint_32 xppu = 0, yppu = 0;
    int unit = 0;
    if (png_get_pHYs(png, info, &xppu, &yppu, &unit) == PNG_INFO_pHYs) {
        // Pixels per metre become pixels per centimetre; a unitless pHYs
        // gives only the aspect, as TIFF's unit "none" does.
        const bool metres = unit == PNG_RESOLUTION_METER;
        m.resolutionUnit = metres ? RESUNIT_CENTIMETER : RESUNIT_NONE;
        m.xResolution = metres ? static_cast<float>(xppu / 100.0) : static_cast<float>(xppu);
        m.yResolution = metres ? static_cast<float>(yppu / 100.0) : static_cast<float>(yppu);
    }
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 profileLength = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &profileLength) == PNG_INFO_iCCP && profile &&
        profileLength > 0)
        m.iccProfile.assign(profile, profile + profileLength);
    png_timep time = nullptr;
    if (png_get_tIME(png, info, &time) == PNG_INFO_tIME && time) {
        char text[32];
        std::snprintf(text, sizeof text, "%04u:%02u:%02u %02u:%02u:%02u", unsigned{time->year},
                      unsigned{time->month}, unsigned{time->day}, unsigned{time->hour}, unsigned{time->minute},
                      unsigned{time->second});
        m.dateTime = text;
    }
    m.software = asciiText(png, info, "Software");
    m.artist = asciiText(png, info, "Author");
    const std::optional<std::string> description = asciiText(png, info, "Description");
    m.description = description && description->size() >= 4 && description->size() <= 30 ? *description
                                                                                          : creditText();
    // Every text, the Exif and the colour chunks as they were, for a PNG
    // expansion; the XMP also as the TIFF tag that carries it.
    PngChunks chunks;
    addTextChunks(png, info, chunks);
    addColourChunks(png, info, chunks);
    m.pngChunks = encodePngChunks(chunks);
    m.carriedTags = xmpAsCarriedTags(chunks);
    return m;
}

[[noreturn]] void refuseUnsupported(const std::string& detail) { throw Error(kUnsupportedPngText, detail); }

// The first chunk that claims more bytes than the file has left, and whether
// it follows the image data; nullopt when every chunk up to IEND fits.
// libpng allocates what a chunk's length claims before it finds the file
// short, so a damaged length of 2 GB would cost 2 GB.
struct ChunkOverrun {
    std::string where;
    bool afterImage = false;
};
std::optional<ChunkOverrun> chunkOverrun(std::FILE* file, uint64_t size) {
    const int fd = ::fileno(file);
    std::vector<uint8_t> window(std::size_t{1} << 16);
    uint64_t windowAt = 0, windowBytes = 0;
    bool seenImage = false;
    for (uint64_t at = 8; at + 8 <= size;) {
        if (at < windowAt || at + 8 > windowAt + windowBytes) {  // pread leaves the stream where it is
            const ssize_t n = ::pread(fd, window.data(), window.size(), static_cast<off_t>(at));
            if (n < 8) return ChunkOverrun{"chunk at byte " + std::to_string(at), seenImage};
            windowAt = at;
            windowBytes = static_cast<uint64_t>(n);
        }
        const uint8_t* h = &window[at - windowAt];
        const uint64_t length = uint64_t{h[0]} << 24 | uint64_t{h[1]} << 16 | uint64_t{h[2]} << 8 | h[3];
        std::string type(h + 4, h + 8);
        const bool image = type == "IDAT";
        if (length + 4 > size - at - 8) {
            if (!std::all_of(type.begin(), type.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); }))
                type = "a";
            return ChunkOverrun{type + " chunk at byte " + std::to_string(at) + " claiming " + std::to_string(length) +
                                    " bytes",
                                seenImage && !image};
        }
        if (type == "IEND") break;
        seenImage = seenImage || image;
        at += 12 + length;
    }
    return std::nullopt;
}

}  // namespace

std::unique_ptr<InputImage> openPng(const std::string& path, InputUse use) {
    (void)use;
    struct stat st {};
    UniqueFd fd = openRegularFile(path, st);
    std::unique_ptr<std::FILE, FileCloser> file(::fdopen(fd.get(), "rb"));
    if (!file) throw Error(kCannotOpenInputText, systemReason(errno));
    fd.release();
    uint8_t signature[8] = {};
    if (std::fread(signature, 1, sizeof signature, file.get()) != sizeof signature ||
        png_sig_cmp(signature, 0, sizeof signature) != 0)
        throw Error(kNotPngText);

    const std::optional<ChunkOverrun> overrun = chunkOverrun(file.get(), static_cast<uint64_t>(st.st_size));
    if (overrun && !overrun->afterImage)
        throw Error(kInputReadText, "the file ends inside its " + overrun->where);

    // The dimensions are not known yet: the reader starts as 1 x 1 and is
    // replaced once the header is read.
    auto probe = std::make_unique<PngInput>(1, 1, 8);
    probe->file = std::move(file);
    if (!probe->begin()) throw Error(kNotPngText, probe->messages.error);
    png_structp png = probe->png;
    png_infop info = probe->info;
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    const int bits = png_get_bit_depth(png, info);
    const int colour = png_get_color_type(png, info);
    if (colour == PNG_COLOR_TYPE_PALETTE) refuseUnsupported("palette colours");
    if (colour & PNG_COLOR_MASK_ALPHA) refuseUnsupported("alpha channel");
    if (colour != PNG_COLOR_TYPE_RGB && colour != PNG_COLOR_TYPE_GRAY)
        refuseUnsupported("colour type " + std::to_string(colour));
    if (png_get_valid(png, info, PNG_INFO_tRNS)) refuseUnsupported("transparent colour (tRNS)");
    if (bits != 8 && bits != 16) refuseUnsupported("bit depth " + std::to_string(bits));
    const bool grey = colour == PNG_COLOR_TYPE_GRAY;
    const auto maxDimension = static_cast<png_uint_32>(std::numeric_limits<int32_t>::max());
    if (width < 1 || height < 1 || width > maxDimension || height > maxDimension)
        refuseUnsupported(std::to_string(width) + " x " + std::to_string(height));
    const uint64_t rowBytes = uint64_t{width} * (grey ? 1 : 3) * static_cast<uint64_t>(bits / 8);
    if (rowBytes > kMaxRowBytes) refuseUnsupported("rows of " + std::to_string(rowBytes) + " bytes");
    const auto fileSize = static_cast<uint64_t>(st.st_size);
    if (uint64_t{height} * (rowBytes + 1) / kMaxDeflateRatio > fileSize)
        throw Error(kInputReadText, "the file is too short for the " + std::to_string(width) + " x " +
                                        std::to_string(height) + " image it claims");

    auto in = std::make_unique<PngInput>(static_cast<int32_t>(width), static_cast<int32_t>(height), bits);
    in->file = std::move(probe->file);
    in->png = std::exchange(probe->png, nullptr);
    in->info = std::exchange(probe->info, nullptr);
    in->messages = probe->messages;
    // libpng's error pointer is the reader's own messages.
    png_set_error_fn(in->png, &in->messages, onPngError, onPngWarning);
    probe.reset();
    in->metadata = readPngMetadata(in->png, in->info);
    // A PNG's grey is always black at 0.
    if (grey) in->metadata.grey = GreyFormat{1, static_cast<uint8_t>(bits)};
    if (!in->prepare()) throw Error(kNotPngText, in->messages.error);
    if (png_get_rowbytes(in->png, in->info) != rowBytes)
        refuseUnsupported("rows of " + std::to_string(png_get_rowbytes(in->png, in->info)) + " bytes");
    in->rowBytes = static_cast<std::size_t>(rowBytes);
    if (in->interlaced && rowBytes * height > kMaxInterlacedPngBytes)
        refuseUnsupported("an interlaced image of " + std::to_string(rowBytes * height) +
                          " bytes; rpx holds at most 1 GiB of an interlaced PNG (save it non-interlaced)");
    if (!in->interlaced) in->row.resize(in->rowBytes);
    if (overrun) in->cutAfterImage = overrun->where;
    in->fileStatus = st;
    return in;
}

}  // namespace kirune
