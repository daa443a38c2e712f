#include "app/core/psnr_target.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/core/strip_pipeline.h"
#include "codec/codec_state.h"
#include "encoder/prepare.h"
#include "kirune/Error.h"
#include "kirune/Parallel.h"

namespace kirune {

namespace {

// The coder's PSNR falls by about this much each time the quality level
// doubles; the searches start from it and correct by what they measure.
constexpr double kDbPerDoubling = 2.2;
constexpr double kDbAtLevelOne = 56.5;
constexpr int32_t kLevelCeiling = 1 << 20;
constexpr int kMaxTrials = 10;
// Levels this close code to within a few tenths of a percent of each other.
constexpr double kLevelRatioDone = 1.04;
// Trial rows stand for the whole image to within a few tenths of a dB.
constexpr double kNearMissDb = 0.3;

constexpr int32_t kBandRows = 16;
constexpr int64_t kWholeImagePixels = int64_t{1} << 16;  // trials code smaller images whole
// One band in this many: as many trial pixels as a whole tiny image has,
// within a third and a tenth of the image.
constexpr int kMinBandSpacing = 3;
constexpr int kMaxBandSpacing = 10;

// Serves held rows to the strip reader as an image of their own.
class HeldInput final : public InputImage {
public:
    explicit HeldInput(const HeldImage& img)
        : InputImage(InputFormat::Tiff, img.width, img.height, img.inputScale == 16 ? 16 : 8), img_(img) {}

    void readRows(const StripTarget& t, int32_t count) override {
        for (int32_t r = 0; r < count; ++r)
            for (int c = 0; c < 3; ++c)
                for (int32_t x = 0; x < img_.width; ++x) t.at(c, x, r) = img_.at(c, x, t.firstRow + r);
    }

private:
    const HeldImage& img_;
};

int32_t modelLevel(double targetDb) {
    const double k = std::exp2((kDbAtLevelOne - targetDb) / kDbPerDoubling);
    return static_cast<int32_t>(std::clamp(std::round(k), 1.0, double{kLevelCeiling}));
}

// The next level to try from the nearest passing and failing trials.
int32_t nextLevel(const std::optional<TrialPoint>& pass, const std::optional<TrialPoint>& fail, double target) {
    if (!pass) {  // step down past the shortfall, with a margin
        const double k = fail->qualityLevel * std::exp2(-(target - fail->psnr) / kDbPerDoubling - 0.15);
        return std::clamp(static_cast<int32_t>(std::floor(k)), 1, fail->qualityLevel - 1);
    }
    if (!fail) {
        const double k = pass->qualityLevel * std::exp2((pass->psnr - target) / kDbPerDoubling + 0.15);
        return std::clamp(static_cast<int32_t>(std::ceil(k)), pass->qualityLevel + 1, kLevelCeiling);
    }
    // Interpolated in log level, kept off the ends so the bracket shrinks.
    const double lo = std::log2(pass->qualityLevel), hi = std::log2(fail->qualityLevel);
    const double u = std::clamp((pass->psnr - target) / std::max(pass->psnr - fail->psnr, 1e-9), 0.15, 0.85);
    const auto k = static_cast<int32_t>(std::lround(std::exp2(lo + u * (hi - lo))));
    return std::clamp(k, pass->qualityLevel + 1, fail->qualityLevel - 1);
}

bool bracketClosed(const TrialPoint& pass, const TrialPoint& fail) {
    return fail.qualityLevel - pass.qualityLevel <= 1 || fail.qualityLevel <= pass.qualityLevel * kLevelRatioDone;
}

}  // namespace

std::string psnrNameFigure(double db) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", db);
    std::string s = text;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
}

std::vector<int32_t> trialRows(int32_t width, int32_t height) {
    std::vector<int32_t> rows;
    const int64_t pixels = int64_t{width} * height;
    const auto spacing = static_cast<int32_t>(std::clamp<int64_t>(pixels / kWholeImagePixels, kMinBandSpacing, kMaxBandSpacing));
    const int32_t bands = height / (kBandRows * spacing);
    if (pixels <= kWholeImagePixels || bands < 2) {
        for (int32_t y = 0; y < height; ++y) rows.push_back(y);
        return rows;
    }
    // Band b is centred in its share of the image.
    const int64_t span = height;
    for (int32_t b = 0; b < bands; ++b) {
        const auto first = static_cast<int32_t>((span * (2 * b + 1)) / (2 * bands)) - kBandRows / 2;
        for (int32_t y = std::max(first, 0); y < std::min(first + kBandRows, height); ++y)
            if (rows.empty() || y > rows.back()) rows.push_back(y);
    }
    return rows;
}

HeldImage holdRows(InputImage& in, const std::vector<int32_t>& rows) {
    constexpr int32_t kChunk = 64;
    HeldImage img;
    img.width = in.width();
    img.height = static_cast<int32_t>(rows.size());
    img.inputScale = in.bitsPerSample() == 16 ? 16 : 256;
    for (auto& p : img.planes) p.resize(static_cast<std::size_t>(img.width) * rows.size());
    const int32_t blocksPerRow = (img.width + 3) / 4;
    BlockPlane planes[3];
    for (auto& p : planes) p.reset(static_cast<std::size_t>(blocksPerRow) * (kChunk / 4));
    StripTarget t{{planes[0].data(), planes[1].data(), planes[2].data()}, blocksPerRow, kChunk, 0};
    std::size_t next = 0;
    for (int32_t y0 = 0; y0 < in.height() && next < rows.size(); y0 += kChunk) {
        const int32_t count = std::min(kChunk, in.height() - y0);
        t.firstRow = y0;
        in.readRows(t, count);
        for (; next < rows.size() && rows[next] < y0 + count; ++next) {
            if (rows[next] < y0) throw Error("trial rows must ascend");
            int16_t* dst[3];
            for (int c = 0; c < 3; ++c) dst[c] = img.planes[c].data() + next * static_cast<std::size_t>(img.width);
            for (int c = 0; c < 3; ++c)
                for (int32_t x = 0; x < img.width; ++x) dst[c][x] = t.at(c, x, rows[next] - y0);
        }
    }
    if (next != rows.size()) throw Error("trial rows lie outside the image");
    return img;
}

TrialPoint trialEncode(const HeldImage& img, int32_t qualityLevel, int32_t colourSampling, const TrialOptions& o) {
    if (o.stop.stop_requested()) throw Interrupted(kInterruptedText);
    HeldInput in(img);
    FileCoding file;
    file.layout = computeStripLayout(img.width, img.height, kStripBudgetLog2);
    file.quality = codecParams(qualityLevel);
    file.colourSampling = colourSampling;
    const StripCoding coding{file.quality, img.inputScale == 16 ? RgbInput::Native12 : RgbInput::Eight, o.rateAware,
                             o.lambdaScale, true, false};
    // One worker: the trials run side by side already.
    auto workers = makeWorkers(file, 1);
    TrialPoint point;
    point.qualityLevel = qualityLevel;
    double squares = 0.0;
    runStrips(
        file.layout, workers, o.stop, [&](StripWorker& w) { readInputStrip(in, file.layout, w.strip, w.work); },
        [&](StripWorker& w) { codeStrip(w, file.layout, coding, o.threads, {}); },
        [&](StripWorker& w) {
            point.bytes += w.section.size();
            squares += w.squares;
        });
    point.psnr = psnrOf(squares, 3.0 * img.width * img.height);
    return point;
}

LevelBracket searchQualityLevel(const HeldImage& img, int32_t colourSampling, double targetDb,
                                const TrialOptions& o) {
    LevelBracket b;
    std::optional<TrialPoint>& pass = b.pass;
    std::optional<TrialPoint>& fail = b.fail;
    // Subsampled chroma bounds the PSNR whatever the level: level 1 first
    // tells whether the sampling can reach the target at all.
    int32_t level = colourSampling == Sampling444 ? modelLevel(targetDb) : 1;
    for (int trial = 0; trial < kMaxTrials; ++trial) {
        const TrialPoint t = trialEncode(img, level, colourSampling, o);
        (t.psnr >= targetDb ? pass : fail) = t;
        if (!pass && level == 1) return b;
        if ((pass && fail && bracketClosed(*pass, *fail)) || (pass && level == kLevelCeiling)) return b;
        level = nextLevel(pass, fail, targetDb);
    }
    if (!pass) {
        const TrialPoint finest = trialEncode(img, 1, colourSampling, o);
        if (finest.psnr >= targetDb) pass = finest;
    }
    return b;
}

PsnrChoice choosePsnrCoding(const HeldImage& img, double targetDb, const TrialOptions& o) {
    constexpr int32_t samplings[3] = {Sampling444, Sampling422, Sampling420};
    LevelBracket found[3];
    TrialOptions each = o;
    each.threads = 1;
    // 4:2:0 loses more to its chroma than 4:2:2: where 4:2:2 cannot reach the
    // target, neither can 4:2:0.
    parallelFor(2, o.threads, [&](int i) {
        if (i == 0) {
            found[0] = searchQualityLevel(img, Sampling444, targetDb, each);
            return;
        }
        found[1] = searchQualityLevel(img, Sampling422, targetDb, each);
        if (found[1].pass) found[2] = searchQualityLevel(img, Sampling420, targetDb, each);
    });
    PsnrChoice choice;
    for (int i = 0; i < 3; ++i) {
        const std::optional<TrialPoint>& pass = found[i].pass;
        if (!pass || (choice.trial.bytes && pass->bytes >= choice.trial.bytes)) continue;
        choice.qualityLevel = pass->qualityLevel;
        choice.colourSampling = samplings[i];
        choice.trial = *pass;
        const std::optional<TrialPoint>& fail = found[i].fail;
        choice.nearMissLevel = fail && targetDb - fail->psnr < kNearMissDb ? fail->qualityLevel : 0;
    }
    if (choice.trial.bytes) return choice;
    // Finer than level 1: the rate-aware coder with less weight on the bits.
    const LambdaPoint fine = searchLambdaScale(img, targetDb, o);
    choice.rateAware = true;
    choice.lambdaScale = std::exp2(-fine.halvings);
    choice.trial = fine.trial;
    choice.reachable = fine.reached;
    return choice;
}

LambdaPoint searchLambdaScale(const HeldImage& img, double targetDb, const TrialOptions& o) {
    TrialOptions fine = o;
    fine.rateAware = true;
    LambdaPoint best;  // the smallest passing number of halvings found so far
    int lo = 1, hi = kMaxLambdaHalvings;
    while (lo <= hi) {
        const int h = (lo + hi) / 2;
        fine.lambdaScale = std::exp2(-h);
        const TrialPoint t = trialEncode(img, 1, Sampling444, fine);
        if (t.psnr >= targetDb) {
            best = {h, t, true};
            hi = h - 1;
        } else {
            if (h == kMaxLambdaHalvings) best.trial = t;
            lo = h + 1;
        }
    }
    return best;
}

int32_t finerQualityLevel(int32_t level, double shortfallDb) {
    const double k = level * std::exp2(-(std::max(shortfallDb, 0.0) + 0.05) / kDbPerDoubling);
    return std::clamp(static_cast<int32_t>(std::floor(k)), 1, std::max(level - 1, 1));
}

}  // namespace kirune
