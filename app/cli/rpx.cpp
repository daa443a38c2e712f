// rpx: the batch logic of the dialog from a terminal.
//
//   rpx [OPTIONS] FILE|DIR...
//   rpx info [--json] FILE.rpx...
//   rpx verify [--fast] [-j N] FILE.rpx...
//
// Exit status: 0 when every file succeeded (or was skipped), 1 when any was
// refused or failed, 2 for a usage error, 3 when every file was done but a
// --psnr target was not reached, 128 + the signal's number when
// SIGINT, SIGTERM or SIGHUP stopped the batch.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/core/batch.h"
#include "app/core/drivers.h"
#include "app/core/failure_text.h"
#include "app/core/i18n.h"
#include "app/core/presets.h"
#include "app/core/signals.h"
#include "batch_inputs.h"
#include "command_line.h"
#include "file_records.h"
#include "info_listing.h"
#include "kirune/vector_path.h"
#include "path_list.h"
#include "terminal_ui.h"
#include "text_encoding.h"

using namespace kirune;
using namespace kirune::cli;

namespace {

// Exactly the checks that were made: "OK" alone means all of them.
const char* verifiedText(const VerifyResult& r) {
    if (r.stripsDecoded) {
        if (r.containerChecksum && r.pixelChecksum) return "OK";
        if (r.containerChecksum) return tr("OK (container checksum, every strip decoded; no pixel checksum stored)");
        if (r.pixelChecksum) return tr("OK (pixel checksum, every strip decoded; no container checksum stored)");
        return tr("OK, no checksum stored (every strip decoded)");
    }
    if (r.containerChecksum) return tr("OK (container checksum; strips not decoded)");
    return tr("OK, no container checksum stored (strip layout only)");
}

int runVerify(const VerifyOptions& o, const SignalStop& signals) {
    JobSettings settings;
    settings.stop = signals.token();
    settings.threads = o.threads;
    TerminalUi ui(true);
    int bad = 0;
    for (const std::string& path : o.paths) {
        if (signals.signal()) break;
        try {
            std::printf("%s: %s\n", displayName(path).c_str(), verifiedText(verifyFile(path, o.fast, settings, ui)));
        } catch (...) {
            ++bad;
            std::fflush(stdout);
            ui.showMessage(path, failureText(std::current_exception()));
        }
        std::fflush(stdout);
    }
    if (const int sig = signals.signal()) return 128 + sig;
    return bad ? 1 : 0;
}

// Files left alone because their output exists get their record in list order.
struct RecordingUi : TerminalUi {
    RecordingUi(bool quiet, FileRecords& records) : TerminalUi(quiet), records(records) {}
    void noteSkipped(const std::string& path, const std::string& output) override {
        clearBar();
        records.skipped(path, output);
    }
    FileRecords& records;
};

// The lists of --files-from and --files0-from appended to the paths; the exit
// status when the batch cannot run. Entries that cannot be paths go to `refused`.
std::optional<int> readLists(BatchOptions& o, std::vector<std::string>& refused) {
    for (const auto& [list, nul] : {std::pair{o.filesFrom, o.nullSeparated}, std::pair{o.files0From, true}}) {
        if (list.empty()) continue;
        PathList read = readPathList(list, nul);
        if (!read.unreadable.empty()) {
            std::fprintf(stderr, "rpx: %s %s: %s\n", tr("cannot read the list"), displayName(list).c_str(),
                         read.unreadable.c_str());
            return 2;
        }
        if (!read.usageError.empty()) {
            std::fprintf(stderr, "rpx: %s\n%s\n", read.usageError.c_str(), tr("Run with --help for the options."));
            return 2;
        }
        o.paths.insert(o.paths.end(), std::make_move_iterator(read.paths.begin()),
                       std::make_move_iterator(read.paths.end()));
        refused.insert(refused.end(), read.refused.begin(), read.refused.end());
    }
    return std::nullopt;
}

// --bmp, --png and --tiff-compression shape expanded files only: said once when no
// file of the batch is expanded, rather than ignored.
void warnExpansionOptions(const BatchOptions& o, const FileList& list) {
    if (!o.settings.bmpOutput && !o.settings.pngOutput && o.settings.tiffCompression == TiffCompression::None)
        return;
    for (const std::string& path : list.paths())
        if (classifyPath(path) == FileKind::Expand) return;
    if (o.settings.bmpOutput)
        std::fprintf(stderr, "rpx: %s: %s\n", tr("warning"),
                     tr("--bmp applies only to expansion; no file of this batch is expanded"));
    if (o.settings.pngOutput)
        std::fprintf(stderr, "rpx: %s: %s\n", tr("warning"),
                     tr("--png applies only to expansion; no file of this batch is expanded"));
    if (o.settings.tiffCompression != TiffCompression::None)
        std::fprintf(stderr, "rpx: %s: %s\n", tr("warning"),
                     tr("--tiff-compression applies only to expansion; no file of this batch is expanded"));
}

const char* signalName(int sig) { return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP"; }

int runFiles(BatchOptions& o, const SignalStop& signals) {
    std::vector<std::string> listRefusals;
    if (const auto status = readLists(o, listRefusals)) return *status;
    o.settings.usePreset(kPresets[o.digit]);
    if (o.psnr) o.settings.usePsnrTarget(*o.psnr);
    o.settings.measureQuality = !o.quiet || o.json;

    o.settings.existingOutputs = o.settings.replaceExisting ? ExistingOutputs::Replace
                                 : o.skipExisting           ? ExistingOutputs::Skip
                                                            : ExistingOutputs::Refuse;
    const Direction direction = o.decompress ? Direction::Expand : o.compress ? Direction::Compress : Direction::ByName;
    BatchInputs inputs = gatherInputs(o.paths, o.recursive, o.settings.outputDir, direction);
    sortByName(inputs.list);
    FileRecords records(o.json, o.quiet, o.psnr);
    RecordingUi ui(o.quiet, records);
    ui.onFileMessage = [&records](const std::string& path, const std::string& text) { records.failed(path, text); };
    for (const auto& [path, why] : inputs.refused) ui.showMessage(path, why);
    for (const std::string& why : listRefusals) {
        ui.showMessage("", "rpx: " + why);
        records.entryRefused();
    }
    warnExpansionOptions(o, inputs.list);

    CliProcessor processor(o.settings, inputs, records);
    const BatchResult result = runBatch(inputs.list, processor, ui, signals.token());
    ui.clearBar();
    if (const int sig = signals.signal()) {
        std::fprintf(stderr, "rpx: %s %s: %d %s, %d %s, %d %s\n", tr("stopped by"), signalName(sig), result.succeeded,
                     tr("done"), result.failed, tr("failed or abandoned"), result.notStarted, tr("not started"));
        return 128 + sig;
    }
    if (!o.quiet && inputs.list.count() + inputs.refused.size() + listRefusals.size() > 1)
        std::fprintf(stderr, "%s\n", records.totals().c_str());
    if (result.failed != 0 || !inputs.refused.empty() || !listRefusals.empty()) return 1;
    return records.targetsMissed() ? 3 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    useLocaleTexts();
    // The vector path (KIRUNE_VECTOR, else the CPU's best) is settled once, here.
    activeVectorPath();
    const std::string sub = argc > 1 ? argv[1] : "";
    if (sub == "info") {
        InfoOptions o;
        if (const auto status = parseInfoOptions(argc - 1, argv + 1, o)) return *status;
        return listContainers(o.paths, o.json);
    }
    // Before any thread starts: a signal stops the batch cleanly.
    SignalStop signals;
    if (sub == "verify") {
        VerifyOptions o;
        if (const auto status = parseVerifyOptions(argc - 1, argv + 1, o)) return *status;
        return runVerify(o, signals);
    }
    BatchOptions o;
    o.settings.replaceExisting = false;  // as gzip and zstd: only when forced
    o.settings.stop = signals.token();
    if (const auto status = parseBatchOptions(argc, argv, o)) return *status;
    if (o.compress && o.decompress) {
        std::fprintf(stderr, "rpx: %s\n%s\n", tr("-d and -z exclude each other"), tr("Run with --help for the options."));
        return 2;
    }
    return runFiles(o, signals);
}
