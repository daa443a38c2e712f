#pragma once
// Synthetic images, scratch folders and metadata checks shared by the file
// tests (container, drivers, dialog).

#include <gtest/gtest.h>
#include <tiffio.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <tuple>

#include "codec/codec_state.h"
#include "container/metadata.h"
#include "kirune/Error.h"

namespace kirune::test {

// A fresh folder per test, removed afterwards.
class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kirune-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string path(const std::string& name) const { return (dir / name).string(); }
    // Names in the folder, hidden temporary files included.
    std::set<std::string> entries() const {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename());
        return names;
    }
    std::filesystem::path dir;
};

inline std::vector<uint8_t> readFile(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}
// The text of the Error that f throws, "accepted" when it throws none; any
// other exception fails the test.
inline std::string errorText(const std::function<void()>& f) {
    try { f(); } catch (const Error& e) { return e.what(); }
    return "accepted";
}
// The message of the Error that f throws (its English text, its arguments).
inline UserMessage errorMessage(const std::function<void()>& f) {
    try { f(); } catch (const Error& e) { return e.message(); }
    return UserMessage{"accepted"};
}
// n little-endian bytes at `at`.
inline uint64_t getLe(const std::vector<uint8_t>& b, std::size_t at, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint64_t{b.at(at + i)} << (8 * i);
    return v;
}
inline void putLe(std::vector<uint8_t>& b, std::size_t at, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b.at(at + i) = uint8_t(v >> (8 * i));
}
// What a shell command printed on both streams, and its exit status (128 + N after signal N).
struct Ran {
    int status = -1;
    std::string output;
};
inline Ran runCommand(const std::string& command) {
    Ran r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.output.append(buf, n);
    const int raw = ::pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return r;
}
inline void writeFile(const std::string& p, const std::vector<uint8_t>& bytes) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<std::streamsize>(bytes.size()));
}

// A container as written before trailers existed: the header and strips alone.
inline std::vector<uint8_t> withoutTrailer(std::vector<uint8_t> b) {
    if (b.size() >= 32 && std::memcmp(&b[b.size() - 8], "RPXTRAIL", 8) == 0)
        b.resize(b.size() - getLe(b, b.size() - 32, 8));
    return b;
}

// An image's layout and coding (level 12, 4:4:4 unless changed) with one
// strip working set.
struct TestImage : ImageLayout {
    QualityParams quality = codecParams(12);
    int32_t colourSampling = Sampling444;
    StripWork strip;

    TestImage() = default;
    TestImage(const FileCoding& c) : ImageLayout(c.layout), quality(c.quality), colourSampling(c.colourSampling) {}
    FileCoding file() const { return {*this, quality, colourSampling}; }
    void alloc(int32_t width, int32_t height) { allocCodecBuffers(strip, colourSampling, width, height); }
    void alloc() { alloc(paddedWidth, stripHeight); }
};

// The strip layout of a w x h image (buffers not yet allocated).
inline TestImage layout(int w, int h, int budgetLog2 = kStripBudgetLog2) {
    TestImage s;
    static_cast<ImageLayout&>(s) = computeStripLayout(w, h, budgetLog2);
    return s;
}
// Sample (x, strip row r) of channel c of a strip: rows bottom-up, 4 x 4 blocks.
inline int16_t& sample(StripWork& w, const ImageLayout& s, int c, int x, int r) {
    BlockPlane* planes[3] = {&w.rPlane, &w.gPlane, &w.bPlane};
    const int y = s.stripHeight - 1 - r;
    return (*planes[c])[(y / 4) * (s.paddedWidth / 4) + x / 4].lane[(y % 4) * 4 + x % 4];
}

// Every carried field, so a failure shows which one differs.
inline auto fields(const ImageMetadata& m) {
    return std::tie(m.make, m.model, m.software, m.dateTime, m.artist, m.resolutionUnit, m.xResolution,
                    m.yResolution, m.iccProfile, m.description);
}
// Tags of every kind: a cp932 text, an empty one, a short description.
inline ImageMetadata allTags() {
    return {"Maker", "M-1", "\x8A\x4A", "2024:01:02 03:04:05", "", RESUNIT_CENTIMETER, 118.5f, 100.0f,
            {0, 1, 2, 250}, "abcd", {}, {}, {}};
}

// Sample c (0 R, 1 G, 2 B) of pixel (x, y), full 16-bit range.
using Pixels = std::function<uint16_t(int x, int y, int c)>;
inline uint16_t pattern(int x, int y, int c) { return static_cast<uint16_t>((x * 977 + y * 3163 + c * 20011) * 7); }

struct TiffLayout {
    int width = 13, height = 11, bits = 16;
    uint16_t compression = COMPRESSION_NONE, planar = PLANARCONFIG_CONTIG;
    uint32_t tile = 0, rowsPerStrip = 3;  // tile side, 0 for strips
    uint16_t samples = 3, photometric = PHOTOMETRIC_RGB;
    const ImageMetadata* tags = nullptr;  // written as TIFF tags when set
};

// Writes a TIFF whose 16-bit samples are px(x, y, c) (8-bit: the high byte).
inline void writeTiff(const std::string& p, const TiffLayout& t, const Pixels& px = pattern) {
    TIFF* tif = TIFFOpen(p.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    const bool tiled = t.tile > 0, planar = t.planar == PLANARCONFIG_SEPARATE;
    for (auto [tag, value] : {std::pair<ttag_t, int>{TIFFTAG_IMAGEWIDTH, t.width}, {TIFFTAG_IMAGELENGTH, t.height},
                              {TIFFTAG_BITSPERSAMPLE, t.bits}, {TIFFTAG_SAMPLESPERPIXEL, t.samples},
                              {TIFFTAG_PHOTOMETRIC, t.photometric}, {TIFFTAG_PLANARCONFIG, t.planar},
                              {TIFFTAG_COMPRESSION, t.compression}})
        TIFFSetField(tif, tag, value);
    if (tiled) TIFFSetField(tif, TIFFTAG_TILEWIDTH, t.tile), TIFFSetField(tif, TIFFTAG_TILELENGTH, t.tile);
    else TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, t.rowsPerStrip);
    if (const ImageMetadata* m = t.tags) {
        for (auto [tag, text] : {std::pair{TIFFTAG_MAKE, &m->make}, {TIFFTAG_MODEL, &m->model},
                                 {TIFFTAG_SOFTWARE, &m->software}, {TIFFTAG_DATETIME, &m->dateTime},
                                 {TIFFTAG_ARTIST, &m->artist}})
            if (*text) TIFFSetField(tif, tag, (*text)->c_str());
        if (m->resolutionUnit) TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, m->resolutionUnit);
        if (m->xResolution > 0) TIFFSetField(tif, TIFFTAG_XRESOLUTION, double(m->xResolution));
        if (m->yResolution > 0) TIFFSetField(tif, TIFFTAG_YRESOLUTION, double(m->yResolution));
        if (!m->iccProfile.empty())
            TIFFSetField(tif, TIFFTAG_ICCPROFILE, uint32_t(m->iccProfile.size()), m->iccProfile.data());
        if (!m->description.empty()) TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, m->description.c_str());
    }
    const int bytes = t.bits / 8, perPixel = planar ? 1 : t.samples;
    const uint32_t tw = tiled ? t.tile : uint32_t(t.width), th = tiled ? t.tile : 1;
    // A tile, or one scanline when the file has strips.
    std::vector<uint8_t> buf(size_t{tw} * th * perPixel * bytes);
    for (int c = 0; c < (planar ? t.samples : 1); ++c)
        for (uint32_t ty = 0; ty < uint32_t(t.height); ty += th)
            for (uint32_t tx = 0; tx < uint32_t(t.width); tx += tw) {
                for (size_t i = 0; i < size_t{tw} * th * perPixel; ++i) {
                    const size_t at = i / perPixel;
                    const uint16_t v = px(int(tx + at % tw), int(ty + at / tw), planar ? c : int(i % perPixel));
                    if (bytes == 2) std::memcpy(&buf[2 * i], &v, 2);
                    else buf[i] = uint8_t(v >> 8);
                }
                ASSERT_GE(tiled ? TIFFWriteTile(tif, buf.data(), tx, ty, 0, c)
                                 : TIFFWriteScanline(tif, buf.data(), ty, c), 0);
            }
    TIFFClose(tif);
}

// A TIFF of grey 8-bit RGB pages {width, height, SubfileType}.
inline void writePages(const std::string& p, const std::vector<std::array<uint32_t, 3>>& pages) {
    TIFF* tif = TIFFOpen(p.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    for (const auto& [w, h, subfile] : pages) {
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, subfile);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w), TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8), TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        std::vector<uint8_t> line(w * 3, 90);
        for (uint32_t y = 0; y < h; ++y) ASSERT_EQ(TIFFWriteScanline(tif, line.data(), y, 0), 1);
        ASSERT_EQ(TIFFWriteDirectory(tif), 1);
    }
    TIFFClose(tif);
}

// A strip-wise TIFF's samples as stored (8-bit ones as they are), row by row, and how they are stored.
struct ReadTiff {
    uint16_t samples = 0, bits = 0, photometric = 0;
    std::vector<uint16_t> values;
};
inline ReadTiff readTiff(const std::string& p) {
    ReadTiff r;
    TIFF* tif = TIFFOpen(p.c_str(), "r");
    EXPECT_NE(tif, nullptr) << p;
    if (!tif) return r;
    uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w), TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &r.samples), TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &r.bits);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &r.photometric);
    std::vector<uint8_t> line(static_cast<std::size_t>(TIFFScanlineSize64(tif)));
    for (uint32_t y = 0; y < h; ++y) {
        EXPECT_EQ(TIFFReadScanline(tif, line.data(), y, 0), 1) << p << " row " << y;
        for (std::size_t i = 0; i < std::size_t{w} * r.samples; ++i) {
            uint16_t v = line[i];
            if (r.bits == 16) std::memcpy(&v, &line[2 * i], 2);
            r.values.push_back(v);
        }
    }
    TIFFClose(tif);
    return r;
}
// The interleaved samples of a strip-wise 16-bit RGB TIFF, row by row.
inline std::vector<uint16_t> tiffSamples(const std::string& p) { return readTiff(p).values; }

// A bottom-up 24-bit BMP's w x h samples as R, G, B, rows top-down.
inline std::vector<uint16_t> bmpSamples(const std::string& p, int w, int h) {
    const std::vector<uint8_t> b = readFile(p);
    std::vector<uint16_t> all;
    const int stride = (3 * w + 3) & ~3;
    EXPECT_EQ(b.size(), 54 + std::size_t(stride) * h) << p;
    for (int y = h - 1; y >= 0 && b.size() == 54 + std::size_t(stride) * h; --y)
        for (int x = 0; x < w; ++x)
            for (int c = 2; c >= 0; --c) all.push_back(b[54 + std::size_t(y) * stride + 3 * x + c]);
    return all;
}

// A 24-bit BMP of px's high bytes; pixel data at `offset`, rows top-down when
// asked (negative height).
inline std::vector<uint8_t> bmpBytes(int w, int h, bool topDown, uint32_t offset = 54, const Pixels& px = pattern) {
    const size_t stride = (w * 3 + 3) & ~3;
    std::vector<uint8_t> b(offset + stride * h, 0xEE);  // junk in gaps and padding
    const auto le = [&](size_t at, uint32_t v, int n) { putLe(b, at, v, n); };
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
