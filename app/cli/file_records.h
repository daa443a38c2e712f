#pragma once
// What rpx says about each file of a batch on standard output: a line for
// people by default, or with --json one JSON object per line for scripts.

#include <chrono>
#include <cstdint>
#include <string>

#include "app/core/drivers.h"

namespace kirune::cli {

class FileRecords {
public:
    FileRecords(bool json, bool quiet) : json_(json), quiet_(quiet) {}

    // Work on `path` starts now (its seconds count from here).
    void begin(const std::string& path);
    void done(const FileReport& report);
    // The output existed already and counts as done (--skip-existing).
    void skipped(const std::string& path, const std::string& output);
    // Refused or failed with `message` (standard error has it already).
    void failed(const std::string& path, const std::string& message);

private:
    double secondsSince(const std::string& path) const;

    bool json_;
    bool quiet_;
    std::string current_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace kirune::cli
