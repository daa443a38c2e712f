#pragma once
// The strip pipeline that compression, the PSNR-target trials, expansion
// and verification share: strip workers with their working sets, the run
// that reads, works on and writes strips in order, progress, the coding of
// a strip with its reconstruction and squared error, and the decoding of a
// container's strips.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <vector>

#include "codec/codec_state.h"
#include "container/image_input.h"
#include "container/messages.h"
#include "container/rpx_container.h"
#include "container/trailer.h"
#include "encoder/prepare.h"
#include "kirune/Error.h"
#include "kirune/Parallel.h"

namespace kirune {

class BatchUi;

// Squared error of one strip's reconstruction against the strip as read,
// over its image pixels, with both sides on the 16-bit scale.
class QualityMeter {
public:
    void keepInput(const StripWork& w);
    // After stripToRgb: w's R, G, B planes hold the reconstruction.
    double stripSquares(const ImageLayout& layout, const StripGeometry& g, const StripWork& w,
                        int inputScale) const;

private:
    BlockPlane input_[3];
};

// RGB PSNR (16-bit peak) of a squared-error sum over `samples` samples:
// infinite for no error, and 0 when nothing was measured, so that an empty
// measure never passes for one that reaches a target.
double psnrOf(double sumSquares, double samples);

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
// rather than clear fresh ones; no more of them than the `threads` that
// can code at once.
void shareStreamCoders(std::vector<std::unique_ptr<StripWorker>>& workers, int threads);

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
    void planeDone();

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

// How many strip workers a file gets: no more than it has strips or the
// budget allows; the threads left over code each strip's streams side by side.
int workerCount(const FileCoding& file, int threads);
std::vector<std::unique_ptr<StripWorker>> makeWorkers(const FileCoding& file, int threads);

// Strip workers kept from file to file by whoever runs a batch, so that files
// of one size work in pages already mapped and touched: the kernel clearing
// a fresh working set's pages is a tenth of a rich picture's expansion.
// Workers of another size are dropped when a file takes workers, so what is
// kept never adds to what the files at work hold.
class WorkerPool {
public:
    // Up to `count` kept workers that fit `file`.
    std::vector<std::unique_ptr<StripWorker>> take(const FileCoding& file, int count);
    void keep(std::vector<std::unique_ptr<StripWorker>>& workers);

private:
    std::mutex m_;
    std::vector<std::unique_ptr<StripWorker>> kept_;
};

// Strip workers for one file (workerCount of them), taken from `pool` when it
// has some that fit. They go back to it only when the file ends well
// (done()): a failure may leave their streams unclear.
class FileWorkers {
public:
    FileWorkers(const FileCoding& file, int threads, WorkerPool* pool = nullptr);
    ~FileWorkers();
    FileWorkers(const FileWorkers&) = delete;
    FileWorkers& operator=(const FileWorkers&) = delete;

    std::vector<std::unique_ptr<StripWorker>>& operator*() { return workers_; }
    std::vector<std::unique_ptr<StripWorker>>* operator->() { return &workers_; }
    void done() { done_ = true; }

private:
    std::vector<std::unique_ptr<StripWorker>> workers_;
    WorkerPool* pool_;
    bool done_ = false;
};


// How the strips of a compression, or of a trial, are coded.
struct StripCoding {
    QualityParams quality;
    RgbInput units = RgbInput::Native12;  // of the planes as read
    bool rateAware = false;
    double lambdaScale = 1.0;  // of the rate-aware coder
    bool measure = false;      // squared error into StripWorker::squares
    bool checksum = false;     // pixel checksum into StripWorker::pixels
    bool meetCascade = false;  // rate-aware under the cascade's error at the level
    bool grey = false;         // planes made grey as expansion writes them, summed into greyPixels
};

// Codes the strip `w` holds as read: its streams into w.section (which
// refers to w's streams until the next strip is coded), and the
// reconstruction the decoder will rebuild into its R, G, B planes, summed
// and measured as `c` asks. `threads` code its planes and streams side by side.
void codeStrip(StripWorker& w, const ImageLayout& layout, const StripCoding& c, int threads,
               const PlaneProgress& planeDone);

// Checks what a container's trailer lets be checked before its strips are
// read: the container checksum, when stored (returns whether it was), and
// the carried tags. Throws the damaged-file error.
bool checkTrailer(const OpenedContainer& c);

// Steps over every strip's table; they must lead exactly to the end of the file.
void walkStripTables(const OpenedContainer& c);

// Where decoded strips go, in strip order.
class StripSink {
public:
    virtual ~StripSink() = default;
    // True: write() sums the strip's pixels from the rows as it writes them.
    virtual bool sumsAsWritten() const { return false; }
    virtual void write(const ImageLayout& layout, int32_t strip, const StripWork& w, Checksum128* sum) = 0;
};

// Decodes every strip of `c` into `sink` (null: decoded and dropped), on up
// to `threads` threads with progress to `ui`. The strips must end where the
// trailer begins, and their pixels match its checksum when it stores one;
// returns whether it did. Throws the damaged-file error. Workers come from
// `pool` when given.
bool decodeStrips(const OpenedContainer& c, StripSink* sink, int threads, BatchUi& ui, const std::stop_token& stop,
                  WorkerPool* pool = nullptr);

}  // namespace kirune
