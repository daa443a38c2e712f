#pragma once
// Block encoder: codes one plane region block by block with the first coding
// of a fixed cascade (flat, smooth, match, pattern, match plus pattern, one or
// two VQ stages, raw) whose squared error stays under the distortion limit,
// appends the symbols to the strip's side streams and leaves in the planes
// exactly what the decoder will rebuild.

#include <cstdint>

#include "codec/codec_state.h"
#include "codec/stream_syntax.h"
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

}  // namespace kirune
