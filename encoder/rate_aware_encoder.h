#pragma once
// The rate-aware block encoder, an opt-in alternative to the cascade: each
// block takes, among the codings the format can express (flat, smooth, a
// match with any earlier block of the window, a pattern alone or on the
// closest match, one or two VQ stages at each level alone or on the closest
// match, raw), the one of least weighted squared error plus lambda times its
// estimated bits. It writes the same streams, which the unchanged decoder
// reads; the cascade's output is not affected.

#include <array>
#include <cstdint>

#include "codec/codec_state.h"
#include "encoder/prepare.h"

namespace kirune {

// What a plane's squared error costs in RGB, per coded sample, relative to
// luma: the inverse colour transform's gains on each chroma plane, times the
// pixels one subsampled chroma sample stands for. Plane 0 Y, 1 Cb, 2 Cr.
double planeErrorWeight(int plane, int32_t colourSampling);

// Lambda of a quality level: the (weighted) squared error a block may add
// for each bit it saves. Tied to the level so that a level gives about the
// PSNR the cascade gives at it, for fewer bytes.
double rateLambda(const QualityParams& q);

// Per block kind, what the rate-aware encoder chose (for measurements).
struct RateChoiceCounts {
    std::array<uint64_t, 8> blocks{};  // flat, smooth, match, pattern, match+pattern, VQ, VQ on match, raw
};

struct RateOptions {
    // Multiplies the level's lambda. Below 1 it buys quality beyond what the
    // level's lambda gives, which at level 1 is more than the cascade reaches.
    double lambdaScale = 1.0;
    RateChoiceCounts* counts = nullptr;  // counted into when not null
    int planeThreads = 1;                // planes side by side (not while counting)
    // Meet the cascade's error at the same level: each plane is coded by the
    // cascade first (then undone) and lambda is steered, block row by block
    // row, so that the plane's weighted squared error stays under the
    // cascade's; a plane that still ends above it takes the cascade's coding.
    // lambdaScale is then where the steering starts.
    bool meetCascade = false;
    // With meetCascade, take over the searches the cascade made on each
    // block's own correction instead of making them again; the same coding
    // either way, cheaper.
    bool reuseCascadeSearches = true;
};

// Codes one plane region as encodePlane does (same entry state, same
// reconstruction left in the planes), choosing by rate and distortion.
void encodePlaneRateAware(const QualityParams& q, SideStreams& st, const PlaneRegion& region, double errorWeight,
                          const RateOptions& options = {});

// encodeStrip with the rate-aware block encoder on the three planes.
void encodeStripRateAware(const QualityParams& q, const StripGeometry& g, StripWork& w, RgbInput input,
                          const PlaneProgress& planeDone = {}, const RateOptions& options = {});

}  // namespace kirune
