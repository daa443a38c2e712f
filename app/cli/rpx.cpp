// rpx: the batch logic of the dialog from a terminal.
//
//   rpx [OPTIONS] FILE|DIR...
//   rpx info [--json] FILE.rpx...
//   rpx verify [--fast] [-j N] FILE.rpx...
//
// Exit status: 0 when every file succeeded (or was skipped), 1 when any was
// refused or failed, 2 for a usage error, 128 + the signal's number when
// SIGINT, SIGTERM or SIGHUP stopped the batch.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
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
#include "terminal_ui.h"

using namespace kirune;
using namespace kirune::cli;

namespace {

const char* verifiedText(VerifyResult result) {
    switch (result) {
        case VerifyResult::Checked: return "OK";
        case VerifyResult::ContainerChecked: return tr("OK (container checksum)");
        case VerifyResult::StructureChecked: return tr("OK, no checksum stored (every strip decoded)");
        case VerifyResult::LayoutChecked: return tr("OK, no checksum stored (strip layout only)");
    }
    return "OK";
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
            std::printf("%s: %s\n", path.c_str(), verifiedText(verifyFile(path, o.fast, settings, ui)));
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

const char* signalName(int sig) { return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP"; }

int runFiles(BatchOptions& o, const SignalStop& signals) {
    if (!o.filesFrom.empty() && !readPathList(o.filesFrom, o.paths)) {
        std::fprintf(stderr, "rpx: %s %s: %s\n", tr("cannot read the list"), o.filesFrom.c_str(), std::strerror(errno));
        return 2;
    }
    o.settings.usePreset(kPresets[o.digit]);
    if (o.psnr) o.settings.usePsnrTarget(*o.psnr);
    o.settings.measureQuality = !o.quiet || o.json;

    o.settings.existingOutputs = o.settings.replaceExisting ? ExistingOutputs::Replace
                                 : o.skipExisting           ? ExistingOutputs::Skip
                                                            : ExistingOutputs::Refuse;
    const Direction direction = o.decompress ? Direction::Expand : o.compress ? Direction::Compress : Direction::ByName;
    BatchInputs inputs = gatherInputs(o.paths, o.recursive, o.settings.outputDir, direction);
    sortByName(inputs.list);
    FileRecords records(o.json, o.quiet, o.psnr.has_value());
    RecordingUi ui(o.quiet, records);
    ui.onFileMessage = [&records](const std::string& path, const std::string& text) { records.failed(path, text); };
    for (const auto& [path, why] : inputs.refused) ui.showMessage(path, why);

    CliProcessor processor(o.settings, inputs, records);
    const BatchResult result = runBatch(inputs.list, processor, ui, signals.token());
    ui.clearBar();
    if (const int sig = signals.signal()) {
        std::fprintf(stderr, "rpx: %s %s: %d %s, %d %s, %d %s\n", tr("stopped by"), signalName(sig), result.succeeded,
                     tr("done"), result.failed, tr("failed or abandoned"), result.notStarted, tr("not started"));
        return 128 + sig;
    }
    return result.failed == 0 && inputs.refused.empty() ? 0 : 1;
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
