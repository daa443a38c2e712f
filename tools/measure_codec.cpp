// Measures the block codec per preset on 16-bit RGB TIFF photographs: RGB
// PSNR (16-bit peak, all three channels) of the in-memory round trip and the
// bits per pixel of the seven side streams before the lossless stage.
//
//   measure_codec IMAGE.tif...
//
// Each image is coded strip by strip exactly as compression would code it;
// the decoder's output is checked against the encoder's reconstruction.

#include <tiffio.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/core/presets.h"
#include "codec/stream_syntax.h"
#include "tests/harness/strip_harness.h"

using namespace kirune;
using namespace kirune::harness;

namespace {


bool readTiff16(const std::string& path, RgbImage& img) {
    std::unique_ptr<TIFF, void (*)(TIFF*)> t(TIFFOpen(path.c_str(), "r"), [](TIFF* p) {
        if (p) TIFFClose(p);
    });
    if (!t) return false;
    uint32_t w = 0, h = 0;
    uint16_t bits = 0, spp = 0, planar = PLANARCONFIG_CONTIG;
    TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_PLANARCONFIG, &planar);
    if (bits != 16 || spp < 3 || planar != PLANARCONFIG_CONTIG || w == 0 || h == 0) return false;
    img = RgbImage(static_cast<int32_t>(w), static_cast<int32_t>(h));
    std::vector<uint16_t> line(static_cast<std::size_t>(TIFFScanlineSize(t.get())) / 2 + 1);
    for (uint32_t y = 0; y < h; ++y) {
        if (TIFFReadScanline(t.get(), line.data(), y, 0) < 0) return false;
        for (uint32_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) img.at(int32_t(x), int32_t(y), c) = line[std::size_t(x) * spp + c];
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: measure_codec IMAGE.tif...\n");
        return 2;
    }
    std::vector<std::pair<std::string, RgbImage>> images;
    for (int i = 1; i < argc; ++i) {
        RgbImage img;
        if (!readTiff16(argv[i], img)) {
            std::fprintf(stderr, "skipped (not a 16-bit RGB TIFF): %s\n", argv[i]);
            continue;
        }
        std::string name = argv[i];
        name = name.substr(name.find_last_of('/') + 1);
        images.emplace_back(name, std::move(img));
    }
    if (images.empty()) return 1;

    std::printf("| key | level | sampling | promised dB | PSNR (pooled) | PSNR min..max | bpp (7 streams) |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    bool exact = true;
    for (const Preset& p : kPresets) {
        double se = 0, samples = 0, pixels = 0, bytes = 0, lo = 1e9, hi = 0;
        std::vector<std::string> perImage;
        for (const auto& [name, img] : images) {
            const ImageResult r = runImage(img, {p.qualityLevel, p.colourSampling}, false);
            if (!r.mismatch.empty()) {
                std::fprintf(stderr, "%s at level %d: %s\n", name.c_str(), p.qualityLevel, r.mismatch.c_str());
                exact = false;
            }
            const double psnr = psnr16(img, r.decoded);
            const double n = double(img.rgb.size());
            se += n * 65535.0 * 65535.0 / std::pow(10.0, psnr / 10.0);
            samples += n;
            pixels += double(img.width) * img.height;
            bytes += double(r.bytes);
            lo = std::min(lo, psnr);
            hi = std::max(hi, psnr);
            char buf[160];
            std::snprintf(buf, sizeof buf, "  %-28s %6.2f dB %6.3f bpp", name.c_str(), psnr,
                          8.0 * double(r.bytes) / (double(img.width) * img.height));
            perImage.emplace_back(buf);
        }
        const double pooled = 10.0 * std::log10(65535.0 * 65535.0 / (se / samples));
        std::printf("| %d | %d | %s | %d | %.2f | %.2f..%.2f | %.3f |\n", p.digit, p.qualityLevel,
                    samplingName(p.colourSampling), p.dbFigure, pooled, lo, hi, 8.0 * bytes / pixels);
        for (const auto& line : perImage) std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stdout);
    }
    return exact ? 0 : 1;
}
