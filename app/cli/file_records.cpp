#include "file_records.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <optional>

#include "app/core/i18n.h"
#include "app/core/presets.h"
#include "text_encoding.h"

namespace kirune::cli {

namespace {

std::string withThousands(uint64_t v) {
    std::string digits = std::to_string(v), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::optional<uint64_t> fileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

std::string jsonNumber(std::optional<double> v, const char* format) {
    if (!v || !std::isfinite(*v)) return "null";
    char text[40];
    std::snprintf(text, sizeof text, format, *v);
    return text;
}

std::string jsonSize(std::optional<uint64_t> v) { return v ? std::to_string(*v) : "null"; }

// One record on one line; absent values are null so every record has every key.
struct JsonRecord {
    std::string input;
    std::optional<std::string> output;
    const char* status = "ok";
    std::string message;
    std::optional<uint64_t> inputBytes, outputBytes;
    std::optional<double> ratio, bpp, psnr;
    double seconds = 0.0;
    std::optional<int32_t> level;           // compressions: the quality level coded
    std::optional<std::string> sampling;

    void print() const {
        std::printf("{\"input\": %s, \"output\": %s, \"status\": \"%s\", \"message\": %s, \"inputBytes\": %s, "
                    "\"outputBytes\": %s, \"ratio\": %s, \"bpp\": %s, \"psnr\": %s, \"seconds\": %s, "
                    "\"qualityLevel\": %s, \"colourSampling\": %s}\n",
                    jsonString(input).c_str(), output ? jsonString(*output).c_str() : "null", status,
                    jsonString(message).c_str(), jsonSize(inputBytes).c_str(), jsonSize(outputBytes).c_str(),
                    jsonNumber(ratio, "%.4f").c_str(), jsonNumber(bpp, "%.4f").c_str(),
                    jsonNumber(psnr, "%.3f").c_str(), jsonNumber(seconds, "%.3f").c_str(),
                    level ? std::to_string(*level).c_str() : "null",
                    sampling ? jsonString(*sampling).c_str() : "null");
        std::fflush(stdout);
    }
};

void printLine(const FileReport& r, double ratio, double bpp, bool searched) {
    if (r.kind == FileKind::Expand) {
        std::printf("%s  %s -> %s %s  %dx%d\n", r.output.c_str(), withThousands(r.inputBytes).c_str(),
                    withThousands(r.outputBytes).c_str(), tr("bytes"), r.width, r.height);
    } else {
        char psnr[32];
        if (std::isinf(r.psnr))
            std::snprintf(psnr, sizeof psnr, "%s", tr("lossless"));
        else
            std::snprintf(psnr, sizeof psnr, "%.2f dB", r.psnr);
        std::printf("%s  %s -> %s %s  %.1f:1  %.3f bpp  PSNR %s", r.output.c_str(),
                    withThousands(r.inputBytes).c_str(), withThousands(r.outputBytes).c_str(), tr("bytes"), ratio,
                    bpp, psnr);
        // A PSNR target chose the coding: say which.
        if (searched)
            std::printf("  %s %d %s", tr("level"), r.qualityLevel, samplingName(r.colourSampling));
        std::printf("\n");
    }
    std::fflush(stdout);
}

}  // namespace

void FileRecords::begin(const std::string& path) {
    const std::lock_guard lock(mutex_);
    started_[path] = std::chrono::steady_clock::now();
}

void FileRecords::end(const std::string& path) {
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(mutex_);
    if (const auto it = started_.find(path); it != started_.end())
        seconds_[path] = std::chrono::duration<double>(now - it->second).count();
}

double FileRecords::takeSeconds(const std::string& path) {
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(mutex_);
    double seconds = 0.0;  // refused before any work
    if (const auto it = seconds_.find(path); it != seconds_.end()) {
        seconds = it->second;
        seconds_.erase(it);
    } else if (const auto st = started_.find(path); st != started_.end()) {
        seconds = std::chrono::duration<double>(now - st->second).count();
    }
    started_.erase(path);
    return seconds;
}

void FileRecords::done(const FileReport& r) {
    const double seconds = takeSeconds(r.input);
    // Ratio and bits per pixel are the container's, whichever way the file went.
    const bool expand = r.kind == FileKind::Expand;
    const uint64_t image = expand ? r.outputBytes : r.inputBytes;
    const uint64_t container = expand ? r.inputBytes : r.outputBytes;
    const double pixels = static_cast<double>(r.width) * r.height;
    const double ratio = container ? static_cast<double>(image) / container : 0.0;
    const double bpp = pixels > 0 ? 8.0 * container / pixels : 0.0;
    if (!json_) {
        if (!quiet_) printLine(r, ratio, bpp, searched_);
        return;
    }
    JsonRecord j;
    j.input = r.input;
    j.output = r.output;
    j.inputBytes = r.inputBytes;
    j.outputBytes = r.outputBytes;
    j.ratio = ratio;
    j.bpp = bpp;
    if (!expand) {
        j.level = r.qualityLevel;
        j.sampling = samplingName(r.colourSampling);
        if (std::isinf(r.psnr)) j.message = "lossless";
        else j.psnr = r.psnr;
    }
    j.seconds = seconds;
    j.print();
}

void FileRecords::skipped(const std::string& path, const std::string& output) {
    const double seconds = takeSeconds(path);
    if (!json_) {
        if (!quiet_) std::printf("%s  %s\n", output.c_str(), tr("skipped: the output exists"));
        std::fflush(stdout);
        return;
    }
    JsonRecord j;
    j.input = path;
    j.output = output;
    j.status = "skipped";
    j.message = "the output exists";
    j.inputBytes = fileSize(path);
    j.outputBytes = fileSize(output);
    j.seconds = seconds;
    j.print();
}

void FileRecords::failed(const std::string& path, const std::string& message) {
    const double seconds = takeSeconds(path);
    if (!json_) return;
    JsonRecord j;
    j.input = path;
    j.status = "failed";
    j.message = message;
    j.inputBytes = fileSize(path);
    j.seconds = seconds;
    j.print();
}

}  // namespace kirune::cli
