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

BatchInputs gatherInputs(const std::vector<std::string>& paths, bool recursive, const std::string& outputDir) {
    BatchInputs inputs;
    for (const std::string& path : paths) {
        if (!isFolder(path)) {
            inputs.list.add(path);
            continue;
        }
        if (!recursive) {
            inputs.refused.emplace_back(path, tr("is a directory: use -r"));
            continue;
        }
        for (std::string& found : collectFolderImages(path)) {
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
    return run(path, kind, ui, 0);
}

bool CliProcessor::processOneFileOn(const std::string& path, FileKind kind, BatchUi& ui, int threads) {
    return run(path, kind, ui, std::max(1, threads));
}

// May run on several threads at once for different files: what it prints goes
// through the UI, which keeps input order. `threads` 0: as the settings say.
bool CliProcessor::run(const std::string& path, FileKind kind, BatchUi& ui, int threads) {
    records_.begin(path);
    FileDrivers drivers(settingsFor(path));
    const std::string output = drivers.outputPath(path, kind);
    // Outputs are linked into place only when complete, so one that exists is whole.
    std::error_code ec;
    if (skipExisting_ && fs::exists(fs::symlink_status(output, ec))) {
        records_.end(path);
        ui.setProgress(0);
        ui.inOrder([this, path, output] { records_.skipped(path, output); });
        return true;
    }
    if (const std::string& dir = drivers.settings().outputDir; !dir.empty()) {
        fs::create_directories(dir, ec);
        if (ec) {
            records_.end(path);
            ui.showMessage(path, std::string(tr("cannot create the output folder")) + " " + dir + ": " + ec.message());
            return false;
        }
    }
    drivers.onFileDone = [this, &ui](const FileReport& r) {
        ui.setProgress(0);  // the bar off the line before the record is printed
        records_.done(r);
    };
    const bool ok = threads > 0 ? drivers.processOneFileOn(path, kind, ui, threads)
                                : drivers.processOneFile(path, kind, ui);
    records_.end(path);
    return ok;
}

}  // namespace kirune::cli
