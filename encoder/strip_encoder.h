#pragma once
// The encoder's pipeline for one strip: plane preparation, the block encoder
// on the three planes, then the mean bytes, leaving the seven streams ready
// for the strip writer.

#include <functional>

#include "codec/codec_state.h"
#include "encoder/block_encoder.h"
#include "encoder/prepare.h"

namespace kirune {

// The strip writer's first step, after the three planes have been encoded:
// codes the mean bytes of the three regions into dcSignBits and dcBytes and
// records the raw length of all seven streams in st.rawLength. Every byte of
// dcSignBits up to its raw length is written, so the byte after a last sign
// bit at a byte boundary is 0 whatever the buffer held before.
void encodeMeans(const StripGeometry& g, StripWork& w);

// The encoder's whole work for one strip, from the R, G, B planes of strip
// `g` to finished streams: plane preparation, the
// three encodePlane calls (each followed by planeDone) and encodeMeans, so
// that every stream and its raw length (st.rawLength) is ready for the strip
// writer. The streams must have been cleared since the previous strip.
// `setup` is what the dictionary trainer substitutes.
void encodeStrip(const QualityParams& q, const StripGeometry& g, StripWork& w, RgbInput input,
                 const PlaneProgress& planeDone = {}, const SearchSetup& setup = {});

// The same pipeline with another block coder: `codePlane` codes region
// `plane` (0 Y, 1 Cb, 2 Cr) in place of encodePlane.
using PlaneCoding = std::function<void(const PlaneRegion& region, int plane)>;
void encodeStripWith(const QualityParams& q, const StripGeometry& g, StripWork& w, RgbInput input,
                     const PlaneProgress& planeDone, const PlaneCoding& codePlane);

}  // namespace kirune
