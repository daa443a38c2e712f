#pragma once
// Block encoder: codes one plane region block by block with the first coding
// of a fixed cascade (flat, smooth, match, pattern, match plus pattern, one or
// two VQ stages, raw) whose squared error stays under the distortion limit,
// appends the symbols to the strip's side streams and leaves in the planes
// exactly what the decoder will rebuild.

#include <cstdint>

#include "codec/payload.h"
#include "codec/val.h"
#include "encoder/prepare.h"
#include "encoder/search.h"

namespace kirune {

// Codes one plane region. On entry region.coded holds the block samples,
// region.resid the samples minus their mean value and region.means the mean
// bytes; each coded block of the first two is overwritten with its
// reconstruction and reconstructed correction. Throws Error if the streams
// were not sized for that many more blocks.
void encodePlane(const QualityParams& q, SideStreams& st, const PlaneRegion& region,
                 const SearchSetup& setup = {});

// First VQ level tried for a source of energy E at quality level Q: the
// larger the energy per quality step, the larger the dictionaries.
int vqStartLevel(int64_t E, int32_t Q);

// Appends the symbols of one decided block and counts it. `block` is the
// block's input samples, of which only a SpecialRaw block writes bytes;
// blocksPerRow is the plane's, for the match byte.
void emitBlock(SideStreams& st, const BlockHeader& h, const BlockVec& block, int32_t blocksPerRow);

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

}  // namespace kirune
