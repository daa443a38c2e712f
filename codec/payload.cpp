#include "codec/payload.h"

#include <cstring>
#include <string>

#include "kirune/Error.h"

namespace kirune {

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

}  // namespace kirune
