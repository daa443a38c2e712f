#include "command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <iostream>

#include "app/core/i18n.h"
#include "app/core/presets.h"
#include "app/version.h"

namespace kirune::cli {

namespace {

// The radio names of the dialog's three buttons, by radio index.
struct PresetName {
    const char* japanese;
    const char* english;
};
constexpr std::array<PresetName, 3> kRadioNames{{{"標準", "standard"}, {"高画質", "high"}, {"超高画質", "super"}}};

// The ten presets, best quality first, from the table the dialog uses.
std::string presetTable() {
    std::array<Preset, 10> byQuality;
    std::copy(std::begin(kPresets), std::end(kPresets), byQuality.begin());
    std::stable_sort(byQuality.begin(), byQuality.end(),
                     [](const Preset& a, const Preset& b) { return a.dbFigure > b.dbFigure; });
    std::string text = std::string(tr("Presets (-p), best quality first:")) + "\n";
    for (const Preset& p : byQuality) {
        char line[160];
        std::snprintf(line, sizeof line, "  %d  %d dB  %s %-4d %s", p.digit, p.dbFigure, tr("level"),
                      p.qualityLevel, samplingName(p.colourSampling));
        text += line;
        if (p.radio >= 0)
            text += std::string("  ") + kRadioNames[static_cast<std::size_t>(p.radio)].japanese + " / " +
                    kRadioNames[static_cast<std::size_t>(p.radio)].english;
        if (p.digit == kDefaultPresetDigit) text += std::string("  (") + tr("default") + ")";
        text += "\n";
    }
    return text;
}

std::string batchFooter() {
    return std::string(tr("Files are dispatched by name: a name containing .rpx is expanded, .tif or .bmp is\n"
                          "compressed into NAME_DB-2.rpx beside it (or into -o DIR).")) +
           "\n\n" + presetTable() + "\n" +
           tr("Also:\n"
              "  rpx info [--json] FILE.rpx...        what a container holds\n"
              "  rpx verify [--fast] [-j N] FILE.rpx... check containers without writing") +
           "\n\n" +
           tr("Exit status: 0 every file succeeded (or was skipped), 1 any file was refused or failed,\n"
              "2 usage error, 128+N when signal N stopped the batch.") +
           "\n";
}

void commonFlags(CLI::App& app) {
    app.set_help_flag("-h,--help", tr("show this help and exit"));
    app.set_version_flag("-V,--version", std::string("rpx (Kirune) ") + kVersionText, tr("show the version and exit"));
    app.get_formatter()->column_width(30);
}

// CLI11's own handling, with rpx's exit statuses.
std::optional<int> parse(CLI::App& app, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            app.exit(e);
            return 0;
        }
        std::fprintf(stderr, "%s: %s\n%s\n", app.get_name().c_str(), e.what(), tr("Run with --help for the options."));
        return 2;
    }
    return std::nullopt;
}

std::optional<int> usageError(const std::string& name, const std::string& what) {
    std::fprintf(stderr, "%s: %s\n%s\n", name.c_str(), what.c_str(), tr("Run with --help for the options."));
    return 2;
}

}  // namespace

std::optional<int> presetDigitNamed(const std::string& text) {
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '9') return text[0] - '0';
    std::string lower = text;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (std::size_t radio = 0; radio < kRadioNames.size(); ++radio)
        if (text == kRadioNames[radio].japanese || lower == kRadioNames[radio].english)
            if (const auto p = presetForRadio(static_cast<int>(radio))) return p->digit;
    return std::nullopt;
}

std::optional<int> parseBatchOptions(int argc, const char* const* argv, BatchOptions& o) {
    CLI::App app(tr("Compresses TIFF and BMP photographs into .rpx containers and expands .rpx files back\n"
                    "into 16-bit TIFF (or 24-bit BMP)."),
                 "rpx");
    commonFlags(app);
    std::string preset;
    std::string compression;
    app.add_option("-p,--preset", preset, tr("quality preset: a digit 0-9 or 標準/高画質/超高画質 (standard/high/super)"))
        ->type_name(tr("DIGIT|NAME"));
    app.add_option("--psnr", o.psnr,
                   tr("compress at the largest quality level whose RGB PSNR reaches DB (the output is named by DB)"))
        ->check(CLI::Range(1.0, 200.0).description(""))
        ->type_name("DB");
    app.add_flag("--rdo", o.settings.rateAware,
                 tr("rate-aware encoder: fewer bytes at equal PSNR, slower; any reader decodes the files"));
    app.add_flag("--bmp", o.settings.bmpOutput, tr("expand to 24-bit BMP instead of 16-bit TIFF"));
    app.add_flag("-N,--name", o.settings.restoreName,
                 tr("expand under the input's name and modification time stored in the container\n"
                    "(its stem with .tif or .bmp when the kind differs)"));
    app.add_option("--tiff-compression", compression,
                   tr("how expanded TIFFs are stored (default none; the others with a predictor)"))
        ->check(CLI::IsMember({"none", "deflate", "zstd", "lzw"}).description(""))
        ->type_name("none|deflate|zstd|lzw");
    app.add_option("-o,--output-dir", o.settings.outputDir,
                   tr("write outputs into DIR (made when missing), with -r in the same folders below it"))
        ->type_name(tr("DIR"));
    app.add_option("-j,--jobs", o.settings.threads, tr("worker threads (default: every core)"))
        ->check(CLI::Range(1, 1024).description(""))
        ->type_name("N");
    app.add_flag("-f,--force", o.settings.replaceExisting,
                               tr("replace existing output files (never an input of the batch)"));
    app.add_flag("-q,--quiet", o.quiet, tr("no summary lines, no progress bar"));
    app.add_flag("-r,--recursive", o.recursive, tr("take the images in folders and every folder below them"));
    app.add_flag("--json", o.json, tr("one JSON object per file on standard output instead of the summary lines"));
    app.add_flag("--skip-existing", o.skipExisting,
                 tr("count a file whose output exists as done (reported as skipped), to resume a batch"));
    app.add_option("--files-from", o.filesFrom, tr("read more paths from LIST, one per line (- for standard input)"))
        ->type_name(tr("LIST"));
    app.add_option("files", o.paths, tr("images to compress, containers to expand, folders with -r"))
        ->type_name(tr("FILE|DIR"));
    app.footer(batchFooter());
    if (const auto status = parse(app, argc, argv)) return status;

    // Checked here rather than by CLI11, whose help would then spell it out twice.
    if (o.settings.replaceExisting && o.skipExisting)
        return usageError("rpx", tr("--force and --skip-existing exclude each other"));
    if (o.psnr && !preset.empty()) return usageError("rpx", tr("--psnr and --preset exclude each other"));
    if (!preset.empty()) {
        const std::optional<int> digit = presetDigitNamed(preset);
        if (!digit) return usageError("rpx", std::string(tr("unknown preset")) + " " + preset);
        o.digit = *digit;
    }
    if (compression == "deflate") o.settings.tiffCompression = TiffCompression::Deflate;
    if (compression == "zstd") o.settings.tiffCompression = TiffCompression::Zstd;
    if (compression == "lzw") o.settings.tiffCompression = TiffCompression::Lzw;
    if (o.paths.empty() && o.filesFrom.empty()) return usageError("rpx", tr("no files given"));
    return std::nullopt;
}

std::optional<int> parseInfoOptions(int argc, const char* const* argv, InfoOptions& o) {
    CLI::App app(tr("Lists what containers hold: header, metadata, strips and trailer."), "rpx info");
    commonFlags(app);
    app.add_flag("--json", o.json, tr("one JSON object per container, one per line"));
    app.add_option("files", o.paths, tr("containers"))->type_name("FILE.rpx")->required();
    return parse(app, argc, argv);
}

std::optional<int> parseVerifyOptions(int argc, const char* const* argv, VerifyOptions& o) {
    CLI::App app(tr("Decodes each container as an expansion would, writing nothing, and checks its stored\n"
                    "checksums; exit status 1 when any is damaged."),
                 "rpx verify");
    commonFlags(app);
    app.add_flag("--fast", o.fast, tr("check the container checksum alone"));
    app.add_option("-j,--jobs", o.threads, tr("worker threads (default: every core)"))
        ->check(CLI::Range(1, 1024).description(""))
        ->type_name("N");
    app.add_option("files", o.paths, tr("containers"))->type_name("FILE.rpx")->required();
    return parse(app, argc, argv);
}

}  // namespace kirune::cli
