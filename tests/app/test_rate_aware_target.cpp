// The rate-aware coder aiming at a PSNR target never writes more bytes than
// the cascade alone does for the same target.

#include <gmock/gmock.h>

#include "app/core/drivers.h"
#include "tests/app/app_support.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;

namespace {

using RateAwareTarget = ScratchDir;

TEST_F(RateAwareTarget, NeverLargerThanTheCascadeOnTheBundledSamples) {
    // Targets where the rate-aware coder alone loses to the cascade on both.
    for (const char* name : {"astronaut-256.tif", "coffee-200.tif"}) {
        for (const double target : {44.0, 47.0}) {
            SCOPED_TRACE(std::string(name) + " at " + std::to_string(target));
            FileReport got[2];
            for (const bool rateAware : {false, true}) {
                JobSettings s;
                s.usePsnrTarget(target);
                s.rateAware = rateAware;
                s.outputDir = path(rateAware ? "rdo" : "cascade");
                std::filesystem::create_directories(s.outputDir);
                Quiet ui;
                got[rateAware] = compressFile(std::string(KIRUNE_TEST_DATA) + "/" + name, FileKind::CompressTiff, s, ui);
                EXPECT_GE(got[rateAware].psnr, target);
                EXPECT_EQ(got[rateAware].outputBytes, readFile(got[rateAware].output).size());
            }
            EXPECT_LE(got[1].outputBytes, got[0].outputBytes);
        }
    }
    // The loser's container is gone: one output each, no temporary left.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "rdo"), {}), 4);
}

}  // namespace
