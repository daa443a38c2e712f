// Threads change how fast a file is done, never what it holds: containers,
// TIFFs and BMPs are byte for byte the same for every thread count.

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "app/core/drivers.h"
#include "app/core/presets.h"
#include "app/core/ui.h"
#include "kirune/Error.h"
#include "kirune/Parallel.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;

namespace {

struct Progress : BatchUi {
    std::vector<int> values;
    void showMessage(const std::string&, const std::string&) override {}
    void setPathText(const std::string&) override {}
    void setCounterText(const std::string&) override {}
    void setProgress(int p) override { values.push_back(p); }
};

uint16_t texture(int x, int y, int c) {
    const unsigned h = (x * 73856093u) ^ (y * 19349663u) ^ (c * 83492791u);
    return static_cast<uint16_t>(18000 + 20 * x + 35 * y + (x / 9 + y / 7) % 3 * 6000 + h % 2500);
}

using Threads = ScratchDir;

TEST_F(Threads, EveryThreadCountWritesTheSameBytes) {
    // Strips of 16 rows. Short stored strips and tiles let every worker read
    // through a handle of its own; one long compressed strip is read in turn.
    writeTiff(path("synthetic.tif"), TiffLayout{.width = 203, .height = 150}, texture);
    writeTiff(path("lzw.tif"), TiffLayout{.width = 203, .height = 150, .compression = COMPRESSION_LZW}, texture);
    writeTiff(path("onestrip.tif"),
              TiffLayout{.width = 203, .height = 150, .compression = COMPRESSION_LZW, .rowsPerStrip = 150}, texture);
    writeTiff(path("tiled.tif"),
              TiffLayout{.width = 203, .height = 150, .compression = COMPRESSION_ADOBE_DEFLATE,
                         .planar = PLANARCONFIG_SEPARATE, .tile = 32},
              texture);
    std::filesystem::copy_file(std::string(KIRUNE_TEST_DATA) + "/astronaut-256.tif", path("real.tif"));
    for (const char* name : {"synthetic", "real", "lzw", "onestrip", "tiled"})
        for (int digit : {2, 0, 8}) {  // 4:4:4, 4:2:0, 4:2:2
            if (digit != 2 && std::string(name) != "synthetic" && std::string(name) != "real") continue;
            const Preset& p = kPresets[digit];
            // Many strips, one per worker; and one strip whose planes are
            // coded side by side.
            for (int32_t budget : {12, 22}) {
            JobSettings settings{.qualityLevel = p.qualityLevel, .colourSampling = p.colourSampling,
                                 .qualityDbText = "x", .stripBudgetLog2 = budget};
            std::vector<uint8_t> container, tiff, bmp;
            int strips = 0;
            for (int threads : {1, 2, 8}) {
                const std::string where = std::string(name) + " budget " + std::to_string(budget) + " preset " + std::to_string(digit) +
                                          " threads " + std::to_string(threads);
                settings.threads = threads;
                settings.bmpOutput = false;
                Progress ui;
                const FileReport c = compressFile(path(std::string(name) + ".tif"), FileKind::CompressTiff, settings, ui);
                // 5 at the start, then one rising step per plane up to 100, then 0.
                ASSERT_GE(ui.values.size(), 3u) << where;
                EXPECT_TRUE(ui.values[0] == 5 && std::is_sorted(ui.values.begin() + 1, ui.values.end() - 1) && ui.values[ui.values.size() - 2] == 100 &&
                            ui.values.back() == 0) << where;
                if (threads == 1) strips = static_cast<int>(ui.values.size() - 2) / 3;
                EXPECT_EQ(static_cast<int>(ui.values.size() - 2), 3 * strips) << where;
                const FileReport t = expandFile(c.output, settings, ui);
                settings.bmpOutput = true;
                const FileReport b = expandFile(c.output, settings, ui);
                if (threads == 1) {
                    container = readFile(c.output), tiff = readFile(t.output), bmp = readFile(b.output);
                    continue;
                }
                EXPECT_TRUE(readFile(c.output) == container) << where;
                EXPECT_TRUE(readFile(t.output) == tiff) << where;
                EXPECT_TRUE(readFile(b.output) == bmp) << where;
            }
            if (budget == 12) EXPECT_GE(strips, 8) << name;  // enough strips that workers overlap
            }
        }
}

TEST_F(Threads, DamageInALaterStripFailsTheFileWithEveryThreadCount) {
    writeTiff(path("s.tif"), TiffLayout{.width = 120, .height = 96}, texture);
    JobSettings settings{.qualityDbText = "x", .stripBudgetLog2 = 11};
    Progress ui;
    const FileReport c = compressFile(path("s.tif"), FileKind::CompressTiff, settings, ui);
    std::vector<uint8_t> bytes = readFile(c.output);
    bytes.resize(bytes.size() - 40);  // the last strip loses its end
    writeFile(c.output, bytes);
    for (int threads : {1, 2, 8}) {
        settings.threads = threads;
        try {
            expandFile(c.output, settings, ui);
            ADD_FAILURE() << "expanded a cut file with " << threads << " threads";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), kDamagedFileText) << threads;
        }
        EXPECT_EQ(entries(), (std::set<std::string>{"s.tif", "s_x-2.rpx"})) << threads;
    }
}

TEST(ParallelFor, RunsEveryItemOnceAndRethrowsTheFirstFailure) {
    for (int threads : {1, 3, 64}) {
        std::vector<std::atomic<int>> runs(100);
        parallelFor(100, threads, [&](int i) { runs[static_cast<size_t>(i)]++; });
        for (const auto& r : runs) EXPECT_EQ(r.load(), 1) << threads;

        // Items 10 and 20 fail; whichever threads ran them, the caller sees
        // the lowest failing index among those that ran, never a later one.
        try {
            parallelFor(100, threads, [&](int i) {
                if (i == 10 || i == 20) throw std::runtime_error(std::to_string(i));
            });
            ADD_FAILURE() << threads;
        } catch (const std::runtime_error& e) {
            EXPECT_TRUE(std::string(e.what()) == "10" || threads > 1) << e.what();
            EXPECT_TRUE(std::string(e.what()) == "10" || std::string(e.what()) == "20") << e.what();
        }
    }
    parallelFor(0, 4, [](int) { FAIL(); });
}

}  // namespace
