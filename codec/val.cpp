#include "codec/val.h"

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

void setCodecParams(CodecState& s, int32_t K) {
    if (K < 1 || K > kMaxQualityLevel)
        throw Error("quality level " + std::to_string(K) + " is outside 1.." +
                    std::to_string(kMaxQualityLevel));
    s.qualityLevel = K;
    s.meanLevel = K > 40000 ? 3 : K > 4000 ? 2 : K > 1000 ? 1 : 0;
    s.distortionLimit = (K >= 2000 && K <= 40000) ? (K * 256) >> 1 : K * 256;
    s.residualShift = K >= 6400 ? 2 : 1;
}

void computeStripLayout(CodecState& s) {
    const int64_t W = s.sourceWidth;
    const int64_t H = s.stripImageRows;
    if (W < 1 || H < 1)
        throw Error("image size " + std::to_string(W) + " x " + std::to_string(H) + " is empty");
    if (s.stripBudgetLog2 < kMinStripBudgetLog2 || s.stripBudgetLog2 > kMaxStripBudgetLog2)
        throw Error("strip budget 2^" + std::to_string(s.stripBudgetLog2) + " is out of range");
    const int64_t budget = int64_t{1} << s.stripBudgetLog2;
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

    s.bmpRowStride = static_cast<int32_t>((3 * W + 3) & ~int64_t{3});
    s.bmpFileSize = int64_t{s.bmpRowStride} * H + 54;
    s.imageWidth = static_cast<int32_t>(W);
    s.imageHeight = static_cast<int32_t>(H);
    s.paddedWidth = static_cast<int32_t>(paddedWidth);
    s.stripBudget = static_cast<int32_t>(budget);
    s.stripCount = static_cast<int32_t>(stripCount);
    s.stripHeight = static_cast<int32_t>(stripHeight);
    s.lumaBlocksPerRow = s.paddedWidth >> 2;
    s.chroma420BlocksPerRow = s.chroma422BlocksPerRow = s.paddedWidth >> 3;
    s.lumaBlockRows = s.chroma422BlockRows = s.stripHeight >> 2;
    s.chroma420BlockRows = s.stripHeight >> 3;
    s.lastStripRows = static_cast<int32_t>(H - (stripCount - 1) * stripHeight);
    s.lastStripPaddedRows = static_cast<int32_t>(Hp - (stripCount - 1) * stripHeight);
    s.stripPaddedRows = s.stripHeight;
    s.stripImageRows = s.stripHeight;
    s.stripIndex = 0;
    s.lumaRowOffset = s.chroma420RowOffset = s.chromaRowOffset = 0;
}

void setupExpandGeometry(CodecState& s) {
    computeStripLayout(s);
    allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
}

static void checkSampling(int32_t sampling) {
    if (sampling != Sampling420 && sampling != Sampling422 && sampling != Sampling444)
        throw Error("colour sampling " + std::to_string(sampling) + " is not 1, 2 or 4");
}

void allocCodecBuffers(CodecState& s, int32_t width, int32_t height) {
    checkSampling(s.colourSampling);
    if (width <= 0 || height <= 0 || width % 8 != 0 || height % 8 != 0)
        throw Error("strip buffer of " + std::to_string(width) + " x " + std::to_string(height) +
                    " is not a positive multiple of 8");
    const int64_t A = int64_t{width} * height;
    if (A > (int64_t{1} << kMaxStripBudgetLog2))
        throw Error("strip buffer of " + std::to_string(width) + " x " + std::to_string(height) +
                    " is too large");
    freeCodecBuffers(s);
    StripWork& w = s.strip;
    const auto full = static_cast<std::size_t>(A / 16);
    for (BlockPlane* p : {&w.rPlane, &w.gPlane, &w.bPlane, &w.yPlane, &w.cbPlane, &w.crPlane,
                          &w.yResidual, &w.cbResidual, &w.crResidual})
        p->reset(full);
    for (MeanPlane* p : {&w.yMeans, &w.cbMeans, &w.crMeans}) p->reset(full);
    if (s.colourSampling < Sampling444) {
        for (BlockPlane* p : {&w.cbPlaneHalf, &w.crPlaneHalf, &w.cbResidualHalf, &w.crResidualHalf})
            p->reset(full / 2);
        for (MeanPlane* p : {&w.cbMeansHalf, &w.crMeansHalf}) p->reset(full / 2);
    }
    if (s.colourSampling == Sampling420) {
        for (BlockPlane* p :
             {&w.cbPlaneQuarter, &w.crPlaneQuarter, &w.cbResidualQuarter, &w.crResidualQuarter})
            p->reset(full / 4);
        for (MeanPlane* p : {&w.cbMeansQuarter, &w.crMeansQuarter}) p->reset(full / 4);
    }
    s.allocWidth = width;
    s.allocHeight = height;
    allocStreamBuffers(s);
    selectCodedPlanes(s);
}

std::size_t streamBlockCount(const CodecState& s, int32_t paddedRows) {
    return static_cast<std::size_t>(s.paddedWidth) * 3 * static_cast<std::size_t>(paddedRows) / 16;
}

// Every stream carries this much beyond its worst case so that a reader's
// 16-bit window at the last field stays inside the buffer.
static constexpr std::size_t kStreamSlack = 16;

void allocStreamBuffers(CodecState& s) {
    allocSideStreams(s.strip.streams, static_cast<std::size_t>(s.allocWidth) * 3 * s.allocHeight / 16);
}

void allocSideStreams(SideStreams& st, std::size_t n) {
    // Sized for the worst case; a strip usually fills a small part of them.
    st.dcSignBits.reset(((n + 7) >> 3) + kStreamSlack, false, true);
    st.dcBytes.reset(n + kStreamSlack, false, true);
    st.headerBits.reset(2 * n + kStreamSlack, true, true);
    st.indexBitsLow.reset(10 * n + kStreamSlack, true, true);
    st.indexBitsHigh.reset(10 * n + kStreamSlack, true, true);
    st.gainBytes.reset(2 * n + kStreamSlack, false, true);
    st.matchBytes.reset(16 * n + kStreamSlack, false, true);
    st.blockCapacity = n;
    st.dcSignBitCount = st.dcBytesPos = st.gainBytesPos = st.matchBytesPos = st.blockCounter = 0;
    st.headerPos = st.indexLowPos = st.indexHighPos = BitCursor{};
}

void resetStreams(CodecState& s) { clearSideStreams(s.strip.streams); }

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

void freeCodecBuffers(CodecState& s) {
    s.strip = StripWork{};
    s.allocWidth = s.allocHeight = 0;
}

void selectCodedPlanes(CodecState& s) {
    checkSampling(s.colourSampling);
    StripWork& w = s.strip;
    w.codedY = w.yPlane.data();
    w.residY = w.yResidual.data();
    w.meansY = w.yMeans.data();
    w.yBlocksPerRow = s.lumaBlocksPerRow;
    w.yBlockRows = s.lumaBlockRows;
    switch (s.colourSampling) {
    case Sampling420:
        w.codedCb = w.cbPlaneQuarter.data();
        w.codedCr = w.crPlaneQuarter.data();
        w.residCb = w.cbResidualQuarter.data();
        w.residCr = w.crResidualQuarter.data();
        w.meansCb = w.cbMeansQuarter.data();
        w.meansCr = w.crMeansQuarter.data();
        w.cBlocksPerRow = s.chroma420BlocksPerRow;
        w.cBlockRows = s.chroma420BlockRows;
        break;
    case Sampling422:
        w.codedCb = w.cbPlaneHalf.data();
        w.codedCr = w.crPlaneHalf.data();
        w.residCb = w.cbResidualHalf.data();
        w.residCr = w.crResidualHalf.data();
        w.meansCb = w.cbMeansHalf.data();
        w.meansCr = w.crMeansHalf.data();
        w.cBlocksPerRow = s.chroma422BlocksPerRow;
        w.cBlockRows = s.chroma422BlockRows;
        break;
    default:
        w.codedCb = w.cbPlane.data();
        w.codedCr = w.crPlane.data();
        w.residCb = w.cbResidual.data();
        w.residCr = w.crResidual.data();
        w.meansCb = w.cbMeans.data();
        w.meansCr = w.crMeans.data();
        w.cBlocksPerRow = s.lumaBlocksPerRow;
        w.cBlockRows = s.lumaBlockRows;
        break;
    }
}

void beginStrip(CodecState& s, int32_t index) {
    if (index < 0 || index >= s.stripCount)
        throw Error("strip " + std::to_string(index) + " is outside the image");
    s.stripIndex = index;
    if (index == s.stripCount - 1) {
        s.stripImageRows = s.lastStripRows;
        s.stripPaddedRows = s.lastStripPaddedRows;
    } else {
        s.stripImageRows = s.stripHeight;
        s.stripPaddedRows = s.stripHeight;
    }
    s.lumaBlockRows = s.chroma422BlockRows = s.stripPaddedRows >> 2;
    s.chroma420BlockRows = s.stripPaddedRows >> 3;
    s.lumaRowOffset = (s.stripHeight - s.stripPaddedRows) / 4;
    s.chroma420RowOffset = (s.stripHeight - s.stripPaddedRows) / 8;
    s.chromaRowOffset = s.colourSampling == Sampling420 ? s.chroma420RowOffset : s.lumaRowOffset;
    selectCodedPlanes(s);
}

}  // namespace kirune
