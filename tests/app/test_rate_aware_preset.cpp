// The rate-aware coder at a preset: at least the PSNR the default encoder
// gives at that preset, in fewer bytes, under the preset's name, and every
// file it writes verifies whole (container and pixel checksums).

#include <gmock/gmock.h>

#include <filesystem>

#include "app/core/drivers.h"
#include "app/core/presets.h"
#include "tests/app/app_support.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;

namespace {

using RateAwarePreset = ScratchDir;

TEST_F(RateAwarePreset, KeepsTheDefaultsQualityForFewerBytesAndVerifies) {
    Quiet ui;
    // Presets of every sampling, the finest and coarse levels; small strips on
    // one image put plane rows at strip edges.
    for (const char* name : {"coffee-200.tif", "astronaut-256.tif"})
        for (const int digit : {1, 3, 6, 8, 0}) {
            SCOPED_TRACE(std::string(name) + " preset " + std::to_string(digit));
            FileReport got[2];
            for (const bool rateAware : {false, true}) {
                JobSettings s;
                s.usePreset(kPresets[digit]);
                s.rateAware = rateAware;
                s.measureQuality = true;
                s.stripBudgetLog2 = name[0] == 'a' ? 14 : kStripBudgetLog2;
                s.outputDir = path(rateAware ? "rdo" : "default");
                std::filesystem::create_directories(s.outputDir);
                got[rateAware] = compressFile(std::string(KIRUNE_TEST_DATA) + "/" + name, FileKind::CompressTiff, s, ui);
                const VerifyResult v = verifyFile(got[rateAware].output, false, s, ui);
                EXPECT_TRUE(v.containerChecksum && v.pixelChecksum && v.stripsDecoded);
            }
            EXPECT_GE(got[1].psnr, got[0].psnr - 0.05);
            EXPECT_LT(got[1].outputBytes, got[0].outputBytes);
            EXPECT_EQ(std::filesystem::path(got[1].output).filename(), std::filesystem::path(got[0].output).filename());
        }
}

}  // namespace
