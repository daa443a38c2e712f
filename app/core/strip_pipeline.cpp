#include "app/core/strip_pipeline.h"

#include <algorithm>
#include <cmath>

#include "app/core/ui.h"
#include "lossless/block_sort_coder.h"
#include "codec/strip_decoder.h"
#include "codec/transforms.h"
#include "container/carried_tags.h"
#include "encoder/rate_aware_encoder.h"
#include "encoder/strip_encoder.h"

namespace kirune {

void QualityMeter::keepInput(const StripWork& w) {
    const std::size_t n = w.rPlane.size();
    if (input_[0].size() != n)
        for (auto& p : input_) p.reset(n);
    const BlockPlane* src[3] = {&w.rPlane, &w.gPlane, &w.bPlane};
    for (int c = 0; c < 3; ++c)
        std::copy(src[c]->begin(), src[c]->end(), input_[c].begin());
}

double QualityMeter::stripSquares(const ImageLayout& layout, const StripGeometry& g, const StripWork& w,
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

double psnrOf(double sumSquares, double samples) {
    if (samples == 0) return 0.0;
    const double mse = sumSquares / samples;
    if (mse <= 0.0) return INFINITY;
    return 10.0 * std::log10(65535.0 * 65535.0 / mse);
}

void shareStreamCoders(std::vector<std::unique_ptr<StripWorker>>& workers, int threads) {
    const auto coders = std::make_shared<BlockSortWorkspaces>(threads);
    for (auto& w : workers) w->section.coders = coders;
}

void ProgressCounter::planeDone() {
    if (stop_.stop_requested()) throw Interrupted(kInterruptedText);
    std::lock_guard lock(m_);
    ++done_;
    ui_.setProgress(static_cast<int>(done_ * 100 / total_));
    ui_.repaint();
}

namespace {

bool fits(const StripWorker& w, const FileCoding& file) {
    return w.work.colourSampling == file.colourSampling && w.work.allocWidth == file.layout.paddedWidth &&
           w.work.allocHeight == file.layout.stripHeight;
}

}  // namespace

std::vector<std::unique_ptr<StripWorker>> WorkerPool::take(const FileCoding& file, int count) {
    std::vector<std::unique_ptr<StripWorker>> taken, dropped;
    std::lock_guard lock(m_);
    for (auto& w : kept_)
        (fits(*w, file) && static_cast<int>(taken.size()) < count ? taken : dropped).push_back(std::move(w));
    kept_.clear();
    // Those of the file's size beyond `count` stay for the files beside it.
    for (auto& w : dropped)
        if (fits(*w, file)) kept_.push_back(std::move(w));
    return taken;
}

void WorkerPool::keep(std::vector<std::unique_ptr<StripWorker>>& workers) {
    for (auto& w : workers) {
        w->input.reset();
        w->strip = -1;
        clearSideStreams(w->work.streams);  // a compression's last strip leaves them filled
        // Only a strip coded on several threads fills these; kept, every
        // worker would come to hold a touched pair.
        w->work.planeStreams = {};
        w->section.coders = std::make_shared<BlockSortWorkspaces>();
    }
    std::lock_guard lock(m_);
    for (auto& w : workers) kept_.push_back(std::move(w));
    workers.clear();
}

int workerCount(const FileCoding& file, int threads) {
    const ImageLayout& l = file.layout;
    const uint64_t perWorker = uint64_t{26} * static_cast<uint64_t>(l.paddedWidth) * static_cast<uint64_t>(l.stripHeight);
    const auto byMemory = static_cast<int>(std::clamp<uint64_t>(kWorkerMemoryBudget / std::max<uint64_t>(perWorker, 1), 1, 1024));
    return std::clamp(std::min(threads, byMemory), 1, std::max<int32_t>(l.stripCount, 1));
}

std::vector<std::unique_ptr<StripWorker>> makeWorkers(const FileCoding& file, int threads) {
    std::vector<std::unique_ptr<StripWorker>> workers;
    for (int i = workerCount(file, threads); i > 0; --i) workers.push_back(std::make_unique<StripWorker>(file));
    return workers;
}

FileWorkers::FileWorkers(const FileCoding& file, int threads, WorkerPool* pool) : pool_(pool) {
    const int count = workerCount(file, threads);
    if (pool_) workers_ = pool_->take(file, count);
    while (static_cast<int>(workers_.size()) < count) workers_.push_back(std::make_unique<StripWorker>(file));
}

FileWorkers::~FileWorkers() {
    if (pool_ && done_) pool_->keep(workers_);
}

void codeStrip(StripWorker& w, const ImageLayout& layout, const StripCoding& c, int threads,
               const PlaneProgress& planeDone) {
    StripWork& sw = w.work;
    // The last strip's streams stay until its section is written, which
    // refers to them.
    clearSideStreams(sw.streams);
    if (c.measure) w.meter.keepInput(sw);
    if (c.rateAware)
        encodeStripRateAware(c.quality, w.geometry, sw, c.units, planeDone, {c.lambdaScale, nullptr, threads, c.meetCascade});
    else
        encodeStrip(c.quality, w.geometry, sw, c.units, {planeDone, threads});
    // The reconstruction the decoder will rebuild, summed for the trailer.
    // It needs only the planes, so on several threads it is made while the
    // streams are coded, beside the longest of them.
    const auto reconstruct = [&] {
        stripToRgb(w.geometry, sw);
        if (c.checksum) w.pixels = stripPixelChecksum(layout, w.strip, sw);
        // A grey picture is measured as its expansion writes it.
        if (c.grey) w.greyPixels = greyStripPlanes(layout, w.strip, sw);
        if (c.measure)
            w.squares = w.meter.stripSquares(layout, w.geometry, sw, c.units == RgbInput::Native12 ? 16 : 256);
    };
    if (threads > 1) {
        encodeStripSection(sw.streams, w.section, threads, reconstruct);
    } else {
        encodeStripSection(sw.streams, w.section);
        reconstruct();
    }
}

bool checkTrailer(const OpenedContainer& c) {
    if (!c.trailer) return false;
    checkContainerChecksum(c);
    checkCarriedTags(c.trailer->carriedTags);
    return c.trailer->container.has_value();
}

void walkStripTables(const OpenedContainer& c) {
    for (int32_t k = 0; k < c.coding.layout.stripCount; ++k) skipStripSection(*c.reader);
    if (c.reader->remaining() != 0) throwDamaged();
}

bool decodeStrips(const OpenedContainer& c, StripSink* sink, int threads, BatchUi& ui, const std::stop_token& stop,
                  WorkerPool* pool) {
    ContainerReader& in = *c.reader;
    const FileCoding& file = c.coding;
    const ImageLayout& layout = file.layout;
    FileWorkers workers(file, threads, pool);
    const int streamThreads = std::max<int>(1, threads / static_cast<int>(workers->size()));
    // A grey picture is checked by its grey checksum, summed as the planes
    // are made grey for the writers.
    const std::optional<GreySource> grey = c.trailer ? c.trailer->grey : std::nullopt;
    const bool sumPixels = c.trailer && (c.trailer->pixels || grey);
    // A sink that sums the rows as it writes them does so at no extra cost.
    const bool sumHere = sumPixels && !(sink && sink->sumsAsWritten());
    std::vector<Checksum128> stripSums;

    ProgressCounter progress(ui, layout.stripCount, stop);
    runStrips(
        layout, *workers, stop,
        [&](StripWorker& w) { readStripSection(in, w.work.streams, w.section); },
        [&](StripWorker& w) {
            StripWork& sw = w.work;
            expandStripSection(w.section, sw.streams, streamThreads);
            decodeStripResiduals(file.quality, w.geometry, sw, [&] { progress.planeDone(); });
            residualsToRgb(file.quality, w.geometry, sw);
            if (grey)
                w.pixels = greyStripPlanes(layout, w.strip, sw);
            else if (sumHere)
                w.pixels = stripPixelChecksum(layout, w.strip, sw);
            clearSideStreams(sw.streams);
        },
        [&](StripWorker& w) {
            if (sink) sink->write(layout, w.strip, w.work, sumPixels && !sumHere && !grey ? &w.pixels : nullptr);
            stripSums.push_back(w.pixels);
        });
    if (in.remaining() != 0) throwDamaged();
    if (sumPixels && pixelChecksum(stripSums) != (grey ? grey->pixels : *c.trailer->pixels))
        throwDamaged("pixel checksum does not match");
    workers.done();
    return sumPixels;
}

}  // namespace kirune
