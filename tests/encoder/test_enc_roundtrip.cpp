#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/encoder/strip_harness.h"

using namespace kirune;
using namespace kirune::harness;

namespace {

// The dialog's digit-key presets: level, sampling and the promised dB figure.
struct Preset {
    int32_t quality;
    int32_t sampling;
    int db;
};
constexpr Preset kPresets[10] = {{400, Sampling420, 35}, {21, Sampling444, 47}, {12, Sampling444, 49},
                                 {6, Sampling444, 51},   {4, Sampling444, 53},  {3, Sampling444, 54},
                                 {1, Sampling444, 56},   {65, Sampling444, 42}, {100, Sampling422, 40},
                                 {200, Sampling422, 38}};

const char* const kCrops[3] = {"astronaut_face", "astronaut_flag", "coffee_spoon"};

RgbImage generate(int32_t w, int32_t h, const std::function<void(RgbImage&, int32_t, int32_t)>& pixel) {
    RgbImage img(w, h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) pixel(img, x, y);
    return img;
}

void put(RgbImage& img, int32_t x, int32_t y, uint32_t r, uint32_t g, uint32_t b) {
    img.at(x, y, 0) = static_cast<uint16_t>(r);
    img.at(x, y, 1) = static_cast<uint16_t>(g);
    img.at(x, y, 2) = static_cast<uint16_t>(b);
}

struct Synthetic {
    std::string name;
    RgbImage image;
};

std::vector<Synthetic> synthetics(int32_t w, int32_t h) {
    std::vector<Synthetic> out;
    out.push_back({"flat", generate(w, h, [](RgbImage& i, int32_t x, int32_t y) { put(i, x, y, 30000, 31000, 29000); })});
    out.push_back({"gradient", generate(w, h, [&](RgbImage& i, int32_t x, int32_t y) {
                       put(i, x, y, uint32_t(x) * 65535 / uint32_t(w - 1), uint32_t(y) * 65535 / uint32_t(h - 1),
                           uint32_t(x + y) * 65535 / uint32_t(w + h - 2));
                   })});
    std::mt19937 rng(99);
    out.push_back({"noise", generate(w, h, [&](RgbImage& i, int32_t x, int32_t y) {
                       put(i, x, y, rng() & 0xFFFF, rng() & 0xFFFF, rng() & 0xFFFF);
                   })});
    out.push_back({"checkerboard", generate(w, h, [](RgbImage& i, int32_t x, int32_t y) {
                       const uint32_t fine = ((x + y) & 1) ? 65535 : 0;
                       const uint32_t coarse = (((x / 3) + (y / 3)) & 1) ? 65535 : 0;
                       put(i, x, y, fine, coarse, fine ^ coarse);
                   })});
    // Random rectangles of random colours: hard edges in every direction.
    RgbImage edges(w, h);
    std::fill(edges.rgb.begin(), edges.rgb.end(), uint16_t{20000});
    for (int k = 0; k < 40; ++k) {
        const int32_t x0 = int32_t(rng() % uint32_t(w)), y0 = int32_t(rng() % uint32_t(h));
        const int32_t x1 = std::min(w, x0 + 1 + int32_t(rng() % 20)), y1 = std::min(h, y0 + 1 + int32_t(rng() % 20));
        const uint32_t c[3] = {uint32_t(rng() & 0xFFFF), uint32_t(rng() & 0xFFFF), uint32_t(rng() & 0xFFFF)};
        for (int32_t y = y0; y < y1; ++y)
            for (int32_t x = x0; x < x1; ++x) put(edges, x, y, c[0], c[1], c[2]);
    }
    out.push_back({"hard edges", std::move(edges)});
    // Bands of the primaries, secondaries, white and black at full scale.
    out.push_back({"saturated", generate(w, h, [](RgbImage& i, int32_t x, int32_t y) {
                       const int band = ((x / 5) + 3 * (y / 7)) % 8;
                       put(i, x, y, band & 1 ? 65535 : 0, band & 2 ? 65535 : 0, band & 4 ? 65535 : 0);
                   })});
    return out;
}

void expectBitExact(const RgbImage& img, const CodecChoice& c, const std::string& what) {
    const ImageResult r = runImage(img, c);
    EXPECT_EQ(r.mismatch, "") << what << " at level " << c.quality << ", sampling " << c.sampling;
}

}  // namespace

TEST(RoundTrip, EveryPresetOnPhotographCrops) {
    for (const char* name : kCrops) {
        const RgbImage img = loadFixture(name);
        for (const Preset& p : kPresets) {
            const ImageResult r = runImage(img, {p.quality, p.sampling});
            EXPECT_EQ(r.mismatch, "") << name << " level " << p.quality;
            // A gross fault (a sign, a shift, a wrong plane) costs far more
            // than the margin the colour conversion leaves below the figure.
            EXPECT_GT(psnr16(img, r.decoded), p.db - 8) << name << " level " << p.quality;
        }
    }
}

TEST(RoundTrip, LowerLevelsCostMoreBitsAndLoseLess) {
    const int32_t levels[7] = {1, 3, 4, 6, 12, 21, 65};
    for (const char* name : kCrops) {
        const RgbImage img = loadFixture(name);
        double lastPsnr = 1e9, lastBpp = 1e9;
        for (int32_t q : levels) {
            const ImageResult r = runImage(img, {q, Sampling444});
            const double psnr = psnr16(img, r.decoded), bpp = r.bitsPerPixel(img);
            EXPECT_LE(psnr, lastPsnr) << name << " level " << q;
            EXPECT_LE(bpp, lastBpp) << name << " level " << q;
            lastPsnr = psnr;
            lastBpp = bpp;
        }
    }
}

TEST(RoundTrip, SyntheticImagesAtEveryPreset) {
    for (const Synthetic& s : synthetics(61, 45))
        for (const Preset& p : kPresets) expectBitExact(s.image, {p.quality, p.sampling}, s.name);
}

TEST(RoundTrip, FlatImageCostsOnlyHeadersAndMeans) {
    const Synthetic flat = synthetics(64, 48).front();
    const ImageResult r = runImage(flat.image, {12, Sampling444});
    ASSERT_EQ(r.mismatch, "");
    // Per block of 16 pixels and plane: 2 header bits, 1 sign bit, 1 mean byte.
    EXPECT_LT(r.bitsPerPixel(flat.image), 3 * 11 / 16.0 + 0.1);
    EXPECT_EQ(r.streamBytes[StreamGainBytes], 0u);
    EXPECT_EQ(r.streamBytes[StreamMatchBytes], 0u);
    // Flat blocks keep only the mean: at most 8 twelve-bit steps off per plane.
    EXPECT_GT(psnr16(flat.image, r.decoded), 48.0);
}

TEST(RoundTrip, ShortLastStripAtEverySampling) {
    // 93 x 70 in 2048-pixel strips: 5 strips of 16 rows; the last codes 8
    // rows for 6 image rows, so its regions start at block row 2 (luma) or 1.
    const RgbImage img = loadFixture("coffee_spoon");
    for (int32_t sampling : {Sampling420, Sampling422, Sampling444}) {
        for (int32_t q : {1, 12, 200, 400}) {
            const ImageResult r = runImage(img, {q, sampling, 11});
            ASSERT_EQ(r.strips, 5);
            ASSERT_EQ(r.lastStripRowOffset, 2);
            EXPECT_EQ(r.mismatch, "") << "level " << q << " sampling " << sampling;
            EXPECT_GT(psnr16(img, r.decoded), 30.0);
        }
    }
    const RgbImage noise = synthetics(40, 100)[2].image;
    for (int32_t sampling : {Sampling420, Sampling422, Sampling444}) expectBitExact(noise, {6, sampling, 11}, "noise strips");
}

TEST(RoundTrip, PaddedWidthsAndOneBlockWideChroma) {
    // Widths 8 (one chroma block per row at 4:2:0 and 4:2:2), 5 and 1001
    // (mirrored padding to 8 and 1008) and 4000.
    const struct {
        int32_t w, h;
    } sizes[] = {{8, 40}, {5, 13}, {1001, 16}, {4000, 16}};
    for (auto size : sizes) {
        const auto images = synthetics(size.w, size.h);
        for (int32_t sampling : {Sampling420, Sampling422, Sampling444})
            for (int32_t q : {3, 21, 400})
                for (int k : {1, 2, 4}) expectBitExact(images[std::size_t(k)].image, {q, sampling},
                                                       images[std::size_t(k)].name + " " + std::to_string(size.w));
    }
}

TEST(RoundTrip, ShiftModeAndCoarseMeanLevels) {
    // 2000: shift 1, mean level 1; 6400: shift 2, mean level 2; 40000 and
    // above: mean level 3, the last two with the full limit again.
    const int32_t levels[] = {2000, 4001, 6400, 40000, 40001, 50000, 1000000};
    for (const char* name : kCrops) {
        const RgbImage img = loadFixture(name);
        for (int32_t q : levels)
            for (int32_t sampling : {Sampling420, Sampling444}) expectBitExact(img, {q, sampling}, name);
    }
    for (const Synthetic& s : synthetics(45, 37))
        for (int32_t q : levels) expectBitExact(s.image, {q, Sampling422}, s.name);
}

TEST(RoundTrip, PlanesWiderThanTheMatchSearch) {
    // 32768 pixels: 8192 luma blocks per row, matches in the current row only;
    // 65536: 16384 blocks, no match candidates at all; chroma at 4:2:0 halves both.
    for (int32_t w : {32768, 65536}) {
        const RgbImage img = generate(w, 8, [](RgbImage& i, int32_t x, int32_t y) {
            const uint32_t t = uint32_t(x % 97) * 600;
            put(i, x, y, t, (t * 3 + uint32_t(y) * 4000) & 0xFFFF, uint32_t(x % 13) * 5000);
        });
        for (int32_t sampling : {Sampling420, Sampling444}) expectBitExact(img, {21, sampling}, "wide");
    }
}
