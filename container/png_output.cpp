#include "container/png_output.h"

#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "container/image_output.h"
#include "container/messages.h"
#include "container/png_chunks.h"
#include "container/png_guard.h"
#include "kirune/Error.h"

namespace kirune {

namespace {

// zlib's default. On 16-bit photographs (1280 x 800 and a 5 MB TIFF's worth)
// level 1 and 3 wrote 13 and 8 % (4 and 3 %) more bytes for about half the
// time, and level 9 saved 2 % (0.2 %) for two to four times the time.
constexpr int kPngCompressionLevel = 6;

// libpng reports errors by longjmp: each call that can fail goes through a
// small function whose frame holds nothing with a destructor, and returns
// false when the jump lands there. The message waits in a plain buffer.
struct PngWriteMessages {
    char error[256] = {};
    int errorErrno = 0;
    char warning[256] = {};
    int warnings = 0;
};

void onWriteError(png_structp png, png_const_charp text) {
    auto* m = static_cast<PngWriteMessages*>(png_get_error_ptr(png));
    m->errorErrno = errno;
    std::snprintf(m->error, sizeof m->error, "%s", text ? text : "");
    png_longjmp(png, 1);
}

void onWriteWarning(png_structp png, png_const_charp text) {
    auto* m = static_cast<PngWriteMessages*>(png_get_error_ptr(png));
    if (m->warnings++ == 0) std::snprintf(m->warning, sizeof m->warning, "%s", text ? text : "");
}

bool pngSetIccp(png_structp png, png_infop info, const uint8_t* profile, png_uint_32 length) {
    return pngGuarded(png, [&] { png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, profile, length); }) &&
           png_get_valid(png, info, PNG_INFO_iCCP) != 0;
}

// A colour chunk's values, read from its bytes before the call.
struct ColourValues {
    char type[5] = {};
    png_fixed_point v[8] = {};
    png_color_16 background{};
};

bool pngSetColour(png_structp png, png_infop info, const ColourValues& c) {
    return pngGuarded(png, [&] {
        const std::string_view type(c.type, 4);
        if (type == "gAMA") png_set_gAMA_fixed(png, info, c.v[0]);
        else if (type == "cHRM") png_set_cHRM_fixed(png, info, c.v[0], c.v[1], c.v[2], c.v[3], c.v[4], c.v[5], c.v[6], c.v[7]);
        else if (type == "sRGB") png_set_sRGB(png, info, c.v[0]);
        else png_set_bKGD(png, info, &c.background);
    });
}

bool isAscii(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

// Pixels per metre of a TIFF resolution in inches or centimetres; the
// values as they are (an aspect ratio) without a unit.
png_uint_32 perMetre(uint16_t unit, float value) {
    const double v = unit == RESUNIT_INCH ? value / 0.0254 : unit == RESUNIT_CENTIMETER ? value * 100.0 : value;
    if (!(v >= 0.5)) return 0;  // NaN too
    return static_cast<png_uint_32>(std::lround(std::min(v, 2147483647.0)));
}

}  // namespace

namespace {

// The resolution and ICC profile.
void setImageChunks(png_structp png, png_infop info, const ImageMetadata& meta, const PngWriteMessages& messages,
                    std::vector<std::string>& dropped) {
    if (meta.xResolution > 0.0f) {
        const png_uint_32 x = perMetre(meta.resolutionUnit, meta.xResolution);
        const png_uint_32 y = perMetre(meta.resolutionUnit, meta.yResolution);
        const bool absolute = meta.resolutionUnit == RESUNIT_INCH || meta.resolutionUnit == RESUNIT_CENTIMETER;
        if (x > 0 && y > 0)
            png_set_pHYs(png, info, x, y, absolute ? PNG_RESOLUTION_METER : PNG_RESOLUTION_UNKNOWN);
        else
            dropped.push_back("Resolution left out");
    }
    if (!meta.iccProfile.empty() &&
        !pngSetIccp(png, info, meta.iccProfile.data(), static_cast<png_uint_32>(meta.iccProfile.size())))
        dropped.push_back(std::string("ICC profile left out: ") + messages.error);
}

// The texts and Exif, and the date as tIME.
void setTextChunks(png_structp png, png_infop info, const ImageMetadata& meta, const PngWriteMessages& messages,
                   std::vector<std::string>& dropped) {
    // tEXt is Latin-1: texts that are not plain ASCII stay out rather than
    // turn into other characters.
    const std::string description(meta.description.c_str());
    const std::pair<const char*, std::optional<std::string>> texts[] = {
        {"Description", description.empty() || description == creditText() ? std::nullopt
                                                                           : std::optional(description)},
        {"Author", meta.artist},
        {"Software", meta.software},
    };
    // A PNG's own texts and Exif come back as they were; the header's fields
    // stand in for the texts of other inputs.
    const PngChunks own = decodePngChunks(meta.pngChunks);
    std::vector<png_text> chunks;
    for (const PngText& t : own.texts) {
        png_text c{};
        c.compression = t.kind == 0   ? PNG_TEXT_COMPRESSION_NONE
                        : t.kind == 1 ? PNG_TEXT_COMPRESSION_zTXt
                        : t.kind == 2 ? PNG_ITXT_COMPRESSION_NONE
                                      : PNG_ITXT_COMPRESSION_zTXt;
        c.key = const_cast<char*>(t.keyword.c_str());  // libpng copies them
        c.text = const_cast<char*>(t.text.c_str());
        if (t.kind >= 2) {
            c.itxt_length = t.text.size();
            c.lang = const_cast<char*>(t.language.c_str());
            c.lang_key = const_cast<char*>(t.translatedKeyword.c_str());
        } else {
            c.text_length = t.text.size();
        }
        chunks.push_back(c);
    }
    if (!own.exif.empty() && !pngGuarded(png, [&] {
            png_set_eXIf_1(png, info, static_cast<png_uint_32>(own.exif.size()), const_cast<png_bytep>(own.exif.data()));
        }))
        dropped.push_back(std::string("Exif left out: ") + messages.error);
    for (const auto& [key, value] : texts) {
        if (!value || !own.empty()) continue;
        if (!isAscii(*value)) {
            dropped.push_back(std::string(key) + " left out: not ASCII");
            continue;
        }
        png_text t{};
        t.compression = PNG_TEXT_COMPRESSION_NONE;
        t.key = const_cast<char*>(key);
        t.text = const_cast<char*>(value->c_str());  // libpng copies it
        t.text_length = value->size();
        chunks.push_back(t);
    }
    if (!chunks.empty() &&
        !pngGuarded(png, [&] { png_set_text(png, info, chunks.data(), static_cast<int>(chunks.size())); }))
        dropped.push_back(std::string("texts left out: ") + messages.error);
}

uint32_t bigEndian(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
    return v;
}

// A PNG input's gAMA, cHRM, sRGB and bKGD. sRGB stays out beside an ICC
// profile, which the format forbids, and a background of the other colour
// type (a forged record) with a warning.
void setColourChunks(png_structp png, png_infop info, const ImageMetadata& meta, const PngWriteMessages& messages,
                     std::vector<std::string>& dropped) {
    const bool grey = png_get_color_type(png, info) == PNG_COLOR_TYPE_GRAY;
    for (const PngColourChunk& k : decodePngChunks(meta.pngChunks).colour) {
        if (k.type == "sRGB" && !meta.iccProfile.empty()) continue;
        ColourValues c;
        std::memcpy(c.type, k.type.data(), 4);
        const uint8_t* d = k.data.data();
        if (k.type == "bKGD") {
            if ((k.data.size() == 2) != grey) {
                dropped.push_back("bKGD left out: not of the picture's colour type");
                continue;
            }
            if (grey) c.background.gray = static_cast<png_uint_16>(bigEndian(d, 2));
            else
                c.background = {0, static_cast<png_uint_16>(bigEndian(d, 2)), static_cast<png_uint_16>(bigEndian(d + 2, 2)),
                                static_cast<png_uint_16>(bigEndian(d + 4, 2)), 0};
        } else {
            const std::size_t count = k.type == "sRGB" ? 1 : k.data.size() / 4;
            for (std::size_t i = 0; i < count; ++i)
                c.v[i] = k.type == "sRGB" ? d[0] : static_cast<png_fixed_point>(bigEndian(d + 4 * i, 4));
        }
        if (!pngSetColour(png, info, c)) dropped.push_back(k.type + " left out: " + messages.error);
    }
}

void setTime(png_structp png, png_infop info, const ImageMetadata& meta) {
    // The date as tIME, which a PNG input's came from.
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (meta.dateTime && std::sscanf(meta.dateTime->c_str(), "%4u:%2u:%2u %2u:%2u:%2u", &year, &month, &day, &hour,
                                     &minute, &second) == 6 &&
        month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour < 24 && minute < 60 && second < 61) {
        png_time t{static_cast<png_uint_16>(year), static_cast<png_byte>(month), static_cast<png_byte>(day),
                   static_cast<png_byte>(hour), static_cast<png_byte>(minute), static_cast<png_byte>(second)};
        png_set_tIME(png, info, &t);
    }
}

void setMetadataChunks(png_structp png, png_infop info, const ImageMetadata& meta, const PngWriteMessages& messages,
                       std::vector<std::string>& dropped) {
    setImageChunks(png, info, meta, messages, dropped);
    setTextChunks(png, info, meta, messages, dropped);
    setColourChunks(png, info, meta, messages, dropped);
    setTime(png, info, meta);
}

}  // namespace

struct PngOutput::Handle {
    PngWriteMessages messages;  // outlives png
    png_structp png = nullptr;
    png_infop info = nullptr;
    int bits = 16;
    int channels = 3;  // 1: grey, from the R plane
    std::vector<uint8_t> row;
    std::vector<std::string> dropped;
    ~Handle() {
        if (png) png_destroy_write_struct(&png, info ? &info : nullptr);
    }
};

PngOutput::PngOutput(std::string outputPath, const ImageLayout& layout, int bits, const ImageMetadata& meta,
                     const OutputOptions& options)
    : file_(std::move(outputPath), options), handle_(std::make_unique<Handle>()), height_(layout.height) {
    if (layout.width < 1 || layout.height < 1 || (bits != 8 && bits != 16))
        throw Error("PNG of " + std::to_string(layout.width) + " x " + std::to_string(layout.height) + " at " +
                    std::to_string(bits) + " bits");
    Handle& h = *handle_;
    h.bits = bits;
    // A grey picture stays grey; PNG's grey is black at 0, whatever the input's was.
    h.channels = meta.grey ? 1 : 3;
    h.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &h.messages, onWriteError, onWriteWarning);
    if (h.png) h.info = png_create_info_struct(h.png);
    if (!h.png || !h.info) throw Error(kCannotCreateOutputText, path() + " (out of memory)");
    png_init_io(h.png, file_.stream());
    png_set_compression_level(h.png, kPngCompressionLevel);
    if (!pngGuarded(h.png, [&] {
            png_set_IHDR(h.png, h.info, static_cast<png_uint_32>(layout.width), static_cast<png_uint_32>(layout.height),
                         bits, h.channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                         PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        }))
        throw Error(kCannotCreateOutputText, path() + " (" + h.messages.error + ")");
    setMetadataChunks(h.png, h.info, meta, h.messages, h.dropped);
    if (!pngGuarded(h.png, [&] { png_write_info(h.png, h.info); })) file_.fail(kCannotWriteOutputText, h.messages.errorErrno);
    h.row.resize(static_cast<std::size_t>(layout.width) * static_cast<std::size_t>(h.channels * bits / 8));
}

PngOutput::~PngOutput() {
    handle_.reset();
}

std::vector<std::string> PngOutput::warnings() const {
    std::vector<std::string> all = handle_->dropped;
    if (handle_->messages.warnings > 0) all.push_back(std::string("libpng: ") + handle_->messages.warning);
    return all;
}

void writePngStrip(PngOutput& out, const ImageLayout& layout, int32_t stripIndex, const StripWork& w) {
    const StripGeometry g = beginStrip(layout, stripIndex);
    const auto blocks = static_cast<std::size_t>(layout.paddedWidth / 4) * static_cast<std::size_t>(layout.stripHeight / 4);
    PngOutput::Handle& h = *out.handle_;
    if (w.rPlane.size() < blocks || w.gPlane.size() < blocks || w.bPlane.size() < blocks ||
        g.firstImageRow != out.nextRow_ ||
        h.row.size() != static_cast<std::size_t>(layout.width) * static_cast<std::size_t>(h.channels * h.bits / 8))
        throw Error("PNG strips must be written once each, top to bottom");
    const BlockPlane* rgb[3] = {&w.rPlane, &w.gPlane, &w.bPlane};
    const std::span<const BlockPlane* const> planes(rgb, static_cast<std::size_t>(h.channels));
    for (int32_t r = 0; r < g.imageRows; ++r) {
        uint8_t* p = h.row.data();
        for (int32_t x = 0; x < layout.width; ++x)
            for (const BlockPlane* plane : planes) {
                const uint16_t v = sampleAt(*plane, layout, x, r);
                if (h.bits == 16) {
                    *p++ = static_cast<uint8_t>(v >> 8);
                    *p++ = static_cast<uint8_t>(v);
                } else {
                    *p++ = static_cast<uint8_t>(std::min(255, (v + 128) >> 8));
                }
            }
        if (!pngGuarded(h.png, [&] { png_write_row(h.png, h.row.data()); })) out.file_.fail(kCannotWriteOutputText, h.messages.errorErrno);
    }
    out.nextRow_ += g.imageRows;
    out.file_.startWriteback();
}

void PngOutput::commit() {
    if (nextRow_ != height_)
        throw Error("PNG output has " + std::to_string(nextRow_) + " of " + std::to_string(height_) + " rows");
    Handle& h = *handle_;
    // libpng 1.6.39 would write eXIf a second time after the image data.
    png_set_invalid(h.png, h.info, PNG_INFO_eXIf);
    if (!pngGuarded(h.png, [&] { png_write_end(h.png, h.info); })) file_.fail(kCannotWriteOutputText, h.messages.errorErrno);
    if (std::fflush(file_.stream()) != 0) file_.fail(kCannotWriteOutputText, errno);
    file_.checkStream();
    file_.commit();
}

}  // namespace kirune
