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

// How the three planes of a strip are run: planeDone follows each plane;
// with threads > 1 the planes are coded side by side and planeDone may be
// called from several threads. The streams are the same bytes either way.
struct PlaneRun {
    PlaneProgress planeDone;
    int threads = 1;
};

// The encoder's whole work for one strip, from the R, G, B planes of strip
// `g` to finished streams: plane preparation, the three encodePlane calls
// and encodeMeans, so that every stream and its raw length (st.rawLength) is
// ready for the strip writer. The streams must have been cleared since the
// previous strip. `setup` is what the dictionary trainer substitutes.
void encodeStrip(const QualityParams& q, const StripGeometry& g, StripWork& w, RgbInput input,
                 const PlaneRun& run = {}, const SearchSetup& setup = {});

// The same pipeline with another block coder: `codePlane` codes region
// `plane` (0 Y, 1 Cb, 2 Cr) into `st` in place of encodePlane. It must
// write nothing but st and the region, so that planes can be coded side by
// side into streams of their own.
using PlaneCoding = std::function<void(SideStreams& st, const PlaneRegion& region, int plane)>;
void encodeStripWith(const QualityParams& q, const StripGeometry& g, StripWork& w, RgbInput input,
                     const PlaneRun& run, const PlaneCoding& codePlane);

// Appends the plane streams `from` (written from the start of its buffers) to
// `to` at its cursors, as if their blocks had been coded into `to`.
void appendPlaneStreams(SideStreams& to, const SideStreams& from);

}  // namespace kirune
