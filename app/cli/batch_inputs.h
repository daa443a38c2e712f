#pragma once
// From the paths on the command line to the batch: folders walked with -r,
// and where each file's output goes.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/core/batch.h"
#include "app/core/drivers.h"
#include "file_records.h"

namespace kirune::cli {

struct BatchInputs {
    FileList list{SIZE_MAX};  // rpx takes any number of files
    // The output folder of each file found below a folder given with -r and
    // -o: the -o folder plus the file's folder relative to the one given.
    std::unordered_map<std::string, std::string> outputDirs;
    // Paths that cannot be in the batch (a folder without -r) and why.
    std::vector<std::pair<std::string, std::string>> refused;
};

// Which way a batch goes: by name, or forced by -z or -d.
enum class Direction { ByName, Compress, Expand };

// Folders are walked when `recursive`, else refused: a walk takes the images
// below them, or with Expand the containers, never both, so that a batch run
// again never takes the outputs of the first run for inputs. Named files keep
// dispatch by name unless a direction is forced: one of the other kind is then
// refused. Everything else is taken as named (the batch reports what it cannot use).
BatchInputs gatherInputs(const std::vector<std::string>& paths, bool recursive, const std::string& outputDir,
                         Direction direction = Direction::ByName);

// Case-insensitive byte order, as the dialog sorts, in n log n for lists of
// any length; names equal but for case keep the order they were given in.
void sortByName(FileList& list);

// The drivers with rpx's additions: a per-file output folder (made when
// missing) and a record of every file.
class CliProcessor : public FileProcessor {
public:
    CliProcessor(JobSettings settings, const BatchInputs& inputs, FileRecords& records)
        : settings_(std::move(settings)), inputs_(inputs), records_(records) {
        // Files of one size hand their working sets on to the next.
        if (!settings_.workerPool) settings_.workerPool = makeWorkerPool();
    }
    bool processOneFile(const std::string& path, FileKind kind, BatchUi& ui) override;
    std::string outputPath(const std::string& path, FileKind kind) const override;
    int batchThreads() const override;
    FileFootprint footprint(const std::string& path, FileKind kind) const override;
    bool processOneFileOn(const std::string& path, FileKind kind, BatchUi& ui, int threads) override;
    ExistingOutputs existingOutputs() const override { return settings_.existingOutputs; }
    FileOutcome processFile(const FileTask& task, BatchUi& ui) override;

private:
    JobSettings settingsFor(const std::string& path) const;

    JobSettings settings_;
    const BatchInputs& inputs_;
    FileRecords& records_;
};

}  // namespace kirune::cli
