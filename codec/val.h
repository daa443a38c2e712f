#pragma once
// Per-file codec state: parameters derived from the quality level, the strip
// and block geometry, the working planes and the seven side-stream buffers.
// A driver creates one CodecState per file and passes it by reference; nothing
// here is process-wide.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "codec/vec_lib.h"
#include "kirune/AlignedBuffer.h"

namespace kirune {

inline constexpr int kStripBudgetLog2 = 22;  // what the compressor always writes
inline constexpr int kMinStripBudgetLog2 = 3;
inline constexpr int kMaxStripBudgetLog2 = 24;
inline constexpr int32_t kMaxQualityLevel = 8388607;  // K * 256 must fit 32 bits

enum ColourSampling : int32_t { Sampling420 = 1, Sampling422 = 2, Sampling444 = 4 };

using BlockPlane = AlignedBuffer<BlockVec, 64>;
using MeanPlane = AlignedBuffer<uint8_t, 64>;
using StreamBuffer = AlignedBuffer<uint8_t, 64>;

// Position in a bit-packed stream: byte p, bit q (0..7).
struct BitCursor {
    uint32_t byte = 0;
    uint32_t bit = 0;
};

// Streams in container order.
enum StreamId : int {
    StreamDcSignBits = 0,
    StreamDcBytes,
    StreamHeaderBits,
    StreamIndexBitsLow,
    StreamIndexBitsHigh,
    StreamGainBytes,
    StreamMatchBytes,
};
inline constexpr int kStreamCount = 7;

// The seven side streams of a strip with their cursors.
struct SideStreams {
    StreamBuffer dcSignBits, dcBytes, headerBits, indexBitsLow, indexBitsHigh, gainBytes, matchBytes;
    uint32_t dcSignBitCount = 0;
    uint32_t dcBytesPos = 0;
    BitCursor headerPos, indexLowPos, indexHighPos;
    uint32_t gainBytesPos = 0;
    uint32_t matchBytesPos = 0;
    uint32_t blockCounter = 0;  // coded blocks across the three planes of the strip
    std::size_t blockCapacity = 0;  // n the buffers were sized for
    // Bytes of data in each stream, in container order: set by the strip
    // reader before decoding (the decoder reads no further) and by encodeMeans
    // after coding (what the strip writer stores).
    uint32_t rawLength[kStreamCount] = {};
};

StreamBuffer& streamBuffer(SideStreams& st, int id);
const StreamBuffer& streamBuffer(const SideStreams& st, int id);

// Told once per finished plane of a strip (three per strip); may throw to
// stop the work.
using PlaneProgress = std::function<void()>;

// One plane region as the encoder and the decoder see it.
struct CodedPlane {
    BlockVec* coded = nullptr;  // reconstruction
    BlockVec* resid = nullptr;  // corrections kept for matching
    uint8_t* means = nullptr;
    int32_t blocksPerRow = 0;
    int32_t blockRows = 0;
};

// Everything one strip is worked in: planes, mean planes, streams and the
// coded-plane slots that point into them. Several can exist at once.
struct StripWork {
    BlockPlane rPlane, gPlane, bPlane;
    BlockPlane yPlane, cbPlane, crPlane;
    BlockPlane yResidual, cbResidual, crResidual;
    BlockPlane cbPlaneHalf, crPlaneHalf, cbResidualHalf, crResidualHalf;
    BlockPlane cbPlaneQuarter, crPlaneQuarter, cbResidualQuarter, crResidualQuarter;
    MeanPlane yMeans, cbMeans, crMeans;
    MeanPlane cbMeansHalf, crMeansHalf;
    MeanPlane cbMeansQuarter, crMeansQuarter;

    SideStreams streams;

    // Coded-plane slots (set by selectCodedPlanes).
    BlockVec* codedY = nullptr;
    BlockVec* codedCb = nullptr;
    BlockVec* codedCr = nullptr;
    BlockVec* residY = nullptr;
    BlockVec* residCb = nullptr;
    BlockVec* residCr = nullptr;
    uint8_t* meansY = nullptr;
    uint8_t* meansCb = nullptr;
    uint8_t* meansCr = nullptr;
    int32_t yBlocksPerRow = 0, yBlockRows = 0;
    int32_t cBlocksPerRow = 0, cBlockRows = 0;

    CodedPlane lumaPlane() const { return {codedY, residY, meansY, yBlocksPerRow, yBlockRows}; }
    CodedPlane cbPlaneSlot() const { return {codedCb, residCb, meansCb, cBlocksPerRow, cBlockRows}; }
    CodedPlane crPlaneSlot() const { return {codedCr, residCr, meansCr, cBlocksPerRow, cBlockRows}; }
};

// Parameters and geometry of one file, plus the current strip's rows and
// grids. Plain values: a worker coding strips of its own copies these from the
// file's state and keeps its own StripWork.
struct CodecParams {
    // Codec parameters (setCodecParams).
    int32_t qualityLevel = 0;
    int32_t distortionLimit = 0;
    int32_t meanLevel = 0;
    int32_t residualShift = 1;
    int32_t colourSampling = Sampling444;

    // Image and strip geometry.
    int32_t imageWidth = 0;
    int32_t imageHeight = 0;
    int32_t sourceWidth = 0;
    int32_t stripImageRows = 0;
    int32_t paddedWidth = 0;
    int32_t stripBudgetLog2 = kStripBudgetLog2;
    int32_t stripBudget = 0;
    int32_t stripCount = 0;
    int32_t stripHeight = 0;
    int32_t stripIndex = 0;
    int32_t stripPaddedRows = 0;
    int32_t lastStripRows = 0;
    int32_t lastStripPaddedRows = 0;
    int32_t bmpRowStride = 0;
    int64_t bmpFileSize = 0;  // may exceed what a BMP header can hold; the writer checks

    // Block grids of the current strip.
    int32_t lumaBlocksPerRow = 0;
    int32_t lumaBlockRows = 0;
    int32_t chroma420BlocksPerRow = 0;
    int32_t chroma420BlockRows = 0;
    int32_t chroma422BlocksPerRow = 0;
    int32_t chroma422BlockRows = 0;
    int32_t lumaRowOffset = 0;
    int32_t chroma420RowOffset = 0;
    int32_t chromaRowOffset = 0;

    // Size the buffers were allocated for (A = allocWidth * allocHeight samples).
    int32_t allocWidth = 0;
    int32_t allocHeight = 0;
};

struct CodecState : CodecParams {
    StripWork strip;
};

// Derives qualityLevel, distortionLimit, meanLevel and residualShift from K.
// Throws Error for K outside 1..kMaxQualityLevel.
void setCodecParams(CodecState& s, int32_t K);

// Computes the strip layout from sourceWidth, stripImageRows (the image height
// on entry) and stripBudgetLog2, without allocating. Throws Error for a
// geometry that cannot be laid out (zero size, width beyond the strip budget,
// arithmetic beyond 32 bits).
void computeStripLayout(CodecState& s);

// computeStripLayout followed by allocCodecBuffers(paddedWidth, stripHeight).
void setupExpandGeometry(CodecState& s);

// Allocates the planes for A = width * height samples at the current
// colourSampling, then the stream buffers, then selects the coded planes.
void allocCodecBuffers(CodecState& s, int32_t width, int32_t height);
void allocStreamBuffers(CodecState& s);
// Stream buffers for n blocks, cleared, with cursors at the start.
void allocSideStreams(SideStreams& st, std::size_t n);
// Clears cursors and the bit-packed buffers for the next strip.
void resetStreams(CodecState& s);
void clearSideStreams(SideStreams& st);
void freeCodecBuffers(CodecState& s);
void selectCodedPlanes(CodecState& s);

// Sets the per-strip rows (the last strip may be shorter), the row offsets and
// the coded-plane slots for strip `index`.
void beginStrip(CodecState& s, int32_t index);

// Blocks in three full-resolution planes of `paddedRows` rows: the n that the
// stream buffers are sized by.
std::size_t streamBlockCount(const CodecState& s, int32_t paddedRows);

}  // namespace kirune
