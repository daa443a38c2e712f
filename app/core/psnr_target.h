#pragma once
// Compression to a PSNR target: the coarsest quality level and the colour
// sampling that reach an RGB PSNR with the fewest bytes, found by trial
// encodes of row bands of the image held in memory.

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "codec/codec_state.h"
#include "container/image_input.h"

namespace kirune {

// The figure a target gives the output name: "50" for 50 dB, "49.5" for 49.5.
std::string psnrNameFigure(double db);

// Rows of an image as its reader stores them (12-bit units for a TIFF of
// other than 8 bits per sample, else 8-bit), one plane per channel,
// row-major, top row first: the image the trials code.
struct HeldImage {
    int32_t width = 0;
    int32_t height = 0;
    int inputScale = 16;  // to the 16-bit scale
    std::vector<int16_t> planes[3];

    int16_t at(int c, int32_t x, int32_t y) const {
        return planes[c][static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)];
    }
};

// The image rows trials are coded on: the whole image when it is tiny, else
// bands of 16 rows spread evenly over it, from a third of its rows for small
// images to a tenth for large ones.
std::vector<int32_t> trialRows(int32_t width, int32_t height);

// Reads `in` front to back (so a handle of its own) and keeps `rows`
// (ascending) of it, in that order.
HeldImage holdRows(InputImage& in, const std::vector<int32_t>& rows);

struct TrialPoint {
    int32_t qualityLevel = 0;
    double psnr = 0.0;
    uint64_t bytes = 0;
};

// What the trials chose.
struct PsnrChoice {
    int32_t qualityLevel = 1;
    int32_t colourSampling = Sampling444;
    // Beyond what the cascade reaches at level 1, the rate-aware coder at
    // level 1 with its lambda scaled down.
    bool rateAware = false;
    double lambdaScale = 1.0;
    TrialPoint trial;
    bool reachable = true;  // false: even the finest coding stays below the target
    // The next coarser level when its trial fell short by so little that the
    // whole image, whose PSNR differs from the trial rows', may well reach
    // the target; 0 when none.
    int32_t nearMissLevel = 0;
};

// The nearest levels either side of the target found by a search.
struct LevelBracket {
    std::optional<TrialPoint> pass;  // the largest level reaching the target
    std::optional<TrialPoint> fail;  // the smallest level above it that does not
};

struct TrialOptions {
    bool rateAware = false;
    double lambdaScale = 1.0;  // of the rate-aware coder
    int threads = 1;
    std::stop_token stop;
};

// Bytes of the strips and RGB PSNR (16-bit peak) of `img` coded at a level
// and sampling.
TrialPoint trialEncode(const HeldImage& img, int32_t qualityLevel, int32_t colourSampling, const TrialOptions& o);

// Largest quality level at `colourSampling` whose trial PSNR reaches
// `targetDb` (no pass when level 1 does not), and the failing level above it.
LevelBracket searchQualityLevel(const HeldImage& img, int32_t colourSampling, double targetDb,
                                             const TrialOptions& o);

// The level and sampling with the fewest trial bytes among those reaching
// `targetDb`.
PsnrChoice choosePsnrCoding(const HeldImage& img, double targetDb, const TrialOptions& o);

// Finest lambda scale of the rate-aware coder the search goes to: past it
// the PSNR hardly grows while the bytes do.
inline constexpr int kMaxLambdaHalvings = 8;

// The largest lambda scale 2^-h (h = 1..kMaxLambdaHalvings) at which the
// rate-aware coder at level 1, 4:4:4, reaches `targetDb` on the trial rows;
// the finest scale's point, not reaching it, when none does.
struct LambdaPoint {
    int halvings = kMaxLambdaHalvings;
    TrialPoint trial;
    bool reached = false;
};
LambdaPoint searchLambdaScale(const HeldImage& img, double targetDb, const TrialOptions& o);

// The level to try after a whole-image encode at `level` fell `shortfallDb`
// below its target: finer by at least one step.
int32_t finerQualityLevel(int32_t level, double shortfallDb);

}  // namespace kirune
