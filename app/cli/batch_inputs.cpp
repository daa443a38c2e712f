#include "batch_inputs.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "app/core/folder_walk.h"
#include "app/core/i18n.h"
#include "app/core/ui.h"

namespace kirune::cli {

namespace fs = std::filesystem;

namespace {

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

namespace {

// Why a named file goes against a forced direction; null when it does not.
const char* againstDirection(const std::string& path, Direction direction) {
    const FileKind kind = classifyPath(path);
    if (kind == FileKind::Unsupported || direction == Direction::ByName) return nullptr;
    if (direction == Direction::Expand && kind != FileKind::Expand)
        return tr("not a container: -d expands .rpx files only");
    if (direction == Direction::Compress && kind == FileKind::Expand)
        return tr("a container: -z compresses .tif, .tiff, .bmp and .png files only");
    return nullptr;
}

}  // namespace

BatchInputs gatherInputs(const std::vector<std::string>& paths, bool recursive, const std::string& outputDir,
                         Direction direction) {
    BatchInputs inputs;
    const WalkFinds finds = direction == Direction::Expand ? WalkFinds::Containers : WalkFinds::Images;
    for (const std::string& path : paths) {
        if (!isFolder(path)) {
            if (const char* why = againstDirection(path, direction))
                inputs.refused.emplace_back(path, why);
            else
                inputs.list.add(path);
            continue;
        }
        if (!recursive) {
            inputs.refused.emplace_back(path, tr("is a directory: use -r"));
            continue;
        }
        for (std::string& found : collectFolderImages(path, finds)) {
            if (!outputDir.empty()) {
                const fs::path below = fs::path(found).lexically_relative(path).parent_path();
                inputs.outputDirs[found] = (fs::path(outputDir) / below).lexically_normal().string();
            }
            inputs.list.add(std::move(found));
        }
    }
    return inputs;
}

void sortByName(FileList& list) {
    std::vector<std::pair<std::string, std::string>> keyed;  // lowered, as given
    keyed.reserve(list.count());
    for (std::string& p : list.paths()) keyed.emplace_back(asciiLower(p), std::move(p));
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < keyed.size(); ++i) list.paths()[i] = std::move(keyed[i].second);
}

JobSettings CliProcessor::settingsFor(const std::string& path) const {
    JobSettings s = settings_;
    if (const auto it = inputs_.outputDirs.find(path); it != inputs_.outputDirs.end()) s.outputDir = it->second;
    return s;
}

std::string CliProcessor::outputPath(const std::string& path, FileKind kind) const {
    return FileDrivers(settingsFor(path)).outputPath(path, kind);
}

int CliProcessor::batchThreads() const { return FileDrivers(settings_).batchThreads(); }

FileFootprint CliProcessor::footprint(const std::string& path, FileKind kind) const {
    return FileDrivers(settingsFor(path)).footprint(path, kind);
}

bool CliProcessor::processOneFile(const std::string& path, FileKind kind, BatchUi& ui) {
    return processFile({path, kind, 0, settings_.replaceExisting}, ui) == FileOutcome::Done;
}

bool CliProcessor::processOneFileOn(const std::string& path, FileKind kind, BatchUi& ui, int threads) {
    return processFile({path, kind, std::max(1, threads), settings_.replaceExisting}, ui) == FileOutcome::Done;
}

// May run on several threads at once for different files: what it prints goes
// through the UI, which keeps input order.
FileOutcome CliProcessor::processFile(const FileTask& task, BatchUi& ui) {
    const std::string& path = task.path;
    records_.begin(path);
    FileDrivers drivers(settingsFor(path));
    if (const std::string& dir = drivers.settings().outputDir; !dir.empty()) {
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec) {
            records_.end(path);
            ui.showMessage(path, std::string(tr("cannot create the output folder")) + " " + dir + ": " + ec.message());
            return FileOutcome::Failed;
        }
    }
    drivers.onFileDone = [this, &ui](const FileReport& r) {
        ui.setProgress(0);  // the bar off the line before the record is printed
        records_.done(r);
    };
    const FileOutcome outcome = drivers.processFile(task, ui);
    records_.end(path);
    return outcome;
}

}  // namespace kirune::cli
