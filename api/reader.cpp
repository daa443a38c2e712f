// The reading half of the C API: a container opened and checked as rpx
// opens one to expand it, decoded through DecodedStrips, which checks both
// checksums as the expansion does.

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "app/core/presets.h"
#include "boundary.h"
#include "container/carried_tags.h"
#include "container/decoded_strips.h"
#include "scratch_files.h"

namespace kirune::api {
namespace {

// 16-bit samples to 8 bits, rounded and clamped as rpx's BMP output does.
uint8_t to8Bits(uint16_t v) { return static_cast<uint8_t>(std::min(255, (v + 128) >> 8)); }

kirune_bytes bytesOf(const std::optional<std::string>& text) {
    if (!text) return {nullptr, 0, 0};
    return {reinterpret_cast<const uint8_t*>(text->data()), text->size(), 1};
}
kirune_bytes bytesOf(const std::vector<uint8_t>& bytes) { return {bytes.data(), bytes.size(), !bytes.empty()}; }

}  // namespace

struct OpenContainer {
    std::string path;                  // what DecodedStrips opens
    std::optional<MemoryFile> memory;  // the caller's bytes, for a container opened from memory
    FileCoding coding;
    ImageMetadata meta;
    std::optional<std::string> description;  // the photograph's own, not the program's credit
    bool checksums = false;
    int orientation = 1;
};

}  // namespace kirune::api

using namespace kirune;
using namespace kirune::api;

struct kirune_reader {
    std::string lastError;
    uint64_t maxPixels = 0;
    std::unique_ptr<OpenContainer> open;

    // Opens and checks the container at open->path as rpx does before it
    // expands; the reader holds it only once every check has passed.
    int load(std::unique_ptr<OpenContainer> c) {
        DecodedStrips strips(c->path);
        const ImageLayout& l = strips.layout();
        if (maxPixels != 0 && uint64_t(l.width) * uint64_t(l.height) > maxPixels)
            return fail(lastError, KIRUNE_ERROR_TOO_LARGE,
                        ("the picture has " + std::to_string(uint64_t(l.width) * uint64_t(l.height)) +
                         " pixels, more than the " + std::to_string(maxPixels) + " allowed")
                            .c_str());
        c->coding = strips.coding();
        c->meta = strips.metadata();
        c->checksums = strips.hasPixelChecksum();
        c->orientation = orientationOf(c->meta.carriedTags);
        if (c->meta.description != creditText()) c->description = c->meta.description;
        open = std::move(c);
        return KIRUNE_OK;
    }

    // Decodes the open container strip by strip: rows(firstRow, count, strips)
    // gets each strip's image rows.
    template <class Rows>
    void decode(Rows rows) {
        DecodedStrips strips(open->path);
        const ImageLayout& was = open->coding.layout;
        const ImageLayout& now = strips.layout();
        if (now.width != was.width || now.height != was.height || now.stripHeight != was.stripHeight)
            throw Error("the file changed since it was opened");
        while (strips.next()) rows(strips);
    }
};

extern "C" {

KIRUNE_API kirune_reader* kirune_reader_create(void) {
    try {
        return new kirune_reader;
    } catch (...) {
        return nullptr;
    }
}

KIRUNE_API void kirune_reader_free(kirune_reader* reader) { delete reader; }

KIRUNE_API const char* kirune_reader_last_error(const kirune_reader* reader) {
    return reader ? reader->lastError.c_str() : "";
}

KIRUNE_API int kirune_reader_set_max_pixels(kirune_reader* reader, uint64_t max_pixels) {
    if (!reader) return KIRUNE_ERROR_INVALID_ARGUMENT;
    reader->maxPixels = max_pixels;
    return KIRUNE_OK;
}

KIRUNE_API int kirune_reader_open_path(kirune_reader* reader, const char* path) {
    if (!reader) return KIRUNE_ERROR_INVALID_ARGUMENT;
    return guarded(reader->lastError, [&]() -> int {
        reader->open.reset();
        if (!path) throw InvalidArgument("path is NULL");
        auto c = std::make_unique<OpenContainer>();
        c->path = path;
        return reader->load(std::move(c));
    });
}

KIRUNE_API int kirune_reader_open_memory(kirune_reader* reader, const void* data, size_t size) {
    if (!reader) return KIRUNE_ERROR_INVALID_ARGUMENT;
    return guarded(reader->lastError, [&]() -> int {
        reader->open.reset();
        if (!data) throw InvalidArgument("data is NULL");
        auto c = std::make_unique<OpenContainer>();
        c->memory.emplace("kirune-container");
        c->memory->write(data, size);
        c->path = c->memory->path();
        return reader->load(std::move(c));
    });
}

KIRUNE_API int kirune_reader_info(kirune_reader* reader, kirune_info* info) {
    if (!reader || !info) return KIRUNE_ERROR_INVALID_ARGUMENT;
    if (!reader->open) return KIRUNE_ERROR_NO_PICTURE;
    const OpenContainer& c = *reader->open;
    const ImageLayout& l = c.coding.layout;
    *info = {};
    info->width = static_cast<uint32_t>(l.width);
    info->height = static_cast<uint32_t>(l.height);
    info->quality_level = c.coding.quality.qualityLevel;
    info->colour_sampling = c.coding.colourSampling;
    info->preset = -1;
    for (const Preset& p : kPresets)
        if (p.qualityLevel == info->quality_level && p.colourSampling == info->colour_sampling)
            info->preset = p.digit;
    info->strip_height = static_cast<uint32_t>(l.stripHeight);
    info->strip_count = static_cast<uint32_t>(l.stripCount);
    info->has_checksums = c.checksums;
    info->orientation = c.orientation;
    return KIRUNE_OK;
}

KIRUNE_API int kirune_reader_metadata(kirune_reader* reader, kirune_metadata* meta) {
    if (!reader || !meta) return KIRUNE_ERROR_INVALID_ARGUMENT;
    if (!reader->open) return KIRUNE_ERROR_NO_PICTURE;
    const OpenContainer& c = *reader->open;
    const ImageMetadata& m = c.meta;
    *meta = {};
    meta->make = bytesOf(m.make);
    meta->model = bytesOf(m.model);
    meta->software = bytesOf(m.software);
    meta->date_time = bytesOf(m.dateTime);
    meta->artist = bytesOf(m.artist);
    meta->description = bytesOf(c.description);
    meta->resolution_unit = m.resolutionUnit;
    meta->x_resolution = m.xResolution;
    meta->y_resolution = m.yResolution;
    meta->icc_profile = bytesOf(m.iccProfile);
    meta->carried_tags = bytesOf(m.carriedTags);
    return KIRUNE_OK;
}

KIRUNE_API int kirune_reader_decode(kirune_reader* reader, void* pixels, size_t stride, size_t buffer_size,
                                    int bits) {
    if (!reader) return KIRUNE_ERROR_INVALID_ARGUMENT;
    std::size_t used = 0;  // bytes of each row written, cleared on failure
    const int result = guarded(reader->lastError, [&]() -> int {
        if (!reader->open) return fail(reader->lastError, KIRUNE_ERROR_NO_PICTURE, "no container is open");
        if (!pixels) throw InvalidArgument("pixels is NULL");
        const ImageLayout& l = reader->open->coding.layout;
        const std::size_t row = rowBytes(static_cast<uint32_t>(l.width), bits);
        if (stride < row) throw InvalidArgument("stride is less than width * 3 * bits / 8");
        std::size_t need = 0;
        if (__builtin_mul_overflow(stride, static_cast<std::size_t>(l.height - 1), &need) ||
            __builtin_add_overflow(need, row, &need) || buffer_size < need)
            throw InvalidArgument("the buffer is smaller than stride * (height - 1) + width * 3 * bits / 8");
        used = row;
        auto* out = static_cast<unsigned char*>(pixels);
        std::vector<uint16_t> rgb;
        reader->decode([&](const DecodedStrips& strips) {
            const StripGeometry& g = strips.geometry();
            for (int32_t r = 0; r < g.imageRows; ++r) {
                strips.copyRow(r, rgb);
                unsigned char* dst = out + static_cast<std::size_t>(g.firstImageRow + r) * stride;
                if (bits == 16)
                    std::memcpy(dst, rgb.data(), row);
                else
                    std::transform(rgb.begin(), rgb.end(), dst, to8Bits);
            }
        });
        return KIRUNE_OK;
    });
    if (result != KIRUNE_OK && used != 0) {
        auto* out = static_cast<unsigned char*>(pixels);
        for (int32_t y = 0; y < reader->open->coding.layout.height; ++y)
            std::memset(out + static_cast<std::size_t>(y) * stride, 0, used);
    }
    return result;
}

KIRUNE_API int kirune_reader_decode_strips(kirune_reader* reader, int bits, kirune_strip_callback callback,
                                           void* user) {
    if (!reader) return KIRUNE_ERROR_INVALID_ARGUMENT;
    return guarded(reader->lastError, [&]() -> int {
        if (!reader->open) return fail(reader->lastError, KIRUNE_ERROR_NO_PICTURE, "no container is open");
        if (!callback) throw InvalidArgument("callback is NULL");
        const ImageLayout& l = reader->open->coding.layout;
        const std::size_t row = rowBytes(static_cast<uint32_t>(l.width), bits);
        std::vector<unsigned char> strip(row * static_cast<std::size_t>(l.stripHeight));
        std::vector<uint16_t> rgb;
        reader->decode([&](const DecodedStrips& strips) {
            const StripGeometry& g = strips.geometry();
            for (int32_t r = 0; r < g.imageRows; ++r) {
                strips.copyRow(r, rgb);
                unsigned char* dst = strip.data() + static_cast<std::size_t>(r) * row;
                if (bits == 16)
                    std::memcpy(dst, rgb.data(), row);
                else
                    std::transform(rgb.begin(), rgb.end(), dst, to8Bits);
            }
            if (callback(user, static_cast<uint32_t>(g.firstImageRow), static_cast<uint32_t>(g.imageRows),
                         strip.data(), row) != 0)
                throw Interrupted("stopped by the caller");
        });
        return KIRUNE_OK;
    });
}

}  // extern "C"
