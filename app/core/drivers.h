#pragma once
// The per-file drivers: compression of a TIFF or BMP into a container and
// expansion of a container into a TIFF or BMP, strip by strip with progress.

#include <cstdint>
#include <string>

#include "app/core/FileList.h"

namespace kirune {

class BatchUi;

// What the dialog or the command line has chosen for the batch.
struct JobSettings {
    int32_t qualityLevel = 12;
    int32_t colourSampling = 4;
    std::string qualityDbText = "49";
    bool bmpOutput = false;    // expand to BMP instead of TIFF
    std::string outputDir;     // empty: beside the input
    int threads = 0;           // 0: every core
};

// Runs each supported file of a batch through the matching driver. Errors are
// shown through the UI and counted; the batch always goes on.
class FileDrivers : public FileProcessor {
public:
    explicit FileDrivers(JobSettings settings) : settings_(std::move(settings)) {}
    bool processOneFile(const std::string& path, FileKind kind, BatchUi& ui) override;
    const JobSettings& settings() const { return settings_; }

private:
    JobSettings settings_;
};

}  // namespace kirune
