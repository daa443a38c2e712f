// Compression to a PSNR target: reached, near the best level's size, named after the target, expandable.

#include <gmock/gmock.h>

#include <cmath>
#include <filesystem>

#include "app/core/drivers.h"
#include "tests/app/app_support.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;

namespace {

std::string sample(const char* name) { return std::string(KIRUNE_TEST_DATA) + "/" + name; }

using PsnrTarget = ScratchDir;

JobSettings aiming(double target, const std::filesystem::path& dir) {
    JobSettings s;
    s.usePsnrTarget(target);
    s.outputDir = dir;
    return s;
}

// Fewest bytes of any level and sampling whose PSNR reaches `target`.
uint64_t fewestBytesReaching(const std::string& input, double target, const std::string& dir, Quiet& ui) {
    uint64_t best = UINT64_MAX;
    for (const int32_t sampling : {Sampling444, Sampling422, Sampling420}) {
        for (int32_t level = 1; level <= 400; ++level) {
            JobSettings s;
            s.qualityLevel = level, s.colourSampling = sampling, s.measureQuality = true;
            s.qualityDbText = "scan", s.outputDir = dir;
            const FileReport r = compressFile(input, FileKind::CompressTiff, s, ui);
            if (r.psnr >= target) best = std::min(best, r.outputBytes);
            if (r.psnr < target - 1.0) break;  // coarser levels only lose more
        }
    }
    return best;
}

TEST_F(PsnrTarget, ReachesTheTargetWithinFivePercentOfTheBestLevel) {
    Quiet ui;
    for (const char* name : {"coffee-200.tif", "astronaut-256.tif"})
        for (const double target : {47.0, 51.0}) {
            SCOPED_TRACE(std::string(name) + " at " + std::to_string(target));
            const FileReport r = compressFile(sample(name), FileKind::CompressTiff, aiming(target, dir), ui);
            EXPECT_GE(r.psnr, target);
            EXPECT_FALSE(r.targetMissed);
            const uint64_t best = fewestBytesReaching(sample(name), target, dir, ui);
            ASSERT_NE(best, UINT64_MAX);
            EXPECT_LE(static_cast<double>(r.outputBytes), 1.05 * static_cast<double>(best));
        }
    EXPECT_EQ(ui.warnings, std::vector<std::string>{});
}

TEST_F(PsnrTarget, NamesTheOutputAfterTheTargetAndExpands) {
    Quiet ui;
    for (const double target : {50.0, 49.5}) {
        const JobSettings s = aiming(target, dir);
        const FileDrivers drivers(s);
        const FileReport r = compressFile(sample("coffee-200.tif"), FileKind::CompressTiff, s, ui);
        EXPECT_EQ(r.output, drivers.outputPath(sample("coffee-200.tif"), FileKind::CompressTiff));
        EXPECT_EQ(std::filesystem::path(r.output).filename(), target == 50.0 ? "coffee-200_50-2.rpx" : "coffee-200_49.5-2.rpx");
        EXPECT_GE(r.qualityLevel, 1);
        // The pixel checksum holds the encoder's reconstruction: the decoder must rebuild it exactly.
        EXPECT_TRUE(std::filesystem::exists(expandFile(r.output, s, ui).output));
    }
}

TEST_F(PsnrTarget, GoesBeyondTheFinestLevelOfTheCascadeAndWritesTheFinestCodingWhereItCannotReach) {
    Quiet ui;
    JobSettings finest;
    finest.qualityLevel = 1, finest.colourSampling = Sampling444, finest.measureQuality = true;
    finest.qualityDbText = "k1", finest.outputDir = dir;
    const double cascadeBest = compressFile(sample("astronaut-256.tif"), FileKind::CompressTiff, finest, ui).psnr;
    const JobSettings s = aiming(std::floor(cascadeBest) + 2.0, dir);
    FileReport r = compressFile(sample("astronaut-256.tif"), FileKind::CompressTiff, s, ui);
    EXPECT_GE(r.psnr, s.targetPsnr);
    EXPECT_FALSE(r.targetMissed);
    EXPECT_NO_THROW(expandFile(r.output, s, ui));
    EXPECT_EQ(ui.warnings, std::vector<std::string>{});

    r = compressFile(sample("astronaut-256.tif"), FileKind::CompressTiff, aiming(99, dir), ui);
    EXPECT_TRUE(r.targetMissed);
    EXPECT_LT(r.psnr, 99.0);
    EXPECT_EQ(r.qualityLevel, 1);
    EXPECT_EQ(r.colourSampling, Sampling444);
    EXPECT_THAT(ui.warnings, ElementsAre(HasSubstr("99 dB")));
    EXPECT_TRUE(std::filesystem::exists(r.output));
}

TEST_F(PsnrTarget, FailuresLeaveNoOutputAndAnExistingOneAsItWas) {
    Quiet ui;
    std::stop_source stop;
    stop.request_stop();
    JobSettings stopped = aiming(49, dir);
    stopped.stop = stop.get_token();
    EXPECT_THROW(compressFile(sample("astronaut-256.tif"), FileKind::CompressTiff, stopped, ui), Interrupted);
    EXPECT_THAT(errorText([&] { compressFile(sample("coffee-200.tif"), FileKind::CompressTiff, aiming(std::nan(""), dir), ui); }),
                HasSubstr("PSNR target"));
    EXPECT_EQ(entries(), std::set<std::string>{});

    JobSettings s = aiming(49, dir);
    s.replaceExisting = false;
    writeFile(path("coffee-200_49-2.rpx"), {1, 2, 3});
    EXPECT_NE(errorText([&] { compressFile(sample("coffee-200.tif"), FileKind::CompressTiff, s, ui); }), "accepted");
    EXPECT_EQ(readFile(path("coffee-200_49-2.rpx")), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_THAT(entries(), ElementsAre("coffee-200_49-2.rpx"));
}

}  // namespace
