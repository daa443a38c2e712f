#include "codec/codec_state.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "kirune/Error.h"

namespace kirune {

StreamBuffer& streamBuffer(SideStreams& st, int id) {
    switch (id) {
    case StreamDcSignBits: return st.dcSignBits;
    case StreamDcBytes: return st.dcBytes;
    case StreamHeaderBits: return st.headerBits;
    case StreamIndexBitsLow: return st.indexBitsLow;
    case StreamIndexBitsHigh: return st.indexBitsHigh;
    case StreamGainBytes: return st.gainBytes;
    case StreamMatchBytes: return st.matchBytes;
    default: throw Error("stream number " + std::to_string(id) + " is not 0..6");
    }
}

const StreamBuffer& streamBuffer(const SideStreams& st, int id) {
    return streamBuffer(const_cast<SideStreams&>(st), id);
}

// Quality levels from here on code their corrections shifted down.
constexpr int32_t kShiftedCorrectionsLevel = 2000;

QualityParams codecParams(int32_t K) {
    if (K < 1 || K > kMaxQualityLevel)
        throw Error("quality level " + std::to_string(K) + " is outside 1.." +
                    std::to_string(kMaxQualityLevel));
    QualityParams q;
    q.qualityLevel = K;
    q.meanLevel = K > 40000 ? 3 : K > 4000 ? 2 : K > 1000 ? 1 : 0;
    q.distortionLimit = (K >= 2000 && K <= 40000) ? (K * 256) >> 1 : K * 256;
    q.residualShift = K >= 6400 ? 2 : 1;
    q.shiftedCorrections = K >= kShiftedCorrectionsLevel;
    return q;
}

ImageLayout computeStripLayout(int32_t width, int32_t height, int32_t stripBudgetLog2) {
    const int64_t W = width;
    const int64_t H = height;
    if (W < 1 || H < 1)
        throw Error("image size " + std::to_string(W) + " x " + std::to_string(H) + " is empty");
    if (stripBudgetLog2 < kMinStripBudgetLog2 || stripBudgetLog2 > kMaxStripBudgetLog2)
        throw Error("strip budget 2^" + std::to_string(stripBudgetLog2) + " is out of range");
    const int64_t budget = int64_t{1} << stripBudgetLog2;
    const int64_t paddedWidth = (W + 7) & ~int64_t{7};
    const int64_t Hp = (H + 7) & ~int64_t{7};
    if (Hp > std::numeric_limits<int32_t>::max())
        throw Error("image height " + std::to_string(H) + " is too large");
    const int64_t maxRows = (budget / paddedWidth) & ~int64_t{7};
    if (maxRows == 0)
        throw Error("image width " + std::to_string(W) + " exceeds the widest supported (" +
                    std::to_string(budget / 8) + " pixels)");

    const int64_t stripCount = (Hp + maxRows - 1) / maxRows;
    const int64_t stripHeight = ((Hp + stripCount - 1) / stripCount + 7) & ~int64_t{7};
    ImageLayout l;
    l.width = width;
    l.height = height;
    l.paddedWidth = static_cast<int32_t>(paddedWidth);
    l.stripBudgetLog2 = stripBudgetLog2;
    l.stripCount = static_cast<int32_t>(stripCount);
    l.stripHeight = static_cast<int32_t>(stripHeight);
    l.lastStripRows = static_cast<int32_t>(H - (stripCount - 1) * stripHeight);
    l.lastStripPaddedRows = static_cast<int32_t>(Hp - (stripCount - 1) * stripHeight);
    return l;
}

StripGeometry beginStrip(const ImageLayout& layout, int32_t index) {
    if (index < 0 || index >= layout.stripCount)
        throw Error("strip " + std::to_string(index) + " is outside the image");
    const bool last = index == layout.stripCount - 1;
    StripGeometry g;
    g.index = index;
    g.firstImageRow = index * layout.stripHeight;
    g.imageRows = last ? layout.lastStripRows : layout.stripHeight;
    g.paddedRows = last ? layout.lastStripPaddedRows : layout.stripHeight;
    g.bufferRows = layout.stripHeight;
    g.luma = {layout.paddedWidth >> 2, g.paddedRows >> 2, (g.bufferRows - g.paddedRows) / 4};
    return g;
}

PlaneGrid chromaGrid(const StripGeometry& g, int32_t colourSampling) {
    switch (colourSampling) {
    case Sampling420: return {g.luma.blocksPerRow >> 1, g.paddedRows >> 3, (g.bufferRows - g.paddedRows) / 8};
    case Sampling422: return {g.luma.blocksPerRow >> 1, g.luma.rows, g.luma.firstRow};
    default: return g.luma;
    }
}

static void checkSampling(int32_t sampling) {
    if (sampling != Sampling420 && sampling != Sampling422 && sampling != Sampling444)
        throw Error("colour sampling " + std::to_string(sampling) + " is not 1, 2 or 4");
}

void allocCodecBuffers(StripWork& w, int32_t colourSampling, int32_t width, int32_t height) {
    checkSampling(colourSampling);
    if (width <= 0 || height <= 0 || width % 8 != 0 || height % 8 != 0)
        throw Error("strip buffer of " + std::to_string(width) + " x " + std::to_string(height) +
                    " is not a positive multiple of 8");
    const int64_t A = int64_t{width} * height;
    if (A > (int64_t{1} << kMaxStripBudgetLog2))
        throw Error("strip buffer of " + std::to_string(width) + " x " + std::to_string(height) +
                    " is too large");
    w = StripWork{};
    const auto full = static_cast<std::size_t>(A / 16);
    for (BlockPlane* p : {&w.rPlane, &w.gPlane, &w.bPlane, &w.yPlane, &w.cbPlane, &w.crPlane}) p->reset(full);
    for (MeanPlane* p : {&w.yMeans, &w.cbMeans, &w.crMeans}) p->reset(full);
    if (colourSampling < Sampling444) {
        for (BlockPlane* p : {&w.cbPlaneHalf, &w.crPlaneHalf}) p->reset(full / 2);
        for (MeanPlane* p : {&w.cbMeansHalf, &w.crMeansHalf}) p->reset(full / 2);
    }
    if (colourSampling == Sampling420) {
        for (BlockPlane* p : {&w.cbPlaneQuarter, &w.crPlaneQuarter}) p->reset(full / 4);
        for (MeanPlane* p : {&w.cbMeansQuarter, &w.crMeansQuarter}) p->reset(full / 4);
    }
    w.colourSampling = colourSampling;
    w.allocWidth = width;
    w.allocHeight = height;
    allocSideStreams(w.streams, full * 3);
}

// Every stream carries this much beyond its worst case so that a reader's
// 16-bit window at the last field stays inside the buffer.
static constexpr std::size_t kStreamSlack = 16;

void allocSideStreams(SideStreams& st, std::size_t n) {
    // Sized for the worst case; a strip usually fills a small part of them.
    st.dcSignBits.reset(((n + 7) >> 3) + kStreamSlack);
    st.dcBytes.reset(n + kStreamSlack);
    st.headerBits.reset(2 * n + kStreamSlack, true);
    st.indexBitsLow.reset(10 * n + kStreamSlack, true);
    st.indexBitsHigh.reset(10 * n + kStreamSlack, true);
    st.gainBytes.reset(2 * n + kStreamSlack);
    st.matchBytes.reset(16 * n + kStreamSlack);
    st.blockCapacity = n;
    st.dcSignBitCount = st.dcBytesPos = st.gainBytesPos = st.matchBytesPos = st.blockCounter = 0;
    st.headerPos = st.indexLowPos = st.indexHighPos = BitCursor{};
}

void clearSideStreams(SideStreams& st) {
    // Writers add fields into bytes that must start at zero; readers treat
    // bytes past the data as zero. Every byte a strip can have changed lies
    // below its writer's cursor (plus the few bytes a field may straddle) or
    // its raw length, so clearing up to there leaves the buffer as new.
    const struct {
        StreamBuffer* buf;
        uint32_t cursor;
        uint32_t raw;
    } bitStreams[] = {
        {&st.headerBits, st.headerPos.byte, st.rawLength[StreamHeaderBits]},
        {&st.indexBitsLow, st.indexLowPos.byte, st.rawLength[StreamIndexBitsLow]},
        {&st.indexBitsHigh, st.indexHighPos.byte, st.rawLength[StreamIndexBitsHigh]},
    };
    for (const auto& b : bitStreams) {
        const std::size_t dirty = std::size_t{std::max(b.cursor, b.raw)} + kStreamSlack;
        if (!b.buf->empty()) std::memset(b.buf->data(), 0, std::min(dirty, b.buf->size()));
    }
    st.dcSignBitCount = st.dcBytesPos = st.gainBytesPos = st.matchBytesPos = st.blockCounter = 0;
    st.headerPos = st.indexLowPos = st.indexHighPos = BitCursor{};
}

std::array<PlaneRegion, 3> stripRegions(StripWork& w, const StripGeometry& g) {
    const PlaneGrid l = g.luma, c = chromaGrid(g, w.colourSampling);
    std::array<PlaneRegion, 3> regions{{
        {w.yPlane.data(), w.rPlane.data(), w.yMeans.data(), l.blocksPerRow, l.rows, l.firstRow},
        {w.cbPlane.data(), w.gPlane.data(), w.cbMeans.data(), c.blocksPerRow, c.rows, c.firstRow},
        {w.crPlane.data(), w.bPlane.data(), w.crMeans.data(), c.blocksPerRow, c.rows, c.firstRow},
    }};
    if (w.colourSampling == Sampling420) {
        regions[1] = {w.cbPlaneQuarter.data(), w.gPlane.data(), w.cbMeansQuarter.data(),
                      c.blocksPerRow, c.rows, c.firstRow};
        regions[2] = {w.crPlaneQuarter.data(), w.bPlane.data(), w.crMeansQuarter.data(),
                      c.blocksPerRow, c.rows, c.firstRow};
    } else if (w.colourSampling == Sampling422) {
        regions[1] = {w.cbPlaneHalf.data(), w.gPlane.data(), w.cbMeansHalf.data(),
                      c.blocksPerRow, c.rows, c.firstRow};
        regions[2] = {w.crPlaneHalf.data(), w.bPlane.data(), w.crMeansHalf.data(),
                      c.blocksPerRow, c.rows, c.firstRow};
    }
    // Planes span allocWidth x allocHeight samples; chroma planes are that
    // divided by 4 / colourSampling.
    const int64_t lumaBlocks = int64_t{w.allocWidth} * w.allocHeight / 16;
    const int64_t chromaBlocks = lumaBlocks * w.colourSampling / 4;
    for (std::size_t i = 0; i < 3; ++i) {
        const PlaneRegion& r = regions[i];
        const int64_t capacity = i == 0 ? lumaBlocks : chromaBlocks;
        const int64_t end = (int64_t{r.firstRow} + r.rows) * r.blocksPerRow;
        if (!r.coded || !r.resid || !r.means || r.blocksPerRow < 1 || r.rows < 0 || r.firstRow < 0 ||
            end > capacity)
            throw Error("strip geometry does not fit the codec buffers");
    }
    return regions;
}

}  // namespace kirune
