#include "app/core/strip_pipeline.h"

#include <algorithm>
#include <cmath>

#include "app/core/ui.h"
#include "codec/transforms.h"

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

void shareStreamCoders(std::vector<std::unique_ptr<StripWorker>>& workers) {
    for (std::size_t i = 1; i < workers.size(); ++i) workers[i]->section.coders = workers[0]->section.coders;
}

void ProgressCounter::planeDone() {
    if (stop_.stop_requested()) throw Interrupted(kInterruptedText);
    std::lock_guard lock(m_);
    ++done_;
    ui_.setProgress(static_cast<int>(done_ * 100 / total_));
    ui_.repaint();
}

std::vector<std::unique_ptr<StripWorker>> makeWorkers(const FileCoding& file, int threads) {
    const ImageLayout& l = file.layout;
    const uint64_t perWorker = uint64_t{26} * static_cast<uint64_t>(l.paddedWidth) * static_cast<uint64_t>(l.stripHeight);
    const auto byMemory = static_cast<int>(std::clamp<uint64_t>(kWorkerMemoryBudget / std::max<uint64_t>(perWorker, 1), 1, 1024));
    const int count = std::clamp(std::min(threads, byMemory), 1, std::max<int32_t>(l.stripCount, 1));
    std::vector<std::unique_ptr<StripWorker>> workers;
    for (int i = 0; i < count; ++i) workers.push_back(std::make_unique<StripWorker>(file));
    return workers;
}

}  // namespace kirune
