#pragma once
// What rpx says about each file of a batch on standard output: a line for
// people by default, or with --json one JSON object per line for scripts.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "app/core/drivers.h"

namespace kirune::cli {

class FileRecords {
public:
    // `target`: the PSNR target that chose each file's coding, which the records name.
    FileRecords(bool json, bool quiet, std::optional<double> target = std::nullopt)
        : json_(json), quiet_(quiet), target_(target) {}

    // Work on `path` starts now, and ends now: files may run side by side and
    // their records are printed later, in input order. Any thread may call these.
    void begin(const std::string& path);
    void end(const std::string& path);
    void done(const FileReport& report);
    // The output existed already and counts as done (--skip-existing).
    void skipped(const std::string& path, const std::string& output);
    // Refused or failed with `message` (standard error has it already).
    void failed(const std::string& path, const std::string& message);

    // An entry of a list that cannot be a path: counted with the failures.
    void entryRefused();
    // Whether a finished file fell short of its PSNR target.
    bool targetsMissed() const;
    // "N done, N skipped, N failed; bytes in -> bytes out; mean PSNR" for the batch so far.
    std::string totals() const;

private:
    // The seconds of `path`'s work, forgotten once its record is out: a batch
    // of a million files keeps only those at work.
    double takeSeconds(const std::string& path);

    bool json_;
    bool quiet_;
    std::optional<double> target_;
    struct Totals {
        int done = 0, skipped = 0, failed = 0, missed = 0;
        uint64_t bytesIn = 0, bytesOut = 0;
        double psnrSum = 0.0;
        int psnrCount = 0;
    } totals_;
    mutable std::mutex mutex_;
    std::map<std::string, std::chrono::steady_clock::time_point> started_;
    std::map<std::string, double> seconds_;
};

}  // namespace kirune::cli
