#include "codec/payload.h"

#include <cstring>
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

std::array<PlaneRegion, 3> stripRegions(const CodecState& s, StripWork& w) {
    std::array<PlaneRegion, 3> regions{{
        {w.codedY, w.residY, w.meansY, w.yBlocksPerRow, w.yBlockRows, s.lumaRowOffset},
        {w.codedCb, w.residCb, w.meansCb, w.cBlocksPerRow, w.cBlockRows, s.chromaRowOffset},
        {w.codedCr, w.residCr, w.meansCr, w.cBlocksPerRow, w.cBlockRows, s.chromaRowOffset},
    }};
    // Planes span allocWidth x allocHeight samples; chroma planes are that
    // divided by 4 / colourSampling.
    const int64_t lumaBlocks = int64_t{s.allocWidth} * s.allocHeight / 16;
    const int64_t chromaBlocks =
        s.colourSampling == Sampling420 ? lumaBlocks / 4
        : s.colourSampling == Sampling422 ? lumaBlocks / 2
                                          : lumaBlocks;
    for (int i = 0; i < 3; ++i) {
        const PlaneRegion& r = regions[static_cast<std::size_t>(i)];
        const int64_t capacity = i == 0 ? lumaBlocks : chromaBlocks;
        const int64_t end = (int64_t{r.rowOffset} + r.blockRows) * r.blocksPerRow;
        if (!r.coded || !r.resid || !r.means || r.blocksPerRow < 1 || r.blockRows < 0 ||
            r.rowOffset < 0 || end > capacity)
            throw Error("strip geometry does not fit the codec buffers");
    }
    return regions;
}

std::array<uint32_t, kStreamCount> streamRawLengths(const SideStreams& st) {
    return {
        (st.dcSignBitCount >> 3) + 1,
        st.dcBytesPos,
        st.headerPos.byte + 1,
        st.indexLowPos.byte + 1,
        st.indexHighPos.byte + 1,
        st.gainBytesPos,
        st.matchBytesPos,
    };
}

void encodeMeans(const CodecState& s, StripWork& w) {
    SideStreams& st = w.streams;
    const auto regions = stripRegions(s, w);
    std::size_t total = 0;
    for (const PlaneRegion& r : regions) total += r.blocks();
    if (total > st.dcBytes.size() || (total >> 3) + 1 > st.dcSignBits.size())
        throw Error("strip has more blocks than the stream buffers hold");

    uint8_t* signs = st.dcSignBits.data();
    uint8_t* bytes = st.dcBytes.data();
    uint32_t bit = 0;
    uint32_t pos = 0;
    for (const PlaneRegion& r : regions) {
        const int32_t B = r.blocksPerRow;
        for (int32_t row = 0; row < r.blockRows; ++row) {
            std::size_t n = static_cast<std::size_t>(r.rowOffset + row) * B;
            for (int32_t c = 0; c < B; ++c, ++n) {
                const int32_t d = int32_t{r.means[n]} - meanPrediction(r.means, n, B, row, c);
                const uint32_t sign = d < 0 ? 1 : 0;
                // A whole byte at bit 0 clears what an earlier strip left there.
                if ((bit & 7) == 0)
                    signs[bit >> 3] = static_cast<uint8_t>(sign);
                else
                    signs[bit >> 3] = static_cast<uint8_t>(signs[bit >> 3] | (sign << (bit & 7)));
                ++bit;
                bytes[pos++] = static_cast<uint8_t>(d < 0 ? -d : d);
            }
        }
    }
    // The raw length always covers the byte the next sign bit would start;
    // when the count is a multiple of 8 nothing was written there.
    if ((bit & 7) == 0) signs[bit >> 3] = 0;
    st.dcSignBitCount = bit;
    st.dcBytesPos = pos;
    const auto lengths = streamRawLengths(st);
    for (int i = 0; i < kStreamCount; ++i) st.rawLength[i] = lengths[static_cast<std::size_t>(i)];
}

}  // namespace kirune
