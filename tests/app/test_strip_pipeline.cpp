// The strip pipeline that compression and the PSNR-target trials share: one
// measure of the error, with one answer for its edge cases.

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "app/core/drivers.h"
#include "app/core/psnr_target.h"
#include "app/core/strip_pipeline.h"
#include "tests/app/app_support.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;

namespace {

using StripPipeline = ScratchDir;

// A trial on the whole image must measure exactly what compressing the file
// reports, or a trial can pass a level whose output then misses the target.
// (The rate-aware coder at a preset is held to the cascade's error, which no
// trial does, so only the cascade is compared here.)
TEST_F(StripPipeline, TrialsMeasureThePsnrThatTheCompressionReports) {
    Quiet ui;
    for (const char* name : {"coffee-200.tif", "astronaut-256.tif"}) {
        const std::string input = std::string(KIRUNE_TEST_DATA) + "/" + name;
        const auto in = openInputImage(input, InputFormat::Tiff, InputUse::PixelsOnly);
        std::vector<int32_t> rows(static_cast<std::size_t>(in->height()));
        std::iota(rows.begin(), rows.end(), 0);
        const HeldImage held = holdRows(*in, rows);
        for (const int32_t sampling : {Sampling444, Sampling420})
            for (const int32_t level : {3, 40}) {
                SCOPED_TRACE(std::string(name) + " level " + std::to_string(level) + " sampling " +
                             std::to_string(sampling));
                JobSettings s;
                s.qualityLevel = level, s.colourSampling = sampling;
                s.measureQuality = true, s.qualityDbText = "m", s.outputDir = dir;
                const FileReport r = compressFile(input, FileKind::CompressTiff, s, ui);
                const TrialPoint t = trialEncode(held, level, sampling, {false, 1.0, 2, {}});
                EXPECT_EQ(t.psnr, r.psnr);
            }
    }
}

// Rpx prints an infinite PSNR as lossless and the dialog leaves 0 out of its
// mean: no error is infinite, and a measure of nothing never passes a target.
TEST(PsnrOf, NoErrorIsInfiniteAndNoSamplesIsNoMeasure) {
    EXPECT_EQ(psnrOf(0.0, 3.0), INFINITY);
    EXPECT_EQ(psnrOf(0.0, 0.0), 0.0);
    EXPECT_EQ(psnrOf(5.0, 0.0), 0.0);
    EXPECT_NEAR(psnrOf(3.0 * 65535.0 * 65535.0, 300.0), 20.0, 1e-9);
}

}  // namespace
