// The drivers end to end on files: TIFF and BMP in, container out, and back.

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "app/core/FileList.h"
#include "app/core/drivers.h"
#include "app/core/presets.h"
#include "app/core/ui.h"
#include "container/messages.h"
#include "kirune/Error.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;

namespace {

struct RecordingUi : BatchUi {
    std::vector<int> progress;
    std::vector<std::string> messages;
    void showMessage(const std::string& path, const std::string& text) override {
        messages.push_back(path + "|" + text);
    }
    void setPathText(const std::string&) override {}
    void setCounterText(const std::string&) override {}
    void setProgress(int p) override { progress.push_back(p); }
};

JobSettings presetSettings(int digit) {
    JobSettings s;
    s.qualityLevel = kPresets[digit].qualityLevel;
    s.colourSampling = kPresets[digit].colourSampling;
    s.qualityDbText = std::to_string(kPresets[digit].dbFigure);
    s.measureQuality = true;
    return s;
}

// A photograph-like 16-bit picture: smooth shading, an edge and some texture.
uint16_t photo(int x, int y, int c) {
    double v = 20000 + 9000 * std::sin(x * 0.05 + c) + 7000 * std::cos(y * 0.07 - c * 0.5);
    if (x > 2 * y) v += 12000;
    v += ((x * 7 + y * 13 + c * 5) % 17) * 150;
    return static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0));
}

struct TiffImage {
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0;
    std::vector<uint16_t> samplesRgb;  // 16-bit images only
};

TiffImage readTiff16(const std::string& path) {
    TiffImage img;
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (!t) return img;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &img.width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &img.height);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &img.bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &img.samples);
    if (img.bits == 16 && img.samples == 3) {
        img.samplesRgb.resize(size_t{img.width} * img.height * 3);
        for (uint32_t y = 0; y < img.height; ++y)
            TIFFReadScanline(t, img.samplesRgb.data() + size_t{y} * img.width * 3, y, 0);
    }
    TIFFClose(t);
    return img;
}

// PSNR of an expanded 16-bit TIFF against the 12-bit samples the reader takes
// from the source, on the same 16-bit scale the encoder measures on.
double psnrAgainstSource(const TiffImage& out, const Pixels& px) {
    double sum = 0;
    for (uint32_t y = 0; y < out.height; ++y)
        for (uint32_t x = 0; x < out.width; ++x)
            for (int c = 0; c < 3; ++c) {
                const double ref = ((px(x, y, c) + 8) >> 4) * 16.0;
                const double got = out.samplesRgb[(size_t{y} * out.width + x) * 3 + c];
                sum += (ref - got) * (ref - got);
            }
    const double mse = sum / (3.0 * out.width * out.height);
    return mse == 0 ? INFINITY : 10 * std::log10(65535.0 * 65535.0 / mse);
}

using Drivers = ScratchDir;

}  // namespace

TEST_F(Drivers, TiffRoundTripCarriesTagsAndDecodesWhatTheEncoderHeld) {
    const std::string src = path("Shot.TIF");
    TiffSpec spec;
    spec.width = 101;
    spec.height = 67;
    const std::vector<uint8_t> icc(300, 0x5A);
    spec.tags = [&](TIFF* t) {
        TIFFSetField(t, TIFFTAG_MAKE, "Maker");
        TIFFSetField(t, TIFFTAG_MODEL, "Model 7");
        TIFFSetField(t, TIFFTAG_SOFTWARE, "Scanner 2");
        TIFFSetField(t, TIFFTAG_DATETIME, "2026:12:06 10:00:00");
        TIFFSetField(t, TIFFTAG_ARTIST, "A. Person");
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 300.0f);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, 150.0f);
        TIFFSetField(t, TIFFTAG_ICCPROFILE, uint32_t(icc.size()), icc.data());
    };
    writeTiff(src, spec, photo);

    RecordingUi ui;
    const FileReport c = compressFile(src, FileKind::CompressTiff, presetSettings(2), ui);
    EXPECT_EQ(c.output, path("Shot_49-2.rpx"));
    EXPECT_EQ(ui.progress, (std::vector<int>{5, 33, 66, 100, 0}));
    const std::vector<uint8_t> header = readFile(c.output);
    ASSERT_GT(header.size(), 34u);
    auto u32 = [&](size_t at) { return header[at] | header[at + 1] << 8 | header[at + 2] << 16 | header[at + 3] << 24; };
    EXPECT_EQ(u32(10), 101u);
    EXPECT_EQ(u32(14), 67u);
    EXPECT_EQ(u32(18), 12u);
    EXPECT_EQ(u32(22), 4u);
    EXPECT_EQ(u32(26), 22u);
    EXPECT_EQ(u32(30), 32u);

    ui.progress.clear();
    const FileReport e = expandFile(c.output, presetSettings(2), ui);
    EXPECT_EQ(e.output, path("Shot_49-2.tif"));
    EXPECT_EQ(ui.progress, (std::vector<int>{33, 66, 100, 0}));

    const TiffImage out = readTiff16(e.output);
    ASSERT_EQ(out.width, 101u);
    ASSERT_EQ(out.height, 67u);
    ASSERT_EQ(out.bits, 16);
    // The expanded pixels are the encoder's own reconstruction: same PSNR.
    EXPECT_NEAR(psnrAgainstSource(out, photo), c.psnr, 1e-9);
    EXPECT_GT(c.psnr, 35.0);

    TIFF* t = TIFFOpen(e.output.c_str(), "r");
    ASSERT_NE(t, nullptr);
    char* text = nullptr;
    ASSERT_TRUE(TIFFGetField(t, TIFFTAG_MAKE, &text));
    EXPECT_STREQ(text, "Maker");
    ASSERT_TRUE(TIFFGetField(t, TIFFTAG_ARTIST, &text));
    EXPECT_STREQ(text, "A. Person");
    ASSERT_TRUE(TIFFGetField(t, TIFFTAG_DATETIME, &text));
    EXPECT_STREQ(text, "2026:12:06 10:00:00");
    float xres = 0;
    ASSERT_TRUE(TIFFGetField(t, TIFFTAG_XRESOLUTION, &xres));
    EXPECT_EQ(xres, 300.0f);
    uint32_t iccLength = 0;
    void* iccData = nullptr;
    ASSERT_TRUE(TIFFGetField(t, TIFFTAG_ICCPROFILE, &iccLength, &iccData));
    EXPECT_EQ(iccLength, icc.size());
    TIFFClose(t);
}

TEST_F(Drivers, TwoStripsMoveTheProgressBarPerPlane) {
    // 2048 x 2100 does not fit one strip of 2^22 pixels.
    const std::string src = path("tall.bmp");
    writeFile(src, bmpBytes(2048, 2100, false, 54, [](int x, int y, int c) {
                  return static_cast<uint16_t>(((x / 64 + y / 64 + c) % 4) * 16000);
              }));
    RecordingUi ui;
    JobSettings settings = presetSettings(8);  // 4:2:2
    const FileReport c = compressFile(src, FileKind::CompressBmp, settings, ui);
    EXPECT_EQ(ui.progress, (std::vector<int>{5, 16, 33, 50, 66, 83, 100, 0}));
    EXPECT_EQ(c.output, path("tall_40-2.rpx"));

    ui.progress.clear();
    settings.bmpOutput = true;
    const FileReport e = expandFile(c.output, settings, ui);
    EXPECT_EQ(ui.progress, (std::vector<int>{16, 33, 50, 66, 83, 100, 0}));
    EXPECT_EQ(e.output, path("tall_40-2.bmp"));
    EXPECT_EQ(std::filesystem::file_size(e.output), 54u + 2048u * 3 * 2100);
}

TEST_F(Drivers, SmallAndOddGeometriesSurviveEveryPreset) {
    const int sizes[][2] = {{1, 1}, {3, 3}, {8, 1}, {1001, 9}, {4, 13}};
    for (const auto& wh : sizes) {
        for (int digit : {0, 2, 6, 9}) {
            const std::string src = path("g.tif");
            TiffSpec spec;
            spec.width = wh[0];
            spec.height = wh[1];
            writeTiff(src, spec, photo);
            RecordingUi ui;
            const JobSettings settings = presetSettings(digit);
            const FileReport c = compressFile(src, FileKind::CompressTiff, settings, ui);
            const FileReport e = expandFile(c.output, settings, ui);
            const TiffImage out = readTiff16(e.output);
            ASSERT_EQ(out.width, uint32_t(wh[0]));
            ASSERT_EQ(out.height, uint32_t(wh[1]));
            EXPECT_NEAR(psnrAgainstSource(out, photo), c.psnr, 1e-9) << wh[0] << "x" << wh[1] << " p" << digit;
            EXPECT_TRUE(ui.messages.empty());
            std::filesystem::remove(c.output);
            std::filesystem::remove(e.output);
        }
    }
}

TEST_F(Drivers, BatchRefusesBadFilesLeavesNothingAndGoesOn) {
    TiffSpec spec;
    spec.width = 40;
    spec.height = 24;
    writeTiff(path("a_good.tif"), spec, photo);
    // A container cut short, one with flipped bytes, one that is not a container.
    RecordingUi quiet;
    const FileReport c = compressFile(path("a_good.tif"), FileKind::CompressTiff, presetSettings(2), quiet);
    std::vector<uint8_t> bytes = readFile(c.output);
    std::filesystem::remove(c.output);
    writeFile(path("b_cut.rpx"), std::vector<uint8_t>(bytes.begin(), bytes.begin() + bytes.size() / 2));
    std::vector<uint8_t> flipped = bytes;
    for (size_t i = 200; i < flipped.size(); i += 37) flipped[i] ^= 0x5A;
    writeFile(path("c_flip.rpx"), flipped);
    writeFile(path("d_foreign.rpx"), std::vector<uint8_t>(500, 'x'));
    writeFile(path("e_notes.txt"), {'h', 'i'});
    writeFile(path("f_fake.tif"), std::vector<uint8_t>(100, 0));
    // An existing output of a refused file must survive.
    writeFile(path("d_foreign.tif"), {1, 2, 3});

    FileList list;
    for (const char* n : {"f_fake.tif", "e_notes.txt", "d_foreign.rpx", "c_flip.rpx", "b_cut.rpx", "a_good.tif"})
        list.add(path(n));
    sortFileList(list);
    RecordingUi ui;
    FileDrivers drivers(presetSettings(2));
    const BatchResult r = runBatch(list, drivers, ui);
    EXPECT_EQ(r.succeeded, 1);
    EXPECT_EQ(r.failed, 5);
    ASSERT_EQ(ui.messages.size(), 5u);
    // In sorted order; each names its file and starts with the right text.
    EXPECT_EQ(ui.messages[0], path("b_cut.rpx") + "|" + kDamagedFileText);
    EXPECT_EQ(ui.messages[1].substr(0, path("c_flip.rpx").size() + 1), path("c_flip.rpx") + "|");
    EXPECT_EQ(ui.messages[2].rfind(path("d_foreign.rpx") + "|" + kUnsupportedFormatText, 0), 0u);
    EXPECT_EQ(ui.messages[3], path("e_notes.txt") + "|txtファイル形式には対応していません");
    EXPECT_EQ(ui.messages[4].rfind(path("f_fake.tif") + "|" + kNotTiffText, 0), 0u);

    std::vector<std::string> names = entries();
    std::sort(names.begin(), names.end());
    const std::vector<std::string> want = {"a_good.tif", "a_good_49-2.rpx", "b_cut.rpx", "c_flip.rpx",
                                           "d_foreign.rpx", "d_foreign.tif", "e_notes.txt", "f_fake.tif"};
    EXPECT_EQ(names, want);
    EXPECT_EQ(readFile(path("d_foreign.tif")), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(Drivers, OutputFolderAndUnwritableTargets) {
    TiffSpec spec;
    writeTiff(path("in.tif"), spec, photo);
    std::filesystem::create_directory(dir / "out");
    JobSettings settings = presetSettings(3);
    settings.outputDir = path("out");
    RecordingUi ui;
    const FileReport c = compressFile(path("in.tif"), FileKind::CompressTiff, settings, ui);
    EXPECT_EQ(c.output, path("out/in_51-2.rpx"));
    EXPECT_TRUE(std::filesystem::exists(c.output));

    settings.outputDir = path("missing/folder");
    FileDrivers drivers(settings);
    EXPECT_FALSE(drivers.processOneFile(path("in.tif"), FileKind::CompressTiff, ui));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.progress.back(), 0);
}
