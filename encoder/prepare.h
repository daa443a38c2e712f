#pragma once
// Plane preparation before the block encoder runs on a strip, in this order:
// colour transform, chroma subsampling, mean bytes, corrections. All four work
// on the coded region of one strip and wrap silently on
// input outside the 12-bit (or 8-bit) range the readers produce.

#include "codec/codec_state.h"

namespace kirune {

// Which units the R, G, B planes hold: the reader's 12-bit units (a TIFF of
// other than 8 bits per sample) or plain 8-bit values (BMP, 8-bit TIFF), which
// the transform scales by 16 into the same 12-bit units.
enum class RgbInput { Native12, Eight };

// R, G, B planes to yPlane, cbPlane, crPlane (chroma centred on 2048).
void rgbToYcc(const StripGeometry& g, StripWork& w, RgbInput input);

// Half planes from cbPlane/crPlane (4:2:2 and 4:2:0), then Quarter planes from
// the Half planes (4:2:0); nothing at 4:4:4.
void downsampleChroma(const StripGeometry& g, StripWork& w);

// Mean byte of every coded block of the three coded planes.
void computeMeans(const QualityParams& q, const StripGeometry& g, StripWork& w);

// Correction (block minus its mean value) of every coded block of the three
// coded planes, into their residual planes.
void removeMeans(const QualityParams& q, const StripGeometry& g, StripWork& w);

// The four above in order. At 4:4:4, where every plane lies on one grid,
// in one pass over the blocks rather than three over the planes.
void prepareStrip(const QualityParams& q, const StripGeometry& g, StripWork& w, RgbInput input);

}  // namespace kirune
