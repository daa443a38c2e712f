#pragma once
// rpx's options, read with CLI11: the batch, `rpx info` and `rpx verify`.

#include <optional>
#include <string>
#include <vector>

#include "app/core/drivers.h"

namespace kirune::cli {

// What the command line asks of a compression or expansion batch.
struct BatchOptions {
    JobSettings settings;
    int digit = kDefaultPresetDigit;
    std::optional<double> psnr;  // --psnr: the level is searched, not the preset's
    bool quiet = false;
    bool recursive = false;
    bool json = false;
    bool skipExisting = false;
    bool compress = false;    // -z: every file named is an image to compress
    bool decompress = false;  // -d: every file named is a container to expand
    std::string filesFrom;   // "-" for standard input
    bool nullSeparated = false;  // --null: filesFrom's entries end in NUL, not newline
    std::string files0From;  // entries ending in NUL, as find -print0 writes
    std::vector<std::string> paths;
};

struct InfoOptions {
    bool json = false;
    std::vector<std::string> paths;
};

struct VerifyOptions {
    bool fast = false;
    int threads = 0;
    std::vector<std::string> paths;
};

// The digit of a preset given as a digit or as the dialog's radio names
// (標準, 高画質, 超高画質, or standard, high, super); nullopt when none.
std::optional<int> presetDigitNamed(const std::string& text);

// Each reads argv (with the subcommand's name, if any, left out by the
// caller: argv[0] is the program) and returns the exit status when the
// program ends here: 0 after --help or --version, 2 for a usage error.
std::optional<int> parseBatchOptions(int argc, const char* const* argv, BatchOptions& o);
std::optional<int> parseInfoOptions(int argc, const char* const* argv, InfoOptions& o);
std::optional<int> parseVerifyOptions(int argc, const char* const* argv, VerifyOptions& o);

}  // namespace kirune::cli
