#pragma once
// The codec's records, by lifetime: the quality parameters and the image
// layout of a file, the geometry of one strip, and the working set a strip is
// coded in (planes and the seven side-stream buffers). Nothing here is
// process-wide.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "codec/block_vec.h"
#include "codec/stream_ids.h"
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

// One coded plane region of a strip: block (firstRow + r, c) of the plane
// buffers for region row r = 0..rows-1, c = 0..blocksPerRow-1.
struct PlaneRegion {
    BlockVec* coded = nullptr;  // reconstruction
    BlockVec* resid = nullptr;  // corrections kept for matching
    uint8_t* means = nullptr;
    int32_t blocksPerRow = 0;
    int32_t rows = 0;
    int32_t firstRow = 0;

    std::size_t blocks() const {
        return static_cast<std::size_t>(blocksPerRow) * static_cast<std::size_t>(rows);
    }
};

// What the quality level decides, derived once per file by codecParams.
struct QualityParams {
    int32_t qualityLevel = 0;
    int32_t distortionLimit = 0;
    int32_t meanLevel = 0;
    int32_t residualShift = 1;
    // Corrections are coded shifted down by residualShift and shifted back up
    // after reconstruction, on both sides of the codec.
    bool shiftedCorrections = false;

    int meanShift() const { return meanLevel + 4; }
};

// Throws Error for K outside 1..kMaxQualityLevel.
QualityParams codecParams(int32_t K);

// How an image is cut into strips: a pure function of its size and the strip
// budget. Strips are stripHeight rows (a multiple of 8) but the last, which
// holds lastStripRows image rows coded as lastStripPaddedRows.
struct ImageLayout {
    int32_t width = 0;
    int32_t height = 0;
    int32_t paddedWidth = 0;
    int32_t stripBudgetLog2 = kStripBudgetLog2;
    int32_t stripCount = 0;
    int32_t stripHeight = 0;
    int32_t lastStripRows = 0;
    int32_t lastStripPaddedRows = 0;
};

// Throws Error for a geometry that cannot be laid out (zero size, width
// beyond the strip budget, arithmetic beyond 32 bits).
ImageLayout computeStripLayout(int32_t width, int32_t height, int32_t stripBudgetLog2);

// Everything a file is coded with, as its container header records it.
struct FileCoding {
    ImageLayout layout;
    QualityParams quality;
    int32_t colourSampling = Sampling444;
};

// Rows and block grid of one strip. A strip fills the bottom of the strip
// buffers (whose rows are stored bottom row first), so a short last strip
// starts at block row firstRow rather than 0.
struct PlaneGrid {
    int32_t blocksPerRow = 0;
    int32_t rows = 0;
    int32_t firstRow = 0;
};

struct StripGeometry {
    int32_t index = 0;
    int32_t firstImageRow = 0;  // image row of strip row 0
    int32_t imageRows = 0;      // rows of the image in the strip
    int32_t paddedRows = 0;     // rows coded: imageRows rounded up to 8
    int32_t bufferRows = 0;     // rows of the strip buffers: the layout's stripHeight
    PlaneGrid luma;             // 4x4 blocks of the full-resolution planes
};

// Geometry of strip `index`; throws Error outside 0..stripCount-1.
StripGeometry beginStrip(const ImageLayout& layout, int32_t index);

// The grid of the coded chroma planes at a colour sampling.
PlaneGrid chromaGrid(const StripGeometry& g, int32_t colourSampling);

// Everything one strip is worked in: planes, mean planes and streams. Several
// can exist at once; each is allocated for one colour sampling and size.
// The R, G, B planes hold the input until the colour transform and the
// output from the inverse one on; in between they are free, so they hold the
// Y, Cb, Cr residuals while the planes are coded. That spares three planes
// of fresh pages per strip worker.
struct StripWork {
    BlockPlane rPlane, gPlane, bPlane;
    BlockPlane yPlane, cbPlane, crPlane;
    BlockPlane cbPlaneHalf, crPlaneHalf;
    BlockPlane cbPlaneQuarter, crPlaneQuarter;
    MeanPlane yMeans, cbMeans, crMeans;
    MeanPlane cbMeansHalf, crMeansHalf;
    MeanPlane cbMeansQuarter, crMeansQuarter;

    SideStreams streams;
    // Cb and Cr's streams while the planes are coded side by side; sized on
    // first use.
    std::array<SideStreams, 2> planeStreams;

    int32_t colourSampling = Sampling444;
    int32_t allocWidth = 0;   // samples the planes span
    int32_t allocHeight = 0;
};

// Allocates the planes for width x height samples at the colour sampling,
// then the stream buffers for that many blocks.
void allocCodecBuffers(StripWork& w, int32_t colourSampling, int32_t width, int32_t height);
// Stream buffers for n blocks, cleared, with cursors at the start.
void allocSideStreams(SideStreams& st, std::size_t n);
// Clears cursors and the bit-packed buffers for the next strip.
void clearSideStreams(SideStreams& st);

// The Y, Cb and Cr regions of strip `g`, in coding order. Throws if the strip
// does not fit the allocated buffers.
std::array<PlaneRegion, 3> stripRegions(StripWork& w, const StripGeometry& g);

}  // namespace kirune
