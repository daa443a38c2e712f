#include "app/core/drivers.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "app/core/failure_text.h"
#include "app/core/output_names.h"
#include "app/core/psnr_target.h"
#include "app/core/ui.h"
#include "codec/strip_decoder.h"
#include "codec/transforms.h"
#include "codec/codec_state.h"
#include "container/carried_tags.h"
#include "container/image_input.h"
#include "container/image_output.h"
#include "container/png_output.h"
#include "container/input_file.h"
#include "container/messages.h"
#include "container/rpx_container.h"
#include "container/trailer.h"
#include "encoder/rate_aware_encoder.h"
#include "encoder/strip_encoder.h"
#include "encoder/prepare.h"
#include "kirune/Error.h"
#include "kirune/Parallel.h"

namespace kirune {

namespace {

ExpandedKind expandedKind(const JobSettings& s) {
    return s.bmpOutput ? ExpandedKind::Bmp : s.pngOutput ? ExpandedKind::Png : ExpandedKind::Tiff;
}

InputFormat inputFormatOf(FileKind kind) {
    return kind == FileKind::CompressTiff ? InputFormat::Tiff
           : kind == FileKind::CompressPng ? InputFormat::Png
                                           : InputFormat::Bmp;
}

uint64_t fileSize(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Squared error of one strip's reconstruction against the strip as read,
// over its image pixels, with both sides on the 16-bit scale.
class QualityMeter {
public:
    void keepInput(const StripWork& w) {
        const std::size_t n = w.rPlane.size();
        if (input_[0].size() != n)
            for (auto& p : input_) p.reset(n);
        const BlockPlane* src[3] = {&w.rPlane, &w.gPlane, &w.bPlane};
        for (int c = 0; c < 3; ++c)
            std::copy(src[c]->begin(), src[c]->end(), input_[c].begin());
    }

    // After stripToRgb: w's R, G, B planes hold the reconstruction.
    double stripSquares(const ImageLayout& layout, const StripGeometry& g, const StripWork& w,
                        int inputScale) const {
        const BlockPlane* rec[3] = {&w.rPlane, &w.gPlane, &w.bPlane};
        const int32_t B = g.luma.blocksPerRow;
        double sum = 0.0;
        for (int32_t r = 0; r < g.imageRows; ++r) {
            const int32_t y = g.bufferRows - 1 - r;
            for (int32_t x = 0; x < layout.width; ++x) {
                const std::size_t blk = static_cast<std::size_t>(y >> 2) * B + (x >> 2);
                const int lane = (y & 3) * 4 + (x & 3);
                for (int c = 0; c < 3; ++c) {
                    const double ref = static_cast<double>(input_[c][blk].lane[lane]) * inputScale;
                    const double got = static_cast<uint16_t>((*rec[c])[blk].lane[lane]);
                    sum += (ref - got) * (ref - got);
                }
            }
        }
        return sum;
    }

private:
    BlockPlane input_[3];
};

double psnrOf(double sumSquares, double samples) {
    if (samples == 0) return 0.0;
    const double mse = sumSquares / samples;
    if (mse <= 0.0) return INFINITY;
    return 10.0 * std::log10(65535.0 * 65535.0 / mse);
}

// One worker: its own strip working set and the geometry of the strip it
// works on.
struct StripWorker {
    StripWork work;
    StripGeometry geometry;
    std::unique_ptr<InputImage> input;  // a handle of its own, when strips are read side by side
    StripSection section;
    QualityMeter meter;
    int32_t strip = -1;
    double squares = 0.0;  // the strip's squared error, when measured
    Checksum128 pixels;    // the strip's pixel checksum, when summed
    Checksum128 greyPixels;  // a greyscale input's: its grey checksum

    StripWorker(const FileCoding& file) {
        allocCodecBuffers(work, file.colourSampling, file.layout.paddedWidth, file.layout.stripHeight);
    }
};

// One pool of stream-coding workspaces for all workers, so that threads
// lent to another worker's streams reuse the workspaces of idle workers
// rather than clear fresh ones.
void shareStreamCoders(std::vector<std::unique_ptr<StripWorker>>& workers) {
    for (std::size_t i = 1; i < workers.size(); ++i) workers[i]->section.coders = workers[0]->section.coders;
}

// Runs the strips of a file on the workers. read(w) runs for the strips in
// order, one at a time; work(w) on every worker at once; write(w) again in
// strip order, one at a time, so files are written front to back. The first
// failure stops every worker and is rethrown.
template <class Read, class Work, class Write>
void runStrips(const ImageLayout& layout, std::vector<std::unique_ptr<StripWorker>>& workers,
               const std::stop_token& stop, Read read, Work work, Write write) {
    const int32_t stripCount = layout.stripCount;
    std::mutex readMutex, writeMutex;
    std::condition_variable written;
    int32_t nextRead = 0, nextWrite = 0;
    bool aborted = false;
    const int n = static_cast<int>(workers.size());
    parallelFor(n, n, [&](int i) {
        StripWorker& w = *workers[static_cast<std::size_t>(i)];
        try {
            for (;;) {
                {
                    std::lock_guard lock(readMutex);
                    if (aborted || nextRead >= stripCount) return;
                    if (stop.stop_requested()) throw Interrupted(kInterruptedText);
                    w.strip = nextRead++;
                    w.geometry = beginStrip(layout, w.strip);
                    read(w);
                }
                work(w);
                {
                    std::unique_lock lock(writeMutex);
                    written.wait(lock, [&] { return aborted || nextWrite == w.strip; });
                    if (aborted) return;
                    write(w);
                    ++nextWrite;
                }
                written.notify_all();
            }
        } catch (...) {
            {
                std::scoped_lock lock(readMutex, writeMutex);
                aborted = true;
            }
            written.notify_all();
            throw;
        }
    });
}

// Serialises the drivers' progress reports from the workers: planes finished
// out of three per strip. A stop request ends the work at the next plane.
class ProgressCounter {
public:
    ProgressCounter(BatchUi& ui, int32_t strips, std::stop_token stop)
        : ui_(ui), stop_(std::move(stop)), total_(int64_t{3} * strips) {}
    void planeDone() {
        if (stop_.stop_requested()) throw Interrupted(kInterruptedText);
        std::lock_guard lock(m_);
        ++done_;
        ui_.setProgress(static_cast<int>(done_ * 100 / total_));
        ui_.repaint();
    }

private:
    BatchUi& ui_;
    std::stop_token stop_;
    std::mutex m_;
    int64_t total_;
    int64_t done_ = 0;
};

// What the strip workers' buffers may span together. Each worker holds a
// whole strip's planes and stream buffers (about 26 bytes per padded pixel),
// so past this many cores add memory faster than they add speed, and a
// hostile header cannot multiply its cost by the number of cores.
constexpr uint64_t kWorkerMemoryBudget = uint64_t{1} << 30;

// Strip workers for a file: no more than it has strips or the budget allows;
// the threads left over code each strip's streams side by side.
std::vector<std::unique_ptr<StripWorker>> makeWorkers(const FileCoding& file, int threads) {
    const ImageLayout& l = file.layout;
    const uint64_t perWorker = uint64_t{26} * static_cast<uint64_t>(l.paddedWidth) * static_cast<uint64_t>(l.stripHeight);
    const auto byMemory = static_cast<int>(std::clamp<uint64_t>(kWorkerMemoryBudget / std::max<uint64_t>(perWorker, 1), 1, 1024));
    const int count = std::clamp(std::min(threads, byMemory), 1, std::max<int32_t>(l.stripCount, 1));
    std::vector<std::unique_ptr<StripWorker>> workers;
    for (int i = 0; i < count; ++i) workers.push_back(std::make_unique<StripWorker>(file));
    return workers;
}

// What a finished file produced.
FileReport finishedReport(FileKind kind, const std::string& input, const std::string& output,
                          const ImageLayout& layout) {
    FileReport r;
    r.kind = kind;
    r.input = input;
    r.output = output;
    r.inputBytes = fileSize(input);
    r.outputBytes = fileSize(output);
    r.width = layout.width;
    r.height = layout.height;
    return r;
}

// Hands what was noticed while a file was worked on to the UI once, when the
// file is done or has failed; the same warning from several handles once.
class Warnings {
public:
    Warnings(BatchUi& ui, std::string path) : ui_(ui), path_(std::move(path)) {}
    Warnings(const Warnings&) = delete;
    Warnings& operator=(const Warnings&) = delete;
    ~Warnings() {
        for (const std::string& w : list_) {
            try {
                ui_.showWarning(path_, w);
            } catch (...) {  // a warning never turns into a failure
            }
        }
    }
    void add(const std::vector<std::string>& warnings) {
        for (const std::string& w : warnings)
            if (std::find(list_.begin(), list_.end(), w) == list_.end()) list_.push_back(w);
    }

private:
    BatchUi& ui_;
    std::string path_;
    std::vector<std::string> list_;
};

// Runs `f` when the scope ends, however it ends.
template <class F>
struct AtExit {
    F f;
    ~AtExit() { f(); }
};
template <class F>
AtExit(F) -> AtExit<F>;

OutputOptions outputOptions(const JobSettings& settings, const struct stat& source) {
    OutputOptions o;
    o.replaceExisting = settings.replaceExisting;
    o.source = sourceAttributesOf(source);
    return o;
}

// One compression at a level and sampling. With a finite minPsnr, the output
// is kept only when its PSNR reaches it.
struct Attempt {
    int32_t qualityLevel;
    int32_t colourSampling;
    double minPsnr = -INFINITY;
    bool rateAware = false;
    double lambdaScale = 1.0;
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

// `shared`: the warnings of every coding of the file, so that each shows once.
Outcome compressOnce(const std::string& path, FileKind kind, const JobSettings& settings, const Attempt& attempt,
                     BatchUi& ui, Warnings* shared = nullptr) {
    FileCoding file;
    file.quality = codecParams(attempt.qualityLevel);
    file.colourSampling = attempt.colourSampling;
    const bool measure = settings.measureQuality || std::isfinite(attempt.minPsnr);
    const InputFormat format = inputFormatOf(kind);
    std::unique_ptr<InputImage> in = openInputImage(path, format);
    file.layout = computeStripLayout(in->width(), in->height(), settings.stripBudgetLog2);
    const ImageLayout& layout = file.layout;
    // Checked before the work: a name that cannot be written fails now.
    auto out = std::make_unique<ContainerWriter>(compressedName(path, settings.qualityDbText, settings.outputDir),
                                                 outputOptions(settings, in->fileStatus));
    const int threads = resolveThreadCount(settings.threads);
    auto workers = makeWorkers(file, threads);
    const int streamThreads = std::max<int>(1, threads / static_cast<int>(workers.size()));
    // Threads beyond the workers code each strip's planes and streams side
    // by side. The last strip often ends alone while the other workers idle:
    // it takes every thread, with the stream workspaces the idle ones left.
    shareStreamCoders(workers);
    const auto streamThreadsFor = [&](int32_t strip) {
        return strip + 1 == layout.stripCount ? threads : streamThreads;
    };
    std::optional<Warnings> own;
    Warnings& warnings = shared ? *shared : own.emplace(ui, path);
    const AtExit gather{[&] {
        warnings.add(in->warnings());
        for (const auto& w : workers)
            if (w->input) warnings.add(w->input->warnings());
    }};
    // Decoding the input is much of a compression's serial work; where a
    // handle can start at any strip cheaply, every worker reads its own.
    if (workers.size() > 1 && in->readsRunsCheaply(layout.stripHeight))
        for (auto& w : workers) {
            w->input = openInputImage(path, format, InputUse::PixelsOnly);
            if (identityOf(w->input->fileStatus) != identityOf(in->fileStatus))
                throw Error(kInputReadText, "the file was replaced while it was read");
        }
    const RgbInput units =
        in->bitsPerSample() == 16 ? RgbInput::Native12 : RgbInput::Eight;
    const int inputScale = units == RgbInput::Native12 ? 16 : 256;

    writeContainerHeader(*out, file, in->metadata);
    ui.setProgress(5);
    ui.repaint();

    ProgressCounter progress(ui, layout.stripCount, settings.stop);
    double sumSquares = 0.0;
    std::vector<Checksum128> stripSums, greySums;
    runStrips(
        layout, workers, settings.stop,
        [&](StripWorker& w) {
            if (!w.input) readInputStrip(*in, layout, w.strip, w.work);
        },
        [&](StripWorker& w) {
            StripWork& sw = w.work;
            if (w.input) readInputStrip(*w.input, layout, w.strip, sw);
            if (measure) w.meter.keepInput(sw);
            const int spareThreads = streamThreadsFor(w.strip);
            if (attempt.rateAware)
                encodeStripRateAware(file.quality, w.geometry, sw, units, [&] { progress.planeDone(); },
                                     {attempt.lambdaScale, nullptr, spareThreads});
            else
                encodeStrip(file.quality, w.geometry, sw, units, {[&] { progress.planeDone(); }, spareThreads});
            encodeStripSection(sw.streams, w.section, spareThreads);
            clearSideStreams(sw.streams);
            // The reconstruction the decoder will rebuild, summed for the trailer.
            stripToRgb(w.geometry, sw);
            w.pixels = stripPixelChecksum(layout, w.strip, sw);
            // A grey picture is measured as its expansion writes it.
            if (in->metadata.grey) w.greyPixels = greyStripPlanes(layout, w.strip, sw);
            if (measure) w.squares = w.meter.stripSquares(layout, w.geometry, sw, inputScale);
        },
        [&](StripWorker& w) {
            appendStripSection(*out, w.section);
            sumSquares += w.squares;  // in strip order, so the figure does not depend on threads
            stripSums.push_back(w.pixels);
            greySums.push_back(w.greyPixels);
        });
    Outcome done;
    if (measure) done.report.psnr = psnrOf(sumSquares, 3.0 * layout.width * layout.height);
    done.report.qualityLevel = attempt.qualityLevel;
    done.report.colourSampling = attempt.colourSampling;
    ui.setProgress(0);
    if (done.report.psnr < attempt.minPsnr) return done;  // the writer removes what it wrote
    in->readMetadataAfterPixels();
    Trailer trailer;
    trailer.pixels = pixelChecksum(stripSums);
    trailer.carriedTags = in->metadata.carriedTags;
    if (settings.storeInputName)
        trailer.inputName = InputName{path.substr(path.rfind('/') + 1), in->fileStatus.st_mtim.tv_sec,
                                      static_cast<uint32_t>(in->fileStatus.st_mtim.tv_nsec)};
    // Containers of TIFFs and BMPs keep the trailer they always had, byte for
    // byte; the formats that came later say what they were.
    if (in->format() == InputFormat::Png || in->metadata.grey)
        trailer.source = SourceImage{in->format() == InputFormat::Png ? SourceFormat::Png : SourceFormat::Tiff,
                                     static_cast<uint8_t>(in->bitsPerSample())};
    if (in->metadata.grey) trailer.grey = GreySource{in->metadata.grey->photometric, pixelChecksum(greySums)};
    trailer.pngChunks = in->metadata.pngChunks;
    appendTrailer(*out, std::move(trailer));

    FileReport report = finishedReport(kind, path, out->path(), layout);
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
Outcome codeToTarget(const std::string& path, FileKind kind, const JobSettings& settings, const PsnrChoice& choice,
                     bool rateAware, BatchUi& ui, Warnings& warnings) {
    const double target = settings.targetPsnr;
    const double minPsnr = choice.reachable ? target : -INFINITY;
    Attempt attempt{choice.qualityLevel, choice.colourSampling, minPsnr, choice.rateAware, choice.lambdaScale};
    if (choice.nearMissLevel > 0) {
        Outcome o = compressOnce(path, kind, settings, {choice.nearMissLevel, choice.colourSampling, target, rateAware},
                                 ui, &warnings);
        if (o.pending) return o;
    }
    for (;;) {
        Outcome o = compressOnce(path, kind, settings, attempt, ui, &warnings);
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
    Outcome o = codeToTarget(path, kind, settings, choice, settings.rateAware, ui, warnings);
    if (settings.rateAware) {
        Outcome cascade = codeToTarget(path, kind, settings, cascadeChoice, false, ui, warnings);
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
    Outcome o = compressOnce(path, kind, settings,
                             {settings.qualityLevel, settings.colourSampling, -INFINITY, settings.rateAware}, ui);
    return commitOutcome(o);
}

namespace {

// Where an expansion goes: with settings.restoreName, under the input name
// the trailer stored, when there is a usable one; `warning` says why not.
struct ExpansionName {
    std::string path;
    std::optional<InputName> restored;
    std::string warning;
};
ExpansionName expansionName(const std::string& path, const JobSettings& settings, const std::optional<Trailer>& trailer) {
    ExpansionName e;
    e.path = expandedName(path, expandedKind(settings), settings.outputDir);
    if (!settings.restoreName) return e;
    if (!trailer || !trailer->inputName) {
        e.warning = "the container stores no input name (written before names were kept): the default name is used";
        return e;
    }
    if (const char* problem = storedNameProblem(trailer->inputName->name)) {
        e.warning = std::string("the stored input name is not a plain file name (") + problem +
                    "): the default name is used";
        return e;
    }
    e.path = restoredName(path, trailer->inputName->name, expandedKind(settings), settings.outputDir);
    e.restored = trailer->inputName;
    return e;
}

enum class ExpandTo { Tiff, Bmp, Png, Nothing };

// The bits per sample of the container's input: 16 unless its trailer says 8.
// Only containers of PNGs and grey inputs say so (those of RGB TIFFs and
// BMPs keep the trailer they always had): theirs expand to 16 bits.
int sourceBits(const std::optional<Trailer>& trailer) {
    return trailer && trailer->source && trailer->source->bitsPerSample == 8 ? 8 : 16;
}

struct Expansion {
    FileReport report;
    bool containerChecked = false;  // its stored container checksum matched
    bool pixelsChecked = false;     // its stored pixel checksum matched
    bool layoutWalked = false;      // containerOnly: the strips' tables led to the end
};

// Expands a container into a TIFF, a BMP or nothing (verification). With a
// trailer, the container checksum is checked before any output exists and
// the pixel checksum before the output is committed; `containerOnly` stops
// after the first.
Expansion expandContainer(const std::string& path, const JobSettings& settings, BatchUi& ui, ExpandTo to,
                          bool containerOnly = false) {
    const OpenedContainer opened = openContainer(path);
    ContainerReader& in = *opened.reader;
    const ImageMetadata& meta = opened.meta;
    const FileCoding& file = opened.coding;
    const ImageLayout& layout = file.layout;
    const std::optional<Trailer>& trailer = opened.trailer;
    Expansion result;
    if (trailer) {
        if (trailer->container && checksumOfFile(in.fd(), trailer->offset) != *trailer->container)
            throwDamaged("container checksum does not match");
        result.containerChecked = trailer->container.has_value();
        checkCarriedTags(trailer->carriedTags);
    }
    if (containerOnly) {
        // Without a container checksum, the strips' tables at least must lead exactly
        // to the end of the file.
        if (!result.containerChecked) {
            for (int32_t k = 0; k < layout.stripCount; ++k) skipStripSection(in);
            if (in.remaining() != 0) throw Error(kDamagedFileText);
            result.layoutWalked = true;
        }
        return result;
    }

    Warnings warnings(ui, path);
    // Created before the work: a name that cannot be written fails now.
    const ExpansionName name = to == ExpandTo::Nothing ? ExpansionName{} : expansionName(path, settings, trailer);
    if (!name.warning.empty()) warnings.add({name.warning});
    const std::string& outputPath = name.path;
    std::unique_ptr<TiffOutput> tiff;
    std::unique_ptr<BmpOutput> bmp;
    std::unique_ptr<PngOutput> png;
    OutputOptions options = outputOptions(settings, in.status());
    // As gzip -N: the input's own time rather than the container's.
    if (name.restored && options.source)
        options.source->modified = {static_cast<time_t>(name.restored->modifiedSeconds),
                                    static_cast<long>(name.restored->modifiedNanoseconds)};
    if (to == ExpandTo::Bmp)
        bmp = std::make_unique<BmpOutput>(outputPath, layout, options, meta);
    else if (to == ExpandTo::Tiff)
        tiff = openTiffOutput(outputPath, layout, meta, options, settings.tiffCompression);
    else if (to == ExpandTo::Png)
        // As many bits as the input had: an 8-bit picture stays 8-bit.
        png = std::make_unique<PngOutput>(outputPath, layout, sourceBits(trailer), meta, options);
    const AtExit gather{[&] {
        if (tiff) warnings.add(tiff->warnings());
        if (png) warnings.add(png->warnings());
    }};
    const int threads = resolveThreadCount(settings.threads);
    auto workers = makeWorkers(file, threads);
    const int streamThreads = std::max<int>(1, threads / static_cast<int>(workers.size()));
    // A grey picture is checked by its grey checksum, summed as the planes
    // are made grey for the writers.
    const std::optional<GreySource> grey = trailer ? trailer->grey : std::nullopt;
    const bool sumPixels = trailer && (trailer->pixels || grey);
    std::vector<Checksum128> stripSums;

    ProgressCounter progress(ui, layout.stripCount, settings.stop);
    runStrips(
        layout, workers, settings.stop,
        [&](StripWorker& w) { readStripSection(in, w.work.streams, w.section); },
        [&](StripWorker& w) {
            StripWork& sw = w.work;
            expandStripSection(w.section, sw.streams, streamThreads);
            decodeStrip(file.quality, w.geometry, sw, [&] { progress.planeDone(); });
            stripToRgb(w.geometry, sw);
            // A TIFF's rows are summed as they are written, at no extra cost.
            if (grey) w.pixels = greyStripPlanes(layout, w.strip, sw);
            else if (sumPixels && !tiff) w.pixels = stripPixelChecksum(layout, w.strip, sw);
            clearSideStreams(sw.streams);
        },
        [&](StripWorker& w) {
            if (tiff)
                writeTiffStrip(*tiff, layout, w.strip, w.work, sumPixels && !grey ? &w.pixels : nullptr);
            else if (bmp)
                writeBmpStrip(*bmp, layout, w.strip, w.work);
            else if (png)
                writePngStrip(*png, layout, w.strip, w.work);
            stripSums.push_back(w.pixels);
        });
    if (in.remaining() != 0) throw Error(kDamagedFileText);
    if (sumPixels && pixelChecksum(stripSums) != (grey ? grey->pixels : *trailer->pixels))
        throwDamaged("pixel checksum does not match");
    result.pixelsChecked = sumPixels;
    if (tiff)
        finishTiffOutput(*tiff);
    else if (bmp)
        bmp->commit();
    else if (png)
        png->commit();
    ui.setProgress(0);
    result.report = finishedReport(FileKind::Expand, path, outputPath, layout);
    return result;
}

}  // namespace

FileReport expandFile(const std::string& path, const JobSettings& settings, BatchUi& ui) {
    const ExpandTo to = settings.bmpOutput ? ExpandTo::Bmp : settings.pngOutput ? ExpandTo::Png : ExpandTo::Tiff;
    return expandContainer(path, settings, ui, to).report;
}

VerifyResult verifyFile(const std::string& path, bool fast, const JobSettings& settings, BatchUi& ui) {
    const Expansion e = expandContainer(path, settings, ui, ExpandTo::Nothing, fast);
    return {e.containerChecked, e.pixelsChecked, !fast, e.layoutWalked};
}

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
