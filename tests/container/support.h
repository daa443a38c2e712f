#pragma once
// Synthetic images and scratch folders for the container tests.

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace kirune::test {

// A fresh folder per test, removed afterwards.
class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kirune-container-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string path(const std::string& name) const { return (dir / name).string(); }
    // Names in the folder, hidden temporary files included.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
        return names;
    }
    std::filesystem::path dir;
};

inline std::vector<uint8_t> readFile(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}
inline void writeFile(const std::string& p, const std::vector<uint8_t>& bytes) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<std::streamsize>(bytes.size()));
}

// Sample c (0 R, 1 G, 2 B) of pixel (x, y), full 16-bit range.
using Pixels = std::function<uint16_t(int x, int y, int c)>;
inline uint16_t pattern(int x, int y, int c) { return static_cast<uint16_t>((x * 977 + y * 3163 + c * 20011) * 7); }

struct TiffLayout {
    int width = 13, height = 11, bits = 16;
    uint16_t compression = COMPRESSION_NONE;
    uint16_t planar = PLANARCONFIG_CONTIG;
    uint32_t tile = 0;  // tile side, 0 for strips
    uint32_t rowsPerStrip = 3;
    uint16_t samples = 3, photometric = PHOTOMETRIC_RGB;
    std::function<void(TIFF*)> tags = nullptr;
};

// Writes a TIFF whose 16-bit samples are px(x, y, c) (8-bit: the high byte).
inline void writeTiff(const std::string& p, const TiffLayout& t, const Pixels& px = pattern) {
    TIFF* tif = TIFFOpen(p.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, t.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, t.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, t.bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, t.samples);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, t.photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, t.planar);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, t.compression);
    if (t.tags) t.tags(tif);
    const int bytes = t.bits / 8;
    const bool planar = t.planar == PLANARCONFIG_SEPARATE;
    const int perPixel = planar ? 1 : t.samples;
    auto put = [&](std::vector<uint8_t>& buf, size_t i, int x, int y, int c) {
        const uint16_t v = px(x, y, c);
        if (bytes == 2) reinterpret_cast<uint16_t*>(buf.data())[i] = v;
        else buf[i] = static_cast<uint8_t>(v >> 8);
    };
    if (t.tile) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, t.tile);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, t.tile);
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, t.rowsPerStrip);
    }
    for (int c = 0; c < (planar ? t.samples : 1); ++c) {
        if (t.tile) {
            std::vector<uint8_t> buf(t.tile * t.tile * perPixel * bytes);
            for (uint32_t ty = 0; ty < uint32_t(t.height); ty += t.tile)
                for (uint32_t tx = 0; tx < uint32_t(t.width); tx += t.tile) {
                    for (uint32_t y = 0; y < t.tile; ++y)
                        for (uint32_t x = 0; x < t.tile; ++x)
                            for (int s = 0; s < perPixel; ++s)
                                put(buf, (y * t.tile + x) * perPixel + s, tx + x, ty + y, planar ? c : s);
                    ASSERT_GE(TIFFWriteTile(tif, buf.data(), tx, ty, 0, c), 0);
                }
        } else {
            std::vector<uint8_t> line(t.width * perPixel * bytes);
            for (int y = 0; y < t.height; ++y) {
                for (int x = 0; x < t.width; ++x)
                    for (int s = 0; s < perPixel; ++s) put(line, x * perPixel + s, x, y, planar ? c : s);
                ASSERT_GE(TIFFWriteScanline(tif, line.data(), y, c), 0);
            }
        }
    }
    TIFFClose(tif);
}

// A 24-bit BMP of px's high bytes; pixel data at `offset`, rows top-down when
// asked (negative height).
inline std::vector<uint8_t> bmpBytes(int w, int h, bool topDown, uint32_t offset = 54, const Pixels& px = pattern) {
    const size_t stride = (w * 3 + 3) & ~3;
    std::vector<uint8_t> b(offset + stride * h, 0xEE);  // junk in gaps and padding
    auto le = [&](size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) b[at + i] = uint8_t(v >> (8 * i));
    };
    b[0] = 'B', b[1] = 'M';
    le(2, uint32_t(b.size()), 4), le(6, 0, 4), le(10, offset, 4), le(14, 40, 4), le(18, w, 4);
    le(22, uint32_t(topDown ? -h : h), 4), le(26, 1, 2), le(28, 24, 2), le(30, 0, 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                b[offset + (topDown ? y : h - 1 - y) * stride + 3 * x + (2 - c)] = uint8_t(px(x, y, c) >> 8);
    return b;
}

}  // namespace kirune::test
