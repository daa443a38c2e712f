#pragma once
// The per-file drivers: compression of a TIFF or BMP into a container and
// expansion of a container into a TIFF or BMP, strip by strip with progress.

#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "app/core/batch.h"
#include "app/core/presets.h"
#include "codec/codec_state.h"
#include "container/image_output.h"

namespace kirune {

class BatchUi;
class WorkerPool;

// What the dialog or the command line has chosen for the batch.
struct JobSettings {
    int32_t qualityLevel = kDefaultPreset.qualityLevel;
    int32_t colourSampling = kDefaultPreset.colourSampling;
    std::string qualityDbText = std::to_string(kDefaultPreset.dbFigure);
    bool bmpOutput = false;    // expand to BMP instead of TIFF
    bool pngOutput = false;    // expand to PNG instead of TIFF (bmpOutput wins)
    // Expansions take back the input's name and modification time that the
    // container stored (rpx -N), else the default name, with a warning.
    bool restoreName = false;
    // Compressions store the input's name and modification time in the
    // container; off for pictures that never were a file (the C API's buffers).
    bool storeInputName = true;
    TiffCompression tiffCompression = TiffCompression::None;
    std::string outputDir;     // empty: beside the input
    int threads = 0;           // 0: every core; outputs do not depend on it
    // Pixels per strip of the containers written, as a power of two. Readers
    // take budgets up to the default (docs/format.md), which the dialog and
    // rpx keep.
    int32_t stripBudgetLog2 = kStripBudgetLog2;
    bool measureQuality = false;  // compute the PSNR a compression reached
    // Above 0: compress at the coarsest quality level, and the colour
    // sampling, that reach this RGB PSNR (dB, 16-bit peak) with the fewest
    // bytes, in place of qualityLevel and colourSampling. Set by usePsnrTarget.
    double targetPsnr = 0.0;
    // Each block coded by the rate-aware encoder (least distortion plus
    // lambda times bits) instead of the cascade: fewer bytes at equal PSNR,
    // slower; any reader decodes the result.
    bool rateAware = false;
    // False: an existing file of an output's name is refused. A batch sets it
    // per file from existingOutputs.
    bool replaceExisting = true;
    // The batch's rule for outputs that exist already.
    ExistingOutputs existingOutputs = ExistingOutputs::Ask;
    // Requested: the file being worked on is abandoned (no output written).
    std::stop_token stop;
    // Strip workers the batch's files hand on to one another (none: each
    // file maps its own); FileDrivers makes one when none is given.
    std::shared_ptr<WorkerPool> workerPool;

    // The quality, sampling and output name figure of a digit key's preset,
    // in place of any PSNR target.
    void usePreset(const Preset& preset) {
        qualityLevel = preset.qualityLevel;
        colourSampling = preset.colourSampling;
        qualityDbText = std::to_string(preset.dbFigure);
        targetPsnr = 0.0;
    }
    // A PSNR target in dB, which also names the outputs (img_50-2.rpx).
    void usePsnrTarget(double db);
};

// What one finished file produced, for rpx's summary line.
struct FileReport {
    FileKind kind = FileKind::Unsupported;
    std::string input;
    std::string output;
    uint64_t inputBytes = 0;
    uint64_t outputBytes = 0;
    int32_t width = 0;
    int32_t height = 0;
    double psnr = 0.0;       // RGB (a grey input: grey), 16-bit peak; compression with measureQuality or a target
    int32_t qualityLevel = 0;    // compression: what the file was coded with
    int32_t colourSampling = 0;
    // With a PSNR target that no coding reaches: the finest coding was written.
    bool targetMissed = false;
};

// Outputs are written beside their inputs (or into settings.outputDir) with
// the input's permission bits and times, never replacing an existing file
// unless settings.replaceExisting; warnings go to ui.showWarning.

// Compresses `path` into its container; returns the report. Throws Error
// (Interrupted when settings.stop is requested).
FileReport compressFile(const std::string& path, FileKind kind, const JobSettings& settings,
                        BatchUi& ui);
// Expands the container `path` into a TIFF or BMP; returns the report. Throws Error.
// A container with a trailer is checked whole before anything is written and
// its decoded pixels before the output is committed: a mismatch is
// kDamagedFileText and no output.
FileReport expandFile(const std::string& path, const JobSettings& settings, BatchUi& ui);

// The checks a verification made, each of which passed.
struct VerifyResult {
    bool containerChecksum = false;  // the file matched its stored container checksum
    bool pixelChecksum = false;      // the decoded pixels matched their stored checksum
    bool stripsDecoded = false;      // every strip was decoded
    bool layoutWalked = false;       // the strips' tables led exactly to the end of the file
    bool operator==(const VerifyResult&) const = default;
};
// Checks a container as an expansion would, writing nothing; `fast` checks the
// container checksum alone, or walks the strips' tables when none is stored.
// Throws Error when it is damaged.
VerifyResult verifyFile(const std::string& path, bool fast, const JobSettings& settings, BatchUi& ui);

// A pool for JobSettings::workerPool, for those that make drivers per file.
std::shared_ptr<WorkerPool> makeWorkerPool();

// Runs each supported file of a batch through the matching driver. Errors are
// shown through the UI (with the file's path) and counted; the batch goes on.
class FileDrivers : public FileProcessor {
public:
    explicit FileDrivers(JobSettings settings);
    bool processOneFile(const std::string& path, FileKind kind, BatchUi& ui) override;
    std::string outputPath(const std::string& path, FileKind kind) const override;
    int batchThreads() const override;
    FileFootprint footprint(const std::string& path, FileKind kind) const override;
    bool processOneFileOn(const std::string& path, FileKind kind, BatchUi& ui, int threads) override;
    ExistingOutputs existingOutputs() const override { return settings_.existingOutputs; }
    // settings().replaceExisting as the batch decided for this file; under
    // Skip, an output that another process wrote meanwhile makes the file skipped.
    FileOutcome processFile(const FileTask& task, BatchUi& ui) override;
    const JobSettings& settings() const { return settings_; }
    // Called after each file that succeeded, through ui.inOrder.
    std::function<void(const FileReport&)> onFileDone;

private:
    FileOutcome process(const std::string& path, FileKind kind, BatchUi& ui, const JobSettings& settings);

    JobSettings settings_;
};

}  // namespace kirune
