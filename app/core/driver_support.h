#pragma once
// What the compression, expansion and verification drivers share besides
// the strip pipeline: output names and options, reports and warnings.

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/core/drivers.h"
#include "app/core/output_names.h"
#include "app/core/ui.h"
#include "container/image_input.h"
#include "container/output_file.h"
#include "container/trailer.h"

namespace kirune {

ExpandedKind expandedKind(const JobSettings& s);
InputFormat inputFormatOf(FileKind kind);
uint64_t fileSize(const std::string& path);

// What a finished file produced.
FileReport finishedReport(FileKind kind, const std::string& input, const std::string& output,
                          const ImageLayout& layout);

// Hands what was noticed while a file was worked on to the UI once, when the
// file is done or has failed; the same warning from several handles once.
class Warnings {
public:
    Warnings(BatchUi& ui, std::string path) : ui_(ui), path_(std::move(path)) {}
    Warnings(const Warnings&) = delete;
    Warnings& operator=(const Warnings&) = delete;
    ~Warnings() {
        for (const std::string& w : list_) {
            try {
                ui_.showWarning(path_, w);
            } catch (...) {  // a warning never turns into a failure
            }
        }
    }
    void add(const std::vector<std::string>& warnings) {
        for (const std::string& w : warnings)
            if (std::find(list_.begin(), list_.end(), w) == list_.end()) list_.push_back(w);
    }

private:
    BatchUi& ui_;
    std::string path_;
    std::vector<std::string> list_;
};

// Runs `f` when the scope ends, however it ends.
template <class F>
struct AtExit {
    F f;
    ~AtExit() { f(); }
};
template <class F>
AtExit(F) -> AtExit<F>;

OutputOptions outputOptions(const JobSettings& settings, const struct stat& source);

// Where an expansion goes: with settings.restoreName, under the input name
// the trailer stored, when there is a usable one; `warning` says why not.
struct ExpansionName {
    std::string path;
    std::optional<InputName> restored;
    std::string warning;
};
ExpansionName expansionName(const std::string& path, const JobSettings& settings, const std::optional<Trailer>& trailer);

}  // namespace kirune
