// rpx: the batch logic of the dialog from a terminal.
//
//   rpx [-p DIGIT] [--bmp] [-o DIR] [-j N] [-f] [-q] FILE...
//   rpx info [--json] FILE.rpx
//   rpx verify [--fast] [-j N] FILE.rpx...
//
// Exit status: 0 when every file succeeded, 1 when any was refused or failed,
// 2 for a usage error, 128 + the signal's number when SIGINT, SIGTERM or
// SIGHUP stopped the batch.

#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <optional>
#include <string>
#include <vector>

#include "app/core/batch.h"
#include "app/core/container_info.h"
#include "app/core/drivers.h"
#include "app/core/failure_text.h"
#include "app/core/i18n.h"
#include "app/core/presets.h"
#include "app/core/signals.h"
#include "app/core/ui.h"
#include "app/version.h"

using namespace kirune;

namespace {

const char* const kUsage =
    "usage: rpx [-p DIGIT] [--bmp] [--tiff-compression KIND] [-o DIR] [-j N] [-f] [-q] FILE...\n"
    "       rpx info [--json] FILE.rpx\n"
    "       rpx verify [--fast] [-j N] FILE.rpx...\n"
    "\n"
    "Compresses TIFF and BMP files into .rpx containers and expands .rpx files\n"
    "back into 16-bit TIFF (or 24-bit BMP with --bmp). Files are dispatched by name:\n"
    "a name containing .rpx is expanded, .tif or .bmp is compressed.\n"
    "\n"
    "  -p DIGIT   quality preset 0-9 as the dialog's digit keys (default 2, about 49 dB)\n"
    "  --bmp      expand to 24-bit BMP instead of 16-bit TIFF\n"
    "  -o DIR     write outputs into DIR instead of beside each input\n"
    "  -j N       worker threads (default: every core)\n"
    "  -f, --force  replace existing output files (never an input of the batch)\n"
    "  --tiff-compression none|deflate|zstd|lzw\n"
    "             how expanded TIFFs are stored (default none; the others with a predictor)\n"
    "  -q         no summary lines, no progress bar\n"
    "\n"
    "verify decodes each container as an expansion would, writing nothing, and checks\n"
    "its stored checksums (--fast: the container checksum alone); exit 1 when any is damaged.\n";

// Messages go to standard error, one line each, prefixed with their file.
class TerminalUi : public BatchUi {
public:
    explicit TerminalUi(bool quiet) : bar_(!quiet && ::isatty(STDERR_FILENO)) {}
    ~TerminalUi() override { clearBar(); }

    void showMessage(const std::string& path, const std::string& text) override {
        clearBar();
        if (path.empty())
            std::fprintf(stderr, "%s\n", text.c_str());
        else
            std::fprintf(stderr, "%s: %s\n", path.c_str(), text.c_str());
    }
    void showWarning(const std::string& path, const std::string& text) override {
        clearBar();
        std::fprintf(stderr, "%s: warning: %s\n", path.c_str(), text.c_str());
    }
    void setPathText(const std::string& text) override { path_ = text; }
    void setCounterText(const std::string& text) override { counter_ = text; }
    void setProgress(int percent) override {
        if (!bar_) return;
        if (percent <= 0) {
            clearBar();
            return;
        }
        const int filled = percent * 30 / 100;
        std::fprintf(stderr, "\r[%.*s%*s] %3d%%  %s  %s\x1b[K", filled,
                     "##############################", 30 - filled, "", percent, counter_.c_str(),
                     path_.c_str());
        std::fflush(stderr);
        drawn_ = true;
    }
    void clearBar() {
        if (drawn_) {
            std::fputs("\r\x1b[K", stderr);
            std::fflush(stderr);
            drawn_ = false;
        }
    }

private:
    bool bar_;
    bool drawn_ = false;
    std::string path_;
    std::string counter_;
};

std::string withThousands(uint64_t v) {
    std::string digits = std::to_string(v), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

void printReport(const FileReport& r) {
    if (r.kind == FileKind::Expand) {
        std::printf("%s  %s -> %s bytes  %dx%d\n", r.output.c_str(), withThousands(r.inputBytes).c_str(),
                    withThousands(r.outputBytes).c_str(), r.width, r.height);
    } else {
        const double pixels = static_cast<double>(r.width) * r.height;
        const double ratio = r.outputBytes ? static_cast<double>(r.inputBytes) / r.outputBytes : 0.0;
        const double bpp = pixels > 0 ? 8.0 * r.outputBytes / pixels : 0.0;
        char psnr[32];
        if (std::isinf(r.psnr))
            std::snprintf(psnr, sizeof psnr, "lossless");
        else
            std::snprintf(psnr, sizeof psnr, "%.2f dB", r.psnr);
        std::printf("%s  %s -> %s bytes  %.1f:1  %.3f bpp  PSNR %s\n", r.output.c_str(),
                    withThousands(r.inputBytes).c_str(), withThousands(r.outputBytes).c_str(), ratio,
                    bpp, psnr);
    }
    std::fflush(stdout);
}

// cp932 bytes as UTF-8 for display; bytes that do not convert are shown as \xNN.
std::string cp932ToUtf8(const std::string& in) {
    std::string out;
    iconv_t cd = ::iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return in;
    char* src = const_cast<char*>(in.data());
    std::size_t left = in.size();
    while (left > 0) {
        char buf[256];
        char* dst = buf;
        std::size_t room = sizeof buf;
        const std::size_t rc = ::iconv(cd, &src, &left, &dst, &room);
        out.append(buf, static_cast<std::size_t>(dst - buf));
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned char>(*src));
            out += esc;
            ++src;
            --left;
        }
    }
    ::iconv_close(cd);
    return out;
}

bool isUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const int more = c < 0x80 ? 0 : c >= 0xC2 && c < 0xE0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : c >= 0xF0 && c < 0xF5 ? 3 : -1;
        if (more < 0 || text.size() - i <= static_cast<std::size_t>(more)) return false;
        for (int k = 1; k <= more; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += static_cast<std::size_t>(more) + 1;
    }
    return true;
}

// Texts as the terminal shows them: UTF-8 as it is, anything else read as
// cp932, the code page the dialog's own texts were first written in.
std::string displayText(const std::string& text) { return isUtf8(text) ? text : cp932ToUtf8(text); }

std::string jsonString(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The metadata texts in the order both listings give them.
struct NamedText {
    const char* name;
    const std::optional<std::string>* text;
};
std::array<NamedText, 5> metadataTexts(const ImageMetadata& meta) {
    return {{{"make", &meta.make},
             {"model", &meta.model},
             {"software", &meta.software},
             {"dateTime", &meta.dateTime},
             {"artist", &meta.artist}}};
}

void printTrailerJson(const std::optional<Trailer>& trailer) {
    if (!trailer) {
        std::printf("null\n}\n");
        return;
    }
    std::printf("{\"offset\": %lld, \"records\": [", static_cast<long long>(trailer->offset));
    for (std::size_t i = 0; i < trailer->records.size(); ++i)
        std::printf("%s{\"type\": %u, \"length\": %u}", i ? ", " : "", trailer->records[i].type,
                    trailer->records[i].length);
    std::printf("]");
    if (trailer->container) std::printf(", \"containerChecksum\": \"%s\"", trailer->container->hex().c_str());
    if (trailer->pixels) std::printf(", \"pixelChecksum\": \"%s\"", trailer->pixels->hex().c_str());
    std::printf("}\n}\n");
}

void printInfoJson(const std::string& path, const ContainerInfo& c) {
    const ImageMetadata& meta = c.metadata;
    std::printf("{\n  \"file\": %s,\n", jsonString(path).c_str());
    std::printf("  \"width\": %d, \"height\": %d,\n", c.width, c.height);
    std::printf("  \"qualityLevel\": %d, \"colourSampling\": %d, \"stripBudgetLog2\": %d,\n", c.qualityLevel,
                c.colourSampling, c.stripBudgetLog2);
    if (c.description)
        std::printf("  \"description\": %s,\n", jsonString(displayText(*c.description)).c_str());
    else
        std::printf("  \"description\": null,\n");
    std::printf("  \"resolutionUnit\": %u, \"xResolution\": %g, \"yResolution\": %g,\n", meta.resolutionUnit,
                meta.xResolution, meta.yResolution);
    std::printf("  \"iccLength\": %zu,\n", meta.iccProfile.size());
    for (const NamedText& t : metadataTexts(meta))
        std::printf("  \"%s\": %s,\n", t.name, *t.text ? jsonString(displayText(**t.text)).c_str() : "null");
    std::printf("  \"stripHeight\": %d, \"stripCount\": %d, \"lastStripRows\": %d,\n", c.stripHeight,
                c.stripCount, c.lastStripRows);
    std::printf("  \"strips\": [\n");
    for (std::size_t k = 0; k < c.strips.size(); ++k) {
        std::printf("    [");
        for (int i = 0; i < 7; ++i)
            std::printf("%s[%u, %u]", i ? ", " : "", c.strips[k][i].rawLength, c.strips[k][i].recordedSize);
        std::printf("]%s\n", k + 1 < c.strips.size() ? "," : "");
    }
    std::printf("  ],\n  \"trailer\": ");
    printTrailerJson(c.trailer);
}

const char* recordName(uint16_t type) {
    return type == 1 ? "container checksum" : type == 2 ? "pixel checksum" : type == 3 ? "metadata" : "unknown record";
}

void printTrailerText(const ContainerInfo& c) {
    if (!c.trailer) {
        std::printf("trailer         none (no checksums stored)\n");
        return;
    }
    const Trailer& trailer = *c.trailer;
    std::printf("trailer         at byte %lld, %zu records\n", static_cast<long long>(trailer.offset),
                trailer.records.size());
    for (const Trailer::Entry& r : trailer.records)
        std::printf("  %-18s type %u, %u bytes\n", recordName(r.type), r.type, r.length);
    if (!trailer.carriedTags.empty()) {
        const auto& n = c.carriedTagCounts;
        std::printf("  metadata  %d image tags, %d Exif, %d GPS, %d Interoperability\n", n[0], n[1], n[2], n[3]);
    }
    if (trailer.container) std::printf("  container XXH3-128 %s\n", trailer.container->hex().c_str());
    if (trailer.pixels) std::printf("  pixels    XXH3-128 %s\n", trailer.pixels->hex().c_str());
}

void printInfoText(const std::string& path, const ContainerInfo& c) {
    const ImageMetadata& meta = c.metadata;
    std::printf("file            %s\n", path.c_str());
    std::printf("size            %d x %d\n", c.width, c.height);
    std::printf("quality level   %d\n", c.qualityLevel);
    std::printf("colour sampling %s\n", c.colourSampling == 1 ? "4:2:0" : c.colourSampling == 2 ? "4:2:2" : "4:4:4");
    std::printf("strip budget    2^%d pixels\n", c.stripBudgetLog2);
    std::printf("description     %s\n", c.description ? displayText(*c.description).c_str() : "(none)");
    std::printf("resolution      unit %u, %g x %g\n", meta.resolutionUnit, meta.xResolution, meta.yResolution);
    std::printf("ICC profile     %zu bytes\n", meta.iccProfile.size());
    for (const NamedText& t : metadataTexts(meta))
        std::printf("%-15s %s\n", t.name, *t.text ? displayText(**t.text).c_str() : "(none)");
    std::printf("strips          %d of %d rows, last %d rows\n", c.stripCount, c.stripHeight, c.lastStripRows);
    printTrailerText(c);
    static const char* const names[7] = {"dcSignBits", "dcBytes",   "headerBits", "indexBitsLow",
                                         "indexBitsHigh", "gainBytes", "matchBytes"};
    for (std::size_t k = 0; k < c.strips.size(); ++k) {
        std::printf("strip %zu\n", k);
        for (int i = 0; i < 7; ++i) {
            const StreamEntry& e = c.strips[k][i];
            std::printf("  %-14s raw %10u  recorded %10u%s\n", names[i], e.rawLength, e.recordedSize,
                        e.rawLength == e.recordedSize ? "  (stored)" : "");
        }
    }
}

int runInfo(const std::vector<std::string>& args) {
    bool json = false;
    std::vector<std::string> files;
    for (const std::string& a : args) {
        if (a == "--json") {
            json = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "rpx info: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 1) {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    const std::string& path = files[0];
    ContainerInfo info;
    try {
        info = readContainerInfo(path);
    } catch (...) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), failureText(std::current_exception()).c_str());
        return 1;
    }
    if (json)
        printInfoJson(path, info);
    else
        printInfoText(path, info);
    return 0;
}

bool parseInt(const char* text, int lo, int hi, int& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

const char* verifiedText(VerifyResult result) {
    switch (result) {
        case VerifyResult::Checked: return "OK";
        case VerifyResult::ContainerChecked: return "OK (container checksum)";
        case VerifyResult::StructureChecked: return "OK, no checksum stored (every strip decoded)";
        case VerifyResult::LayoutChecked: return "OK, no checksum stored (strip layout only)";
    }
    return "OK";
}

int runVerify(const std::vector<std::string>& args, const SignalStop& signals) {
    bool fast = false;
    JobSettings settings;
    settings.stop = signals.token();
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--fast") {
            fast = true;
        } else if (a == "-j") {
            if (i + 1 >= args.size() || !parseInt(args[++i].c_str(), 1, 1024, settings.threads)) {
                std::fprintf(stderr, "rpx verify: -j takes a thread count\n%s", kUsage);
                return 2;
            }
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "rpx verify: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    TerminalUi ui(true);
    int bad = 0;
    for (const std::string& path : files) {
        if (signals.signal()) break;
        try {
            std::printf("%s: %s\n", path.c_str(), verifiedText(verifyFile(path, fast, settings, ui)));
        } catch (...) {
            ++bad;
            ui.showMessage(path, failureText(std::current_exception()));
        }
        std::fflush(stdout);
    }
    if (const int sig = signals.signal()) return 128 + sig;
    return bad ? 1 : 0;
}

// What the command line asks of a compression or expansion batch.
struct BatchOptions {
    JobSettings settings;
    int digit = kDefaultPresetDigit;
    bool quiet = false;
    FileList list;
    bool capped = false;  // more files than a batch takes were named
};

int usageError(const std::string& what) {
    std::fprintf(stderr, "rpx: %s\n%s", what.c_str(), kUsage);
    return 2;
}

std::optional<TiffCompression> tiffCompressionNamed(const std::string& name) {
    if (name == "none") return TiffCompression::None;
    if (name == "deflate") return TiffCompression::Deflate;
    if (name == "zstd") return TiffCompression::Zstd;
    if (name == "lzw") return TiffCompression::Lzw;
    return std::nullopt;
}

// Reads the options into `o`; returns the exit status when the program ends
// here (help, version, a usage error).
std::optional<int> parseBatchOptions(const std::vector<std::string>& args, BatchOptions& o) {
    bool optionsDone = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto value = [&]() -> const char* { return i + 1 < args.size() ? args[++i].c_str() : nullptr; };
        if (optionsDone || a.empty() || a[0] != '-' || a == "-") {
            if (!o.list.add(a)) o.capped = true;
        } else if (a == "--") {
            optionsDone = true;
        } else if (a == "-h" || a == "--help") {
            std::printf("%s", kUsage);
            return 0;
        } else if (a == "--version") {
            std::printf("rpx (Kirune) %s\n", kVersionText);
            return 0;
        } else if (a == "-p") {
            const char* v = value();
            if (!v || !parseInt(v, 0, 9, o.digit)) return usageError("-p takes a digit 0-9");
        } else if (a.size() == 3 && a.rfind("-p", 0) == 0) {
            if (!parseInt(a.c_str() + 2, 0, 9, o.digit)) return usageError("-p takes a digit 0-9");
        } else if (a == "--bmp") {
            o.settings.bmpOutput = true;
        } else if (a == "-o") {
            const char* v = value();
            if (!v || !*v) return usageError("-o takes a folder");
            o.settings.outputDir = v;
        } else if (a == "-j") {
            const char* v = value();
            if (!v || !parseInt(v, 1, 1024, o.settings.threads)) return usageError("-j takes a thread count");
        } else if (a == "-q") {
            o.quiet = true;
        } else if (a == "--tiff-compression" || a.rfind("--tiff-compression=", 0) == 0) {
            const char* v = a.size() > 18 ? a.c_str() + 19 : value();
            const auto kind = tiffCompressionNamed(v ? v : "");
            if (!kind) return usageError("--tiff-compression takes none, deflate, zstd or lzw");
            o.settings.tiffCompression = *kind;
        } else if (a == "-f" || a == "--force") {
            o.settings.replaceExisting = true;
        } else {
            return usageError("unknown option " + a);
        }
    }
    if (o.list.count() == 0) return usageError("no files given");
    return std::nullopt;
}

int runFiles(BatchOptions& o, const SignalStop& signals) {
    if (o.capped) std::fprintf(stderr, "rpx: only the first %zu files are taken\n", kMaxBatchFiles);
    o.settings.usePreset(kPresets[o.digit]);
    o.settings.measureQuality = !o.quiet;

    sortFileList(o.list);
    TerminalUi ui(o.quiet);
    FileDrivers drivers(o.settings);
    if (!o.quiet) drivers.onFileDone = [&ui](const FileReport& r) {
        ui.clearBar();
        printReport(r);
    };
    const BatchResult result = runBatch(o.list, drivers, ui, signals.token());
    ui.clearBar();
    if (const int sig = signals.signal()) {
        std::fprintf(stderr, "rpx: stopped by %s: %d done, %d failed or abandoned, %d not started\n",
                     sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP", result.succeeded,
                     result.failed, result.notStarted);
        return 128 + sig;
    }
    return result.failed == 0 && !o.capped ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    useLocaleTexts();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "info") return runInfo({args.begin() + 1, args.end()});
    // Before any thread starts: a signal stops the batch cleanly.
    SignalStop signals;
    if (!args.empty() && args[0] == "verify") return runVerify({args.begin() + 1, args.end()}, signals);

    BatchOptions options;
    options.settings.replaceExisting = false;  // as gzip and zstd: only when forced
    options.settings.stop = signals.token();
    if (const std::optional<int> status = parseBatchOptions(args, options)) return *status;
    return runFiles(options, signals);
}
