#include "encoder/strip_encoder.h"

#include <string>

#include "kirune/Error.h"

namespace kirune {

void encodeMeans(const StripGeometry& g, StripWork& w) {
    SideStreams& st = w.streams;
    const auto regions = stripRegions(w, g);
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
        for (int32_t row = 0; row < r.rows; ++row) {
            std::size_t n = static_cast<std::size_t>(r.firstRow + row) * B;
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

void encodeStripWith(const QualityParams& q, const StripGeometry& g, StripWork& w, RgbInput input,
                     const PlaneProgress& planeDone, const PlaneCoding& codePlane) {
    rgbToYcc(g, w, input);
    downsampleChroma(g, w);
    computeMeans(q, g, w);
    removeMeans(q, g, w);
    int plane = 0;
    for (const PlaneRegion& r : stripRegions(w, g)) {
        codePlane(r, plane++);
        if (planeDone) planeDone();
    }
    encodeMeans(g, w);
}

void encodeStrip(const QualityParams& q, const StripGeometry& g, StripWork& w, RgbInput input,
                 const PlaneProgress& planeDone, const SearchSetup& setup) {
    encodeStripWith(q, g, w, input, planeDone,
                    [&](const PlaneRegion& r, int) { encodePlane(q, w.streams, r, setup); });
}

}  // namespace kirune
