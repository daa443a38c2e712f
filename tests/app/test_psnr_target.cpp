// Compression to a PSNR target and the rate-aware coder: targets reached near the best level's size, outputs that
// the decoder rebuilds exactly (the pixel checksum holds the encoder's reconstruction), thread-independent, and
// fewer bytes than the cascade at a preset or a target.

#include <gmock/gmock.h>

#include <cmath>
#include <filesystem>
#include <numeric>

#include "app/core/drivers.h"
#include "app/core/presets.h"
#include "app/core/psnr_target.h"
#include "app/core/strip_pipeline.h"
#include "tests/app/app_support.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;

namespace {

std::string sample(const char* name) { return std::string(KIRUNE_TEST_DATA) + "/" + name; }

JobSettings coding(int32_t level, int32_t sampling, bool rateAware, const std::string& dir) {
    JobSettings s;
    s.qualityLevel = level, s.colourSampling = sampling, s.rateAware = rateAware;
    s.qualityDbText = std::to_string(level) + (rateAware ? "r" : "c") + std::to_string(sampling);
    s.measureQuality = true;
    s.outputDir = dir;
    return s;
}

using PsnrTarget = ScratchDir;
using RateAware = ScratchDir;

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
            const FileReport r = compressFile(input, FileKind::CompressTiff, coding(level, sampling, false, dir), ui);
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
            // The pixel checksum holds the encoder's reconstruction: the decoder must rebuild it exactly.
            EXPECT_NO_THROW(expandFile(r.output, aiming(target, dir), ui));
            const uint64_t best = fewestBytesReaching(sample(name), target, dir, ui);
            ASSERT_NE(best, UINT64_MAX);
            EXPECT_LE(static_cast<double>(r.outputBytes), 1.05 * static_cast<double>(best));
        }
    EXPECT_EQ(ui.warnings, std::vector<std::string>{});
}

// Where the batch looks for an existing output (a whole target's name: rpx's options test).
TEST_F(PsnrTarget, NamesTheOutputAfterTheTarget) {
    Quiet ui;
    const JobSettings s = aiming(49.5, dir);
    const FileReport r = compressFile(sample("coffee-200.tif"), FileKind::CompressTiff, s, ui);
    EXPECT_EQ(r.output, FileDrivers(s).outputPath(sample("coffee-200.tif"), FileKind::CompressTiff));
    EXPECT_EQ(std::filesystem::path(r.output).filename(), "coffee-200_49.5-2.rpx");
}

TEST_F(PsnrTarget, GoesBeyondTheFinestLevelOfTheCascadeAndWritesTheFinestCodingWhereItCannotReach) {
    Quiet ui;
    const JobSettings finest = coding(1, Sampling444, false, dir);
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

TEST_F(RateAware, OutputDoesNotDependOnThreads) {
    Quiet ui;
    std::vector<uint8_t> first;
    for (const int threads : {1, 2, 8}) {
        JobSettings s = coding(12, Sampling444, true, dir);
        s.stripBudgetLog2 = 13;
        s.threads = threads;
        const std::vector<uint8_t> bytes = readFile(compressFile(sample("astronaut-256.tif"), FileKind::CompressTiff, s, ui).output);
        if (first.empty())
            first = bytes;
        else
            EXPECT_EQ(bytes, first) << threads << " threads";
    }
}

// Bytes of the cascade at `psnr`, interpolated between its levels.
double cascadeBytesAt(double psnr, const std::string& input, const std::string& dir, Quiet& ui) {
    FileReport finer{}, coarser{};
    for (const int32_t level : {1, 2, 3, 4, 6, 8, 12, 16, 21, 28, 36, 48, 64}) {
        finer = coarser;
        coarser = compressFile(input, FileKind::CompressTiff, coding(level, Sampling444, false, dir), ui);
        if (coarser.psnr < psnr) break;
    }
    EXPECT_GE(finer.psnr, psnr);
    EXPECT_LT(coarser.psnr, psnr);
    const double u = (finer.psnr - psnr) / (finer.psnr - coarser.psnr);
    return static_cast<double>(finer.outputBytes) + u * (static_cast<double>(coarser.outputBytes) - static_cast<double>(finer.outputBytes));
}

TEST_F(RateAware, FewerBytesThanTheCascadeAtEqualPsnr) {
    Quiet ui;
    for (const char* name : {"coffee-200.tif", "astronaut-256.tif"})
        for (const int32_t level : {6, 21}) {
            SCOPED_TRACE(std::string(name) + " level " + std::to_string(level));
            const FileReport r = compressFile(sample(name), FileKind::CompressTiff, coding(level, Sampling444, true, dir), ui);
            EXPECT_LT(static_cast<double>(r.outputBytes), 0.97 * cascadeBytesAt(r.psnr, sample(name), dir, ui));
        }
}

TEST_F(RateAware, AtAPsnrTargetNeverLargerThanTheCascadeOnTheBundledSamples) {
    Quiet ui;
    // Targets where the rate-aware coder alone loses to the cascade on both.
    for (const char* name : {"astronaut-256.tif", "coffee-200.tif"})
        for (const double target : {44.0, 47.0}) {
            SCOPED_TRACE(std::string(name) + " at " + std::to_string(target));
            FileReport got[2];
            for (const bool rateAware : {false, true}) {
                JobSettings s;
                s.usePsnrTarget(target);
                s.rateAware = rateAware;
                s.outputDir = path(rateAware ? "rdo" : "cascade");
                std::filesystem::create_directories(s.outputDir);
                got[rateAware] = compressFile(sample(name), FileKind::CompressTiff, s, ui);
                EXPECT_GE(got[rateAware].psnr, target);
                EXPECT_FALSE(got[rateAware].targetMissed);
                EXPECT_EQ(got[rateAware].outputBytes, readFile(got[rateAware].output).size());
            }
            EXPECT_LE(got[1].outputBytes, got[0].outputBytes);
            EXPECT_NO_THROW(expandFile(got[1].output, coding(1, Sampling444, false, dir), ui));
        }
    // The loser's container is gone: one output each, no temporary left.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "rdo"), {}), 4);
}

TEST_F(RateAware, AtAPresetKeepsTheDefaultsQualityForFewerBytesAndVerifies) {
    Quiet ui;
    // Presets of every sampling, the finest and coarse levels; small strips on one image put plane rows at strip
    // edges.
    for (const char* name : {"coffee-200.tif", "astronaut-256.tif"})
        for (const int digit : {1, 3, 6, 8, 0}) {
            SCOPED_TRACE(std::string(name) + " preset " + std::to_string(digit));
            FileReport got[2];
            for (const bool rateAware : {false, true}) {
                JobSettings s;
                s.usePreset(kPresets[digit]);
                s.rateAware = rateAware, s.measureQuality = true;
                s.stripBudgetLog2 = name[0] == 'a' ? 14 : kStripBudgetLog2;
                s.outputDir = path(rateAware ? "rdo" : "default");
                std::filesystem::create_directories(s.outputDir);
                got[rateAware] = compressFile(sample(name), FileKind::CompressTiff, s, ui);
                const VerifyResult v = verifyFile(got[rateAware].output, false, s, ui);
                EXPECT_TRUE(v.containerChecksum && v.pixelChecksum && v.stripsDecoded);
            }
            EXPECT_GE(got[1].psnr, got[0].psnr - 0.05);
            EXPECT_LT(got[1].outputBytes, got[0].outputBytes);
            EXPECT_EQ(std::filesystem::path(got[1].output).filename(), std::filesystem::path(got[0].output).filename());
        }
}

// A trial on the whole image must measure exactly what compressing the file reports, or a trial can pass a level
// whose output then misses the target (only the cascade: no trial runs the rate-aware coder).
TEST_F(PsnrTarget, TrialsMeasureThePsnrThatTheCompressionReports) {
    Quiet ui;
    for (const char* name : {"coffee-200.tif", "astronaut-256.tif"}) {
        const auto in = openInputImage(sample(name), InputFormat::Tiff, InputUse::PixelsOnly);
        std::vector<int32_t> rows(static_cast<std::size_t>(in->height()));
        std::iota(rows.begin(), rows.end(), 0);
        const HeldImage held = holdRows(*in, rows);
        for (const int32_t sampling : {Sampling444, Sampling420})
            for (const int32_t level : {3, 40}) {
                SCOPED_TRACE(std::string(name) + " level " + std::to_string(level) + " sampling " +
                             std::to_string(sampling));
                const JobSettings s = coding(level, sampling, false, dir);
                const FileReport r = compressFile(sample(name), FileKind::CompressTiff, s, ui);
                EXPECT_EQ(trialEncode(held, level, sampling, {false, 1.0, 2, {}}).psnr, r.psnr);
            }
    }
}

// Rpx prints an infinite PSNR as lossless and the dialog leaves 0 out of its mean: no error is infinite, and a
// measure of nothing never passes a target.
TEST(PsnrOf, NoErrorIsInfiniteAndNoSamplesIsNoMeasure) {
    EXPECT_EQ(psnrOf(0.0, 3.0), INFINITY);
    EXPECT_EQ(psnrOf(0.0, 0.0), 0.0);
    EXPECT_EQ(psnrOf(5.0, 0.0), 0.0);
    EXPECT_NEAR(psnrOf(3.0 * 65535.0 * 65535.0, 300.0), 20.0, 1e-9);
}

}  // namespace
