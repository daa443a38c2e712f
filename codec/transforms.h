#pragma once
// Plane-level transforms between the block codec and the image writers: the
// smooth predictor built from block means (shared by encoder and decoder), the
// chroma up-samplers and the YCbCr to 16-bit RGB conversion.

#include <cstdint>

#include "codec/val.h"

namespace kirune {

// Smooth 4x4 block for the block at plane block row `a` (region rows start at
// `O`, there are `R` of them) and column `c` of a plane with `B` block columns,
// from the mean bytes of the block and its four neighbours. Lanes are clamped
// to 0..4080. The lower neighbour is used only while a < R - 1 (compared with
// R - 1, not O + R - 1), which both sides of the codec rely on.
void interpolateFromMeans(const uint8_t* means, int32_t B, int32_t R, int32_t c, int32_t a,
                          int32_t O, int meanLevel, BlockVec& out);

// Nearest-neighbour restoration of full-resolution chroma over the coded
// chroma region of the current strip: quarter planes into cbPlane/crPlane
// (4:2:0) or half planes into them (4:2:2).
void upsample420(const CodecState& s, StripWork& w);
void upsample422(const CodecState& s, StripWork& w);

// Y, Cb, Cr (12-bit, chroma centred on 2048) to 16-bit R, G, B clamped to
// 0..65535, over the coded luma region of the current strip.
void yccToRgb(const CodecState& s, StripWork& w);

// Restores full-resolution chroma for the strip's colourSampling (nothing at
// 4:4:4) and converts to RGB: what expansion does after the three planes.
void stripToRgb(const CodecState& s, StripWork& w);

}  // namespace kirune
