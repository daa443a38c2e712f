#pragma once
// Synthetic PNGs written with libpng: the pixels of writeTiff's pattern, any colour type, depth and interlacing,
// with optional chunks.

#include <png.h>
#include <zlib.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/container/support.h"

namespace kirune::test {

struct PngLayout {
    int width = 13, height = 11, bits = 16;
    int colour = PNG_COLOR_TYPE_RGB;
    bool interlaced = false;
    // pHYs in pixels per metre (0: none).
    uint32_t pixelsPerMetre = 0;
    // A tEXt, a zTXt and a compressed iTXt (with a language) when set.
    bool texts = false;
    // Sets chunks ahead of the image data, and those libpng writes after it.
    std::function<void(png_structp, png_infop)> before = {}, after = {};
};

// Writes px's samples (8-bit: the high byte); greyscale takes channel 0, an alpha channel 0xffff and a palette
// entry index x & 3.
inline void writePng(const std::string& p, const PngLayout& t, const Pixels& px = pattern) {
    std::FILE* f = std::fopen(p.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, t.width, t.height, t.bits, t.colour,
                 t.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_color palette[4] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    if (t.colour == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, palette, 4);
    if (t.pixelsPerMetre) png_set_pHYs(png, info, t.pixelsPerMetre, t.pixelsPerMetre, PNG_RESOLUTION_METER);
    if (t.texts) {
        png_text texts[3] = {};
        texts[0].compression = PNG_TEXT_COMPRESSION_NONE;
        texts[0].key = const_cast<char*>("Comment");
        texts[0].text = const_cast<char*>("plain words");
        texts[1].compression = PNG_TEXT_COMPRESSION_zTXt;
        texts[1].key = const_cast<char*>("Title");
        texts[1].text = const_cast<char*>("squeezed title");
        texts[2].compression = PNG_ITXT_COMPRESSION_zTXt;
        texts[2].key = const_cast<char*>("Description");
        texts[2].lang = const_cast<char*>("ja");
        texts[2].lang_key = const_cast<char*>("\xe8\xaa\xac\xe6\x98\x8e");
        texts[2].text = const_cast<char*>("\xe7\x8c\xab\xe3\x81\xae\xe5\x86\x99\xe7\x9c\x9f");
        png_set_text(png, info, texts, 3);
        png_time when{2021, 2, 3, 4, 5, 6};
        png_set_tIME(png, info, &when);
    }
    if (t.before) t.before(png, info);
    png_write_info(png, info);
    const int channels = png_get_channels(png, info);
    const int bytes = t.bits > 8 ? 2 : 1;
    std::vector<uint8_t> rows(std::size_t(t.height) * t.width * channels * bytes);
    for (int y = 0; y < t.height; ++y)
        for (int x = 0; x < t.width; ++x)
            for (int c = 0; c < channels; ++c) {
                const bool alpha = (t.colour & PNG_COLOR_MASK_ALPHA) && c == channels - 1;
                uint16_t v = alpha ? 0xffff : px(x, y, channels < 3 ? 0 : c);
                if (t.colour == PNG_COLOR_TYPE_PALETTE) v = static_cast<uint16_t>(x & 3);
                uint8_t* at = &rows[((std::size_t(y) * t.width + x) * channels + c) * bytes];
                if (bytes == 2) at[0] = uint8_t(v >> 8), at[1] = uint8_t(v);
                else at[0] = t.colour == PNG_COLOR_TYPE_PALETTE ? uint8_t(v) : uint8_t(v >> 8);
            }
    std::vector<png_bytep> pointers(t.height);
    for (int y = 0; y < t.height; ++y) pointers[y] = &rows[std::size_t(y) * t.width * channels * bytes];
    png_write_image(png, pointers.data());
    if (t.after) t.after(png, info);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    ASSERT_EQ(std::fclose(f), 0);
}

// The CRC of a chunk's type and data, as libpng's reader checks it.
inline void fixChunkCrc(std::vector<uint8_t>& b, std::size_t chunkStart) {
    const uint32_t length = uint32_t{b[chunkStart]} << 24 | uint32_t{b[chunkStart + 1]} << 16 |
                            uint32_t{b[chunkStart + 2]} << 8 | b[chunkStart + 3];
    uLong crc = crc32(0, &b[chunkStart + 4], 4 + length);
    for (int i = 0; i < 4; ++i) b[chunkStart + 8 + length + i] = uint8_t(crc >> (24 - 8 * i));
}

}  // namespace kirune::test

namespace kirune::test {

// A PNG's samples as libpng reads them (8-bit ones as they are), and its size;
// `chunks` then sees what libpng read of the chunks before and after the data.
struct ReadPng {
    int width = 0, height = 0, bits = 0, channels = 0;
    uint32_t pixelsPerMetre = 0;
    std::vector<uint16_t> samples;
};
inline ReadPng readPng(const std::string& p, const std::function<void(png_structp, png_infop)>& chunks = {}) {
    ReadPng r;
    std::FILE* f = std::fopen(p.c_str(), "rb");
    if (!f) return r;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_read_info(png, info);
    r.width = int(png_get_image_width(png, info));
    r.height = int(png_get_image_height(png, info));
    r.bits = png_get_bit_depth(png, info);
    r.channels = png_get_channels(png, info);
    png_uint_32 y = 0;
    int unit = 0;
    png_get_pHYs(png, info, &r.pixelsPerMetre, &y, &unit);
    std::vector<uint8_t> row(png_get_rowbytes(png, info));
    for (int y = 0; y < r.height; ++y) {
        png_read_row(png, row.data(), nullptr);
        for (std::size_t i = 0; i < std::size_t(r.width) * r.channels; ++i)
            r.samples.push_back(r.bits == 16 ? uint16_t(row[2 * i] << 8 | row[2 * i + 1]) : row[i]);
    }
    png_read_end(png, info);
    if (chunks) chunks(png, info);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return r;
}

}  // namespace kirune::test
