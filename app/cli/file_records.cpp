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
    std::optional<bool> targetReached;      // only with a PSNR target

    void print() const {
        const char* reached = !targetReached ? "" : *targetReached ? ", \"targetReached\": true" : ", \"targetReached\": false";
        std::printf("{\"input\": %s, \"output\": %s, \"status\": \"%s\", \"message\": %s, \"inputBytes\": %s, "
                    "\"outputBytes\": %s, \"ratio\": %s, \"bpp\": %s, \"psnr\": %s, \"seconds\": %s, "
                    "\"qualityLevel\": %s, \"colourSampling\": %s%s}\n",
                    jsonString(input).c_str(), output ? jsonString(*output).c_str() : "null", status,
                    jsonString(message).c_str(), jsonSize(inputBytes).c_str(), jsonSize(outputBytes).c_str(),
                    jsonNumber(ratio, "%.4f").c_str(), jsonNumber(bpp, "%.4f").c_str(),
                    jsonNumber(psnr, "%.3f").c_str(), jsonNumber(seconds, "%.3f").c_str(),
                    level ? std::to_string(*level).c_str() : "null",
                    sampling ? jsonString(*sampling).c_str() : "null", reached);
        std::fflush(stdout);
    }
};

// "62.35 dB", or "lossless".
std::string psnrText(double psnr) {
    if (std::isinf(psnr)) return tr("lossless");
    char text[32];
    std::snprintf(text, sizeof text, "%.2f dB", psnr);
    return text;
}

void printLine(const FileReport& r, double ratio, std::optional<double> bpp, std::optional<double> target) {
    const std::string output = displayName(r.output);
    if (r.kind == FileKind::Expand) {
        std::printf("%s  %s -> %s %s  %dx%d\n", output.c_str(), withThousands(r.inputBytes).c_str(),
                    withThousands(r.outputBytes).c_str(), tr("bytes"), r.width, r.height);
    } else {
        std::printf("%s  %s -> %s %s  %.1f:1", output.c_str(), withThousands(r.inputBytes).c_str(),
                    withThousands(r.outputBytes).c_str(), tr("bytes"), ratio);
        if (bpp) std::printf("  %.3f bpp", *bpp);
        std::printf("  PSNR %s", psnrText(r.psnr).c_str());
        // A PSNR target chose the coding: say which, and whether it got there.
        if (target) {
            std::printf("  %s %d %s", tr("level"), r.qualityLevel, samplingName(r.colourSampling));
            if (r.targetMissed) std::printf("  %s %s", tr("target not reached:"), psnrText(*target).c_str());
        }
        std::printf("\n");
    }
    std::fflush(stdout);
}

// Past the 48 bits of a pixel's own samples, bits per pixel describe the
// container's fixed header, not the coding (a 1x1 image "takes" thousands),
// so none is given.
constexpr double kBppMax = 48.0;

}  // namespace

void FileRecords::entryRefused() {
    const std::lock_guard lock(mutex_);
    ++totals_.failed;
}

bool FileRecords::targetsMissed() const {
    const std::lock_guard lock(mutex_);
    return totals_.missed > 0;
}

std::string FileRecords::totals() const {
    const std::lock_guard lock(mutex_);
    const Totals& t = totals_;
    std::string line = std::string(tr("total:")) + " " + std::to_string(t.done) + " " + tr("done") + ", " +
                       std::to_string(t.skipped) + " " + tr("skipped") + ", " + std::to_string(t.failed) + " " +
                       tr("failed") + "; " + withThousands(t.bytesIn) + " -> " + withThousands(t.bytesOut) + " " +
                       tr("bytes");
    if (t.psnrCount > 0) {
        char mean[64];
        std::snprintf(mean, sizeof mean, "; %s %.2f dB", tr("mean PSNR"), t.psnrSum / t.psnrCount);
        line += mean;
    }
    if (t.missed > 0) line += "; " + std::to_string(t.missed) + " " + tr("below their PSNR target");
    return line;
}

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
    const std::optional<double> bpp = pixels > 0 && 8.0 * container / pixels <= kBppMax
                                          ? std::optional<double>(8.0 * container / pixels)
                                          : std::nullopt;
    {
        const std::lock_guard lock(mutex_);
        ++totals_.done;
        totals_.bytesIn += r.inputBytes;
        totals_.bytesOut += r.outputBytes;
        if (!expand && std::isfinite(r.psnr)) {
            totals_.psnrSum += r.psnr;
            ++totals_.psnrCount;
        }
        if (r.targetMissed) ++totals_.missed;
    }
    if (!json_) {
        if (!quiet_) printLine(r, ratio, bpp, target_);
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
        if (target_) {
            j.targetReached = !r.targetMissed;
            if (r.targetMissed) {
                char text[96];
                std::snprintf(text, sizeof text, "PSNR target of %.2f dB not reached: %.2f dB", *target_, r.psnr);
                j.message = text;
            }
        }
    }
    j.seconds = seconds;
    j.print();
}

void FileRecords::skipped(const std::string& path, const std::string& output) {
    const double seconds = takeSeconds(path);
    {
        const std::lock_guard lock(mutex_);
        ++totals_.skipped;
    }
    if (!json_) {
        if (!quiet_) std::printf("%s  %s\n", displayName(output).c_str(), tr("skipped: the output exists"));
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
    {
        const std::lock_guard lock(mutex_);
        ++totals_.failed;
    }
    if (!json_) return;
    JsonRecord j;
    j.input = path;
    j.status = "failed";
    j.message = utf8Text(message);  // JSON is UTF-8 in every locale
    j.inputBytes = fileSize(path);
    j.seconds = seconds;
    j.print();
}

}  // namespace kirune::cli
