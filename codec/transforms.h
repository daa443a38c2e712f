#pragma once
// Plane-level transforms between the block codec and the image writers: the
// smooth predictor built from block means (shared by encoder and decoder), the
// chroma up-samplers and the YCbCr to 16-bit RGB conversion.

#include <cstdint>

#include "codec/codec_state.h"

namespace kirune {

// Smooth 4x4 block for the block at region row `row`, column `col` of `r`,
// from the mean bytes of the block and its four neighbours. Lanes are clamped
// to 0..4080. The lower neighbour is used only while the block's plane row
// firstRow + row is below rows - 1 (not firstRow + rows - 1), which both
// sides of the codec rely on.
void interpolateFromMeans(const PlaneRegion& r, int32_t row, int32_t col, int meanLevel, BlockVec& out);

// Nearest-neighbour restoration of full-resolution chroma over the coded
// chroma region of strip `g`: quarter planes into cbPlane/crPlane (4:2:0) or
// half planes into them (4:2:2).
void upsample420(const StripGeometry& g, StripWork& w);
void upsample422(const StripGeometry& g, StripWork& w);

// Y, Cb, Cr (12-bit, chroma centred on 2048) to 16-bit R, G, B clamped to
// 0..65535, over the coded luma region of strip `g`.
void yccToRgb(const StripGeometry& g, StripWork& w);

// The same conversion for one sample (previews built from block means).
struct RgbSample {
    uint16_t r, g, b;
};
inline RgbSample yccToRgbSample(int32_t y, int32_t cb, int32_t cr) {
    const auto clamped = [](int32_t t) {
        const int32_t v = (t + 256) >> 9;
        return static_cast<uint16_t>(v < 0 ? 0 : v > 65535 ? 65535 : v);
    };
    return {clamped(-11485 * 2048 + 11485 * cr + 8192 * y), clamped(8667 * 2048 - 5848 * cr - 2819 * cb + 8192 * y),
            clamped(-14515 * 2048 + 14515 * cb + 8192 * y)};
}

// Restores full-resolution chroma for the working set's colour sampling
// (nothing at 4:4:4) and converts to RGB: what expansion does after the
// three planes.
void stripToRgb(const StripGeometry& g, StripWork& w);

// What stripToRgb gives after decodeStrip, from the planes decodeStripResiduals
// leaves: each block's samples are its mean (shifted as `q` says) plus its
// residual, which the R, G, B planes hold and then take the RGB output in
// place. The Y, Cb, Cr planes are neither read nor written.
void residualsToRgb(const QualityParams& q, const StripGeometry& g, StripWork& w);

}  // namespace kirune
