#include "app/core/drivers.h"

#include <cmath>
#include <memory>
#include <optional>

#include "app/core/driver_support.h"
#include "app/core/output_names.h"
#include "app/core/psnr_target.h"
#include "app/core/strip_pipeline.h"
#include "app/core/ui.h"
#include "container/image_input.h"
#include "container/input_file.h"
#include "container/messages.h"
#include "container/rpx_container.h"
#include "container/trailer.h"
#include "encoder/prepare.h"
#include "kirune/Error.h"
#include "kirune/Parallel.h"

namespace kirune {

namespace {

// One compression at a level and sampling. With a finite minPsnr, the output
// is kept only when its PSNR reaches it.
struct Attempt {
    int32_t qualityLevel;
    int32_t colourSampling;
    double minPsnr = -INFINITY;
    bool rateAware = false;
    double lambdaScale = 1.0;
    bool meetCascade = false;  // rate-aware under the cascade's error at the level
};

// A compression's figures and, when it reached its minPsnr, the container
// written, not yet in place (the caller commits it, or drops it for a smaller).
struct Outcome {
    FileReport report;
    std::unique_ptr<ContainerWriter> pending;
};

// Puts an outcome's container in place and completes its report.
FileReport commitOutcome(Outcome& o) {
    o.pending->commit();
    o.report.outputBytes = fileSize(o.pending->path());
    return o.report;
}

// One input file's compression: what every coding of it shares.
struct CompressionJob {
    const std::string& path;
    FileKind kind;
    const JobSettings& settings;
    BatchUi& ui;
};

// Decoding the input is much of a compression's serial work; where a handle
// can start at any strip cheaply, every worker reads its own.
void openWorkerInputs(std::vector<std::unique_ptr<StripWorker>>& workers, const std::string& path, InputImage& in,
                      int32_t stripHeight) {
    if (workers.size() <= 1 || !in.readsRunsCheaply(stripHeight)) return;
    for (auto& w : workers) {
        w->input = openInputImage(path, in.format(), InputUse::PixelsOnly);
        if (identityOf(w->input->fileStatus) != identityOf(in.fileStatus))
            throw Error(kInputReadText, "the file was replaced while it was read");
    }
}

// What coding a file's strips gave besides the streams written.
struct CodedStrips {
    double sumSquares = 0.0;  // when measured
    std::vector<Checksum128> stripSums, greySums;
};

// Codes every strip of `in` on the workers and appends them to `out` in order.
CodedStrips codeStrips(const CompressionJob& job, InputImage& in, std::vector<std::unique_ptr<StripWorker>>& workers,
                       const ImageLayout& layout, const StripCoding& coding, ContainerWriter& out) {
    const int threads = resolveThreadCount(job.settings.threads);
    const int streamThreads = std::max<int>(1, threads / static_cast<int>(workers.size()));
    // Threads beyond the workers code each strip's planes and streams side
    // by side. The last strip often ends alone while the other workers idle:
    // it takes every thread, with the stream workspaces the idle ones left.
    shareStreamCoders(workers, threads);
    const auto streamThreadsFor = [&](int32_t strip) {
        return strip + 1 == layout.stripCount ? threads : streamThreads;
    };
    ProgressCounter progress(job.ui, layout.stripCount, job.settings.stop);
    CodedStrips coded;
    runStrips(
        layout, workers, job.settings.stop,
        [&](StripWorker& w) {
            if (!w.input) readInputStrip(in, layout, w.strip, w.work);
        },
        [&](StripWorker& w) {
            if (w.input) readInputStrip(*w.input, layout, w.strip, w.work);
            codeStrip(w, layout, coding, streamThreadsFor(w.strip), [&] { progress.planeDone(); });
        },
        [&](StripWorker& w) {
            appendStripSection(out, w.section);
            coded.sumSquares += w.squares;  // in strip order, so the figure does not depend on threads
            coded.stripSums.push_back(w.pixels);
            coded.greySums.push_back(w.greyPixels);
        });
    return coded;
}

// The trailer of a container of `in`, whose strips gave `coded`.
Trailer compressionTrailer(const CompressionJob& job, const InputImage& in, const CodedStrips& coded) {
    Trailer trailer;
    trailer.pixels = pixelChecksum(coded.stripSums);
    trailer.carriedTags = in.metadata.carriedTags;
    if (job.settings.storeInputName)
        trailer.inputName = InputName{job.path.substr(job.path.rfind('/') + 1), in.fileStatus.st_mtim.tv_sec,
                                      static_cast<uint32_t>(in.fileStatus.st_mtim.tv_nsec)};
    // Containers of 16-bit RGB TIFFs keep the trailer they always had, byte
    // for byte; the others say what they were, so that a PNG expansion keeps
    // an 8-bit picture 8-bit.
    if (in.format() != InputFormat::Tiff || in.metadata.grey || in.bitsPerSample() == 8)
        trailer.source = SourceImage{in.format() == InputFormat::Png   ? SourceFormat::Png
                                     : in.format() == InputFormat::Bmp ? SourceFormat::Bmp
                                                                       : SourceFormat::Tiff,
                                     static_cast<uint8_t>(in.bitsPerSample())};
    if (in.metadata.grey) trailer.grey = GreySource{in.metadata.grey->photometric, pixelChecksum(coded.greySums)};
    trailer.pngChunks = in.metadata.pngChunks;
    return trailer;
}

// `shared`: the warnings of every coding of the file, so that each shows once.
Outcome compressOnce(const CompressionJob& job, const Attempt& attempt, Warnings* shared = nullptr) {
    const JobSettings& settings = job.settings;
    FileCoding file;
    file.quality = codecParams(attempt.qualityLevel);
    file.colourSampling = attempt.colourSampling;
    std::unique_ptr<InputImage> in = openInputImage(job.path, inputFormatOf(job.kind));
    file.layout = computeStripLayout(in->width(), in->height(), settings.stripBudgetLog2);
    const ImageLayout& layout = file.layout;
    // Checked before the work: a name that cannot be written fails now.
    auto out = std::make_unique<ContainerWriter>(compressedName(job.path, settings.qualityDbText, settings.outputDir),
                                                 outputOptions(settings, in->fileStatus));
    FileWorkers workers(file, resolveThreadCount(settings.threads), settings.workerPool.get());
    std::optional<Warnings> own;
    Warnings& warnings = shared ? *shared : own.emplace(job.ui, job.path);
    const AtExit gather{[&] {
        warnings.add(in->warnings());
        for (const auto& w : *workers)
            if (w->input) warnings.add(w->input->warnings());
    }};
    openWorkerInputs(*workers, job.path, *in, layout.stripHeight);
    StripCoding coding{file.quality, in->bitsPerSample() == 16 ? RgbInput::Native12 : RgbInput::Eight,
                       attempt.rateAware, attempt.lambdaScale};
    coding.measure = settings.measureQuality || std::isfinite(attempt.minPsnr);
    coding.checksum = true;
    coding.meetCascade = attempt.meetCascade;
    coding.grey = in->metadata.grey.has_value();

    writeContainerHeader(*out, file, in->metadata);
    job.ui.setProgress(5);
    job.ui.repaint();
    const CodedStrips coded = codeStrips(job, *in, *workers, layout, coding, *out);
    workers.done();
    Outcome done;
    if (coding.measure) done.report.psnr = psnrOf(coded.sumSquares, 3.0 * layout.width * layout.height);
    done.report.qualityLevel = attempt.qualityLevel;
    done.report.colourSampling = attempt.colourSampling;
    job.ui.setProgress(0);
    if (done.report.psnr < attempt.minPsnr) return done;  // the writer removes what it wrote
    in->readMetadataAfterPixels();
    appendTrailer(*out, compressionTrailer(job, *in, coded));

    FileReport report = finishedReport(job.kind, job.path, out->path(), layout);
    report.psnr = done.report.psnr;
    report.qualityLevel = attempt.qualityLevel;
    report.colourSampling = attempt.colourSampling;
    done.report = report;
    done.pending = std::move(out);
    return done;
}

// The next coding to try after `a` fell `shortfallDb` short: a finer level,
// then 4:4:4, then the rate-aware coder at level 1 with lambda halved, and at
// the end of that scale the finest coding, written whatever it reaches.
Attempt finerAttempt(Attempt a, double shortfallDb) {
    if (a.qualityLevel > 1) {
        a.qualityLevel = finerQualityLevel(a.qualityLevel, shortfallDb);
    } else if (a.colourSampling != Sampling444) {
        a.colourSampling = Sampling444;
    } else if (!a.rateAware || a.lambdaScale > std::exp2(-kMaxLambdaHalvings)) {
        a.lambdaScale = a.rateAware ? a.lambdaScale / 2 : 0.5;
        a.rateAware = true;
    } else {
        a.minPsnr = -INFINITY;
    }
    return a;
}

// The whole image coded as the trials chose, and coded again finer should it
// fall short of the target; not yet committed.
Outcome codeToTarget(const CompressionJob& job, const PsnrChoice& choice, bool rateAware, Warnings& warnings) {
    const double target = job.settings.targetPsnr;
    const double minPsnr = choice.reachable ? target : -INFINITY;
    Attempt attempt{choice.qualityLevel, choice.colourSampling, minPsnr, choice.rateAware, choice.lambdaScale};
    if (choice.nearMissLevel > 0) {
        Outcome o = compressOnce(job, {choice.nearMissLevel, choice.colourSampling, target, rateAware}, &warnings);
        if (o.pending) return o;
    }
    for (;;) {
        Outcome o = compressOnce(job, attempt, &warnings);
        if (o.pending) return o;
        attempt = finerAttempt(attempt, target - o.report.psnr);
    }
}

// Of two codings, the one to write: the smaller of those that reach the
// target, else the nearer to it.
bool better(const Outcome& a, const Outcome& b, double target) {
    const bool aReached = a.report.psnr >= target, bReached = b.report.psnr >= target;
    if (aReached != bReached) return aReached;
    if (!aReached) return a.report.psnr > b.report.psnr;
    return a.pending->end() < b.pending->end();
}

// Trials on row bands choose the level and sampling; the whole image is then
// coded. The rate-aware coder usually needs fewer bytes for a target than the
// cascade, but not on every picture (fine grain, some textures): with it, the
// cascade's coding is made too and the smaller kept, so that --rdo never costs
// bytes.
FileReport compressToTarget(const std::string& path, FileKind kind, const JobSettings& settings, BatchUi& ui) {
    const double target = settings.targetPsnr;
    if (!std::isfinite(target)) throw Error("PSNR target must be a number of dB");
    PsnrChoice choice, cascadeChoice;
    {
        const InputFormat format = inputFormatOf(kind);
        std::unique_ptr<InputImage> in = openInputImage(path, format, InputUse::PixelsOnly);
        // A name that cannot be written fails before the trials, not after.
        {
            const ContainerWriter probe(compressedName(path, settings.qualityDbText, settings.outputDir),
                                        outputOptions(settings, in->fileStatus));
        }
        const HeldImage held = holdRows(*in, trialRows(in->width(), in->height()));
        const int threads = resolveThreadCount(settings.threads);
        choice = choosePsnrCoding(held, target, {settings.rateAware, 1.0, threads, settings.stop});
        if (settings.rateAware) cascadeChoice = choosePsnrCoding(held, target, {false, 1.0, threads, settings.stop});
    }
    Warnings warnings(ui, path);
    const CompressionJob job{path, kind, settings, ui};
    Outcome o = codeToTarget(job, choice, settings.rateAware, warnings);
    if (settings.rateAware) {
        Outcome cascade = codeToTarget(job, cascadeChoice, false, warnings);
        if (better(cascade, o, target)) o = std::move(cascade);
    }
    FileReport report = commitOutcome(o);
    report.targetMissed = report.psnr < target;
    if (report.targetMissed)
        warnings.add({"PSNR target of " + psnrNameFigure(target) + " dB not reached; the finest coding gives " +
                      psnrNameFigure(report.psnr) + " dB"});
    return report;
}
}  // namespace

void JobSettings::usePsnrTarget(double db) {
    targetPsnr = db;
    qualityDbText = psnrNameFigure(db);
}

FileReport compressFile(const std::string& path, FileKind kind, const JobSettings& settings,
                        BatchUi& ui) {
    if (settings.targetPsnr > 0.0 || std::isnan(settings.targetPsnr)) return compressToTarget(path, kind, settings, ui);
    Outcome o = compressOnce({path, kind, settings, ui},
                             {settings.qualityLevel, settings.colourSampling, -INFINITY, settings.rateAware, 1.0,
                              settings.rateAware});
    return commitOutcome(o);
}

}  // namespace kirune
