#include "app/core/drivers.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "app/core/driver_support.h"
#include "app/core/failure_text.h"
#include "app/core/output_names.h"
#include "app/core/strip_pipeline.h"
#include "app/core/ui.h"
#include "codec/codec_state.h"
#include "container/image_input.h"
#include "container/messages.h"
#include "container/rpx_container.h"
#include "container/trailer.h"
#include "kirune/Error.h"
#include "kirune/Parallel.h"

namespace kirune {

std::string FileDrivers::outputPath(const std::string& path, FileKind kind) const {
    if (kind == FileKind::Unsupported) return {};
    if (kind == FileKind::Expand && settings_.restoreName) {
        // The name the expansion will take; a container whose trailer cannot
        // be read fails there, so here it has the default name.
        std::optional<Trailer> trailer;
        try {
            const ContainerReader in(path);
            trailer = readTrailer(in.fd(), in.size());
        } catch (...) {
        }
        return expansionName(path, settings_, trailer).path;
    }
    return kind == FileKind::Expand ? expandedName(path, expandedKind(settings_), settings_.outputDir)
                                    : compressedName(path, settings_.qualityDbText, settings_.outputDir);
}

std::shared_ptr<WorkerPool> makeWorkerPool() { return std::make_shared<WorkerPool>(); }

FileDrivers::FileDrivers(JobSettings settings) : settings_(std::move(settings)) {
    if (!settings_.workerPool) settings_.workerPool = makeWorkerPool();
}

int FileDrivers::batchThreads() const { return resolveThreadCount(settings_.threads); }

FileFootprint FileDrivers::footprint(const std::string& path, FileKind kind) const {
    try {
        ImageLayout layout;
        if (kind == FileKind::Expand) {
            layout = openContainer(path).coding.layout;
        } else {
            const auto in = openInputImage(path, inputFormatOf(kind),
                                           InputUse::PixelsOnly);
            layout = computeStripLayout(in->width(), in->height(), settings_.stripBudgetLog2);
        }
        // A worker's planes and streams, and the copy a quality measure keeps.
        const uint64_t perPixel = settings_.measureQuality ? 32 : 26;
        return {layout.stripCount,
                perPixel * static_cast<uint64_t>(layout.paddedWidth) * static_cast<uint64_t>(layout.stripHeight)};
    } catch (...) {
        return {};  // the file runs alone and fails there with its message
    }
}

bool FileDrivers::processOneFile(const std::string& path, FileKind kind, BatchUi& ui) {
    return process(path, kind, ui, settings_) == FileOutcome::Done;
}

bool FileDrivers::processOneFileOn(const std::string& path, FileKind kind, BatchUi& ui, int threads) {
    JobSettings settings = settings_;
    settings.threads = std::max(1, threads);
    return process(path, kind, ui, settings) == FileOutcome::Done;
}

FileOutcome FileDrivers::processFile(const FileTask& task, BatchUi& ui) {
    JobSettings settings = settings_;
    if (task.threads > 0) settings.threads = task.threads;
    settings.replaceExisting = task.replaceExisting;
    return process(task.path, task.kind, ui, settings);
}

FileOutcome FileDrivers::process(const std::string& path, FileKind kind, BatchUi& ui, const JobSettings& settings) {
    try {
        FileReport report = kind == FileKind::Expand ? expandFile(path, settings, ui)
                                                     : compressFile(path, kind, settings, ui);
        // The callback is copied: side by side, it runs after this processor may be gone.
        if (onFileDone) ui.inOrder([done = onFileDone, report = std::move(report)] { done(report); });
        return FileOutcome::Done;
    } catch (const Error& e) {
        ui.setProgress(0);
        // Another run finished the file meanwhile (a racing resume): done, not failed.
        if (settings.existingOutputs == ExistingOutputs::Skip && !settings.replaceExisting &&
            e.message().text == kOutputExistsText)
            return FileOutcome::Skipped;
        ui.showMessage(path, failureText(std::current_exception()));
    } catch (...) {
        ui.setProgress(0);
        ui.showMessage(path, failureText(std::current_exception()));
    }
    return FileOutcome::Failed;
}

}  // namespace kirune