#pragma once
// Decoder core: rebuilds a strip's mean planes and its three coded planes from
// the seven side streams, replaying the encoder's reconstruction bit for bit.
// The streams are untrusted: every field is read against its stream's raw
// length (SideStreams::rawLength) and every offset, level and gain byte is
// checked, so damaged data throws Error(kDamagedFileText) and never reads or
// writes outside the buffers.

#include <cstdint>
#include <span>

#include "codec/codec_state.h"
#include "codec/stream_syntax.h"

namespace kirune {

// Read positions of the five per-block streams, checked against their raw
// lengths; taken from and given back to the strip's SideStreams so that the
// three planes run on from one another.
struct BlockStreamReaders {
    BitReader header, indexLow, indexHigh;
    ByteReader gain, match;
    uint32_t blockCounter = 0;

    // Throws when a raw length exceeds what its buffer can hold.
    explicit BlockStreamReaders(const SideStreams& st);
    void store(SideStreams& st) const;
};

// Reads the current block's header and every field it announces, advancing
// the readers, and counts the block. blocksPerRow turns the match byte into
// matchOffset.
void readBlockSideInfo(BlockStreamReaders& r, int32_t blocksPerRow, BlockHeader& info);

// Rebuilds the mean bytes of the three regions of strip `g` from dcSignBits
// and dcBytes. Checks first that the raw lengths of those two streams match
// the regions' block count.
void decodeMeans(const StripGeometry& g, StripWork& w);
// The same for any regions, in order: only their means, blocksPerRow, rows
// and firstRow are used.
void decodeMeanBytes(const SideStreams& st, std::span<const PlaneRegion> regions);

// One VQ stage of a block as the decoder builds it: the rows of its shape
// codewords scaled by its gain codeword's row gains (stageShape), then the
// whole block by the stage's gain level (stageBlock).
void stageShape(const BlockHeader& info, int stage, BlockVec& out);
void stageBlock(const BlockHeader& info, int stage, BlockVec& out);

// Reconstructs one plane region: coded[n] (unless coded is null) and
// resid[n] for every block of its rows, reading the strip's streams from
// where the previous plane left them.
void decodePlane(const QualityParams& q, SideStreams& st, const PlaneRegion& region);

// decodeMeans followed by decodePlane for Y, Cb and Cr (each followed by
// planeDone): the decoder's whole work for one strip, before up-sampling and
// colour conversion.
void decodeStrip(const QualityParams& q, const StripGeometry& g, StripWork& w,
                 const PlaneProgress& planeDone = {});
// decodeStrip without writing the Y, Cb and Cr planes: only means and
// residuals, from which residualsToRgb makes the RGB output. Expansion so
// never touches three of a strip's six planes.
void decodeStripResiduals(const QualityParams& q, const StripGeometry& g, StripWork& w,
                          const PlaneProgress& planeDone = {});

}  // namespace kirune
