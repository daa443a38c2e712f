#include "command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
    std::string text = std::string(tr("Presets (-p), best quality first; the dB figures are nominal (a photograph may\n"
                                      "come out a little below), --psnr DB guarantees a floor:")) +
                       "\n";
    for (const Preset& p : byQuality) {
        char line[160];
        std::snprintf(line, sizeof line, "  %d  %d dB  %s %-4d %s", p.digit, p.dbFigure, tr("level"),
                      p.qualityLevel, samplingName(p.colourSampling));
        text += line;
        if (p.radio >= 0)
            text += "  " + localeText(kRadioNames[static_cast<std::size_t>(p.radio)].japanese) + " / " +
                    kRadioNames[static_cast<std::size_t>(p.radio)].english;
        if (p.digit == kDefaultPresetDigit) text += std::string("  (") + tr("default") + ")";
        text += "\n";
    }
    return text;
}

std::string batchFooter() {
    return std::string(tr("Files are dispatched by their last extension: .rpx is expanded, .tif, .tiff, .bmp or\n"
                          ".png is compressed into NAME_DB-2.rpx beside it (or into -o DIR). -r walks folders for\n"
                          "images to compress, -d -r for containers to expand.")) +
           "\n\n" + presetTable() + "\n" +
           tr("Also:\n"
              "  rpx info [--json] FILE.rpx...        what a container holds\n"
              "  rpx verify [--fast] [-j N] FILE.rpx... check containers without writing") +
           "\n\n" +
           tr("Exit status: 0 every file succeeded (or was skipped), 1 any file was refused or failed,\n"
              "2 usage error, 3 done but a --psnr target was not reached, 128+N when signal N\n"
              "stopped the batch.") +
           "\n";
}

void commonFlags(CLI::App& app) {
    // Before any option is added: each takes the group's name from here.
    app.option_defaults()->group(tr("Options"));
    app.set_help_flag("-h,--help", tr("show this help and exit"));
    app.set_version_flag("-V,--version", std::string("rpx (Kirune) ") + kVersionText, tr("show the version and exit"));
    const auto formatter = app.get_formatter();
    formatter->column_width(30);
    formatter->label("Usage", tr("Usage"));
    formatter->label("OPTIONS", tr("OPTIONS"));
    formatter->label("Positionals", tr("Positionals"));
    formatter->label("REQUIRED", tr("REQUIRED"));
}

// Validators whose refusals are rpx's own words; CLI11 puts the option's name before them.
CLI::Validator numberFrom(double low, double high) {
    return CLI::Validator(
        [low, high](std::string& value) -> std::string {
            char* end = nullptr;
            errno = 0;
            const double v = std::strtod(value.c_str(), &end);
            if (!value.empty() && end && *end == 0 && errno == 0 && v >= low && v <= high) return {};
            char range[64];
            std::snprintf(range, sizeof range, " %g-%g: ", low, high);
            return tr("wants a number") + std::string(range) + value;
        },
        "");
}

CLI::Validator wholeNumberFrom(long low, long high) {
    return CLI::Validator(
        [low, high](std::string& value) -> std::string {
            char* end = nullptr;
            errno = 0;
            const long v = std::strtol(value.c_str(), &end, 10);
            if (!value.empty() && end && *end == 0 && errno == 0 && v >= low && v <= high) return {};
            return tr("wants a whole number") + (" " + std::to_string(low) + "-" + std::to_string(high) + ": ") + value;
        },
        "");
}

CLI::Validator oneOf(std::vector<std::string> names) {
    return CLI::Validator(
        [names](std::string& value) -> std::string {
            if (std::find(names.begin(), names.end(), value) != names.end()) return {};
            std::string all;
            for (const std::string& n : names) all += (all.empty() ? "" : ", ") + n;
            return tr("wants one of") + (" " + all + ": ") + value;
        },
        "");
}

// What went wrong, in rpx's words: CLI11's own ("files is required") are
// English whatever the locale and name its internals.
std::string parseFailure(const CLI::App& app, const CLI::ParseError& e) {
    const std::string what = e.what();
    // CLI11 starts these with the option's name.
    const std::string option = what.substr(0, what.find_first_of(": "));
    if (dynamic_cast<const CLI::RequiredError*>(&e)) return tr("no files given");
    if (dynamic_cast<const CLI::ValidationError*>(&e)) return what;  // the validators above
    if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
        std::string extras;
        for (const std::string& arg : app.remaining()) extras += " " + arg;
        return tr("unknown option or argument:") + extras;
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e))
        return option + ": " + (what.find(" required ") != std::string::npos ? tr("needs a value") : tr("takes no value"));
    return tr("the options cannot be read");
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
        std::fprintf(stderr, "%s: %s\n%s\n", app.get_name().c_str(), parseFailure(app, e).c_str(),
                     tr("Run with --help for the options."));
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
        if (text == kRadioNames[radio].japanese || text == localeText(kRadioNames[radio].japanese) ||
            lower == kRadioNames[radio].english)
            if (const auto p = presetForRadio(static_cast<int>(radio))) return p->digit;
    return std::nullopt;
}

std::optional<int> parseBatchOptions(int argc, const char* const* argv, BatchOptions& o) {
    CLI::App app(tr("Compresses TIFF, PNG and BMP photographs (RGB or greyscale) into .rpx containers and\n"
                    "expands .rpx files back into 16-bit TIFF (or PNG, or 24-bit BMP); greyscale stays greyscale."),
                 "rpx");
    // -0 ... -9, as gzip and zstd have them; listed under -p. Their hidden
    // group comes first, else CLI11's help ends its groups with a blank line.
    std::array<CLI::Option*, 10> digitFlags{};
    for (int d = 0; d <= 9; ++d) digitFlags[static_cast<std::size_t>(d)] = app.add_flag("-" + std::to_string(d))->group("");
    commonFlags(app);
    std::string preset;
    std::string compression;
    CLI::Option* presetOption =
        app.add_option("-p,--preset", preset,
                       tr("quality preset: a digit 0-9 or 標準/高画質/超高画質 (standard/high/super); -0 ... -9 are "
                          "-p 0 ... -p 9, and the last preset given wins"))
            ->type_name(tr("DIGIT|NAME"))
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--psnr", o.psnr,
                   tr("compress at the largest quality level whose RGB PSNR reaches DB (the output is named by DB)"))
        ->check(numberFrom(1.0, 200.0))
        ->type_name("DB");
    app.add_flag("--rdo", o.settings.rateAware,
                 tr("rate-aware encoder: at a preset, at least the PSNR the default gives there for fewer\n"
                    "bytes, about three times as slow; any reader decodes the files"));
    CLI::Option* bmp = app.add_flag("--bmp", o.settings.bmpOutput, tr("expand to 24-bit BMP instead of 16-bit TIFF"));
    app.add_flag("--png", o.settings.pngOutput,
                 tr("expand to PNG instead of TIFF (16-bit RGB; 8-bit when the input was 8-bit; a greyscale\n"
                    "input's greyscale at its depth)"))
        ->excludes(bmp);
    app.add_flag("-N,--name", o.settings.restoreName,
                 tr("expand under the input's name and modification time stored in the container\n"
                    "(its stem with .tif or .bmp when the kind differs)"));
    app.add_option("--tiff-compression", compression,
                   tr("how expanded TIFFs are stored (default none; the others with a predictor)"))
        ->check(oneOf({"none", "deflate", "zstd", "lzw"}))
        ->type_name("none|deflate|zstd|lzw");
    app.add_option("-o,--output-dir", o.settings.outputDir,
                   tr("write outputs into DIR (made when missing), with -r in the same folders below it"))
        ->type_name(tr("DIR"));
    app.add_option("-j,--jobs", o.settings.threads, tr("worker threads (default: every core)"))
        ->check(wholeNumberFrom(1, 1024))
        ->type_name("N");
    app.add_flag("-f,--force", o.settings.replaceExisting,
                               tr("replace existing output files (never an input of the batch)"));
    app.add_flag("-q,--quiet", o.quiet, tr("no summary lines, no progress bar"));
    app.add_flag("-r,--recursive", o.recursive, tr("take the images in folders and every folder below them"));
    app.add_flag("-d,--decompress,--expand", o.decompress,
                 tr("expand containers (with -r the .rpx files in folders); refuse images"));
    app.add_flag("-z,--compress", o.compress, tr("compress images; refuse containers"));
    app.add_flag("--json", o.json, tr("one JSON object per file on standard output instead of the summary lines"));
    app.add_flag("--skip-existing", o.skipExisting,
                 tr("count a file whose output exists as done (reported as skipped), to resume a batch"));
    app.add_option("--files-from", o.filesFrom, tr("read more paths from LIST, one per line (- for standard input)"))
        ->type_name(tr("LIST"));
    app.add_option("--files0-from", o.files0From,
                   tr("read more paths from LIST, each ended by a NUL byte, as find -print0 writes them"))
        ->type_name(tr("LIST"));
    app.add_flag("--null", o.nullSeparated, tr("--files-from's entries are ended by NUL bytes, not newlines"));
    app.add_option("files", o.paths, tr("images to compress, containers to expand, folders with -r"))
        ->type_name(tr("FILE|DIR"));
    app.footer(batchFooter());
    if (const auto status = parse(app, argc, argv)) return status;

    // Checked here rather than by CLI11, whose help would then spell it out twice.
    if (o.settings.replaceExisting && o.skipExisting)
        return usageError("rpx", tr("--force and --skip-existing exclude each other"));
    // The last of -p and the digits wins, as in gzip.
    const CLI::Option* lastPreset = nullptr;
    for (const CLI::Option* given : app.parse_order())
        if (given == presetOption || std::find(digitFlags.begin(), digitFlags.end(), given) != digitFlags.end())
            lastPreset = given;
    if (o.psnr && lastPreset) return usageError("rpx", tr("--psnr and a preset (-p, -0 ... -9) exclude each other"));
    if (!preset.empty()) {
        const std::optional<int> digit = presetDigitNamed(preset);
        if (!digit) return usageError("rpx", std::string(tr("unknown preset")) + " " + preset);
        o.digit = *digit;
    }
    if (lastPreset && lastPreset != presetOption)
        o.digit = static_cast<int>(std::find(digitFlags.begin(), digitFlags.end(), lastPreset) - digitFlags.begin());
    if (o.nullSeparated && o.filesFrom.empty()) return usageError("rpx", tr("--null applies to --files-from"));
    if (o.filesFrom == "-" && o.files0From == "-")
        return usageError("rpx", tr("--files-from and --files0-from cannot both read standard input"));
    if (compression == "deflate") o.settings.tiffCompression = TiffCompression::Deflate;
    if (compression == "zstd") o.settings.tiffCompression = TiffCompression::Zstd;
    if (compression == "lzw") o.settings.tiffCompression = TiffCompression::Lzw;
    if (o.paths.empty() && o.filesFrom.empty() && o.files0From.empty()) return usageError("rpx", tr("no files given"));
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
    app.add_flag("--fast", o.fast, tr("check the container checksum alone (the strips' tables when none is stored)"));
    app.add_option("-j,--jobs", o.threads, tr("worker threads (default: every core)"))
        ->check(wholeNumberFrom(1, 1024))
        ->type_name("N");
    app.add_option("files", o.paths, tr("containers"))->type_name("FILE.rpx")->required();
    return parse(app, argc, argv);
}

}  // namespace kirune::cli
