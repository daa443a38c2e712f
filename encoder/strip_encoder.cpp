#include "encoder/strip_encoder.h"

#include <array>
#include <cassert>
#include <cstring>

#include "kirune/Parallel.h"

namespace kirune {

void encodeMeans(const StripGeometry& g, StripWork& w) {
    SideStreams& st = w.streams;
    const auto regions = stripRegions(w, g);
    std::size_t total = 0;
    for (const PlaneRegion& r : regions) total += r.blocks();
    // The streams were sized for this geometry's blocks.
    assert(total <= st.dcBytes.size() && (total >> 3) + 1 <= st.dcSignBits.size());

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

namespace {

// Adds the bits [0, end) of src at dst's cursor; the fields are disjoint, so
// adding is what the writer's own additions would have done.
void appendBits(StreamBuffer& dst, BitCursor& cur, const StreamBuffer& src, BitCursor end) {
    const std::size_t bytes = std::size_t{end.byte} + (end.bit ? 1 : 0);
    if (bytes == 0) return;
    assert(std::size_t{cur.byte} + bytes + 1 <= dst.size());  // a plane's spare never outgrows the strip's
    uint8_t* d = dst.data() + cur.byte;
    const uint8_t* from = src.data();
    const unsigned shift = cur.bit;
    for (std::size_t i = 0; i < bytes; ++i) {
        const uint32_t v = uint32_t{from[i]} << shift;
        d[i] = static_cast<uint8_t>(d[i] + v);
        d[i + 1] = static_cast<uint8_t>(d[i + 1] + (v >> 8));
    }
    const uint32_t bits = cur.bit + end.bit;
    cur.byte += end.byte + bits / 8;
    cur.bit = bits % 8;
}

void appendBytes(StreamBuffer& dst, uint32_t& pos, const StreamBuffer& src, uint32_t n) {
    assert(std::size_t{pos} + n <= dst.size());
    if (n) std::memcpy(dst.data() + pos, src.data(), n);
    pos += n;
}

// Codes the three planes, each followed by planeDone. Side by side, Y goes
// into the strip's streams and Cb, Cr into spares of their own, appended in
// plane order afterwards.
void codePlanes(const std::array<PlaneRegion, 3>& regions, StripWork& w, const PlaneRun& run,
                const PlaneCoding& codePlane) {
    const PlaneProgress& planeDone = run.planeDone;
    if (run.threads < 2) {
        for (int p = 0; p < 3; ++p) {
            codePlane(w.streams, regions[static_cast<std::size_t>(p)], p);
            if (planeDone) planeDone();
        }
        return;
    }
    const std::size_t planeBlocks = static_cast<std::size_t>(w.allocWidth) * static_cast<std::size_t>(w.allocHeight) / 16;
    for (SideStreams& spare : w.planeStreams) {
        // Cleared before use: a failed strip may have left one dirty.
        if (spare.blockCapacity < planeBlocks) allocSideStreams(spare, planeBlocks);
        else clearSideStreams(spare);
    }
    parallelFor(3, run.threads, [&](int p) {
        codePlane(p == 0 ? w.streams : w.planeStreams[static_cast<std::size_t>(p - 1)],
                  regions[static_cast<std::size_t>(p)], p);
        if (planeDone) planeDone();
    });
    for (const SideStreams& spare : w.planeStreams) appendPlaneStreams(w.streams, spare);
}

}  // namespace

void appendPlaneStreams(SideStreams& to, const SideStreams& from) {
    assert(uint64_t{to.blockCounter} + from.blockCounter <= to.blockCapacity);
    appendBits(to.headerBits, to.headerPos, from.headerBits, from.headerPos);
    appendBits(to.indexBitsLow, to.indexLowPos, from.indexBitsLow, from.indexLowPos);
    appendBits(to.indexBitsHigh, to.indexHighPos, from.indexBitsHigh, from.indexHighPos);
    appendBytes(to.gainBytes, to.gainBytesPos, from.gainBytes, from.gainBytesPos);
    appendBytes(to.matchBytes, to.matchBytesPos, from.matchBytes, from.matchBytesPos);
    to.blockCounter += from.blockCounter;
}

void encodeStripWith(const QualityParams& q, const StripGeometry& g, StripWork& w, RgbInput input,
                     const PlaneRun& run, const PlaneCoding& codePlane) {
    prepareStrip(q, g, w, input);
    codePlanes(stripRegions(w, g), w, run, codePlane);
    encodeMeans(g, w);
}

void encodeStrip(const QualityParams& q, const StripGeometry& g, StripWork& w, RgbInput input, const PlaneRun& run,
                 const SearchSetup& setup) {
    encodeStripWith(q, g, w, input, run,
                    [&](SideStreams& st, const PlaneRegion& r, int) { encodePlane(q, st, r, setup); });
}

}  // namespace kirune
