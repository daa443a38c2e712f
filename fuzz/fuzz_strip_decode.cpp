// One strip's seven streams decoded into planes and converted to RGB, for any
// geometry, quality level and colour sampling (layout: strip_input.h). The
// streams reach the decoder as the strip reader leaves them: a raw length
// below the buffer's size, the byte after the data cleared. The strip is
// decoded twice, every buffer first filled with a different byte, once into
// the Y, Cb, Cr planes and once as expansion does (means and residuals
// only): the image rows must come out the same, or the decoder read something
// it never wrote, or the two ways differ.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/codec_state.h"
#include "codec/stream_syntax.h"
#include "codec/strip_decoder.h"
#include "codec/transforms.h"
#include "fuzz/strip_input.h"
#include "kirune/Error.h"

using namespace kirune;
using namespace kirune::fuzz;

namespace {

void fill(StripWork& w, uint8_t byte) {
    for (BlockPlane* p : {&w.rPlane, &w.gPlane, &w.bPlane, &w.yPlane, &w.cbPlane, &w.crPlane, &w.cbPlaneHalf,
                          &w.crPlaneHalf, &w.cbPlaneQuarter, &w.crPlaneQuarter})
        if (!p->empty()) std::memset(p->data(), byte, p->size() * sizeof(BlockVec));
    for (MeanPlane* p : {&w.yMeans, &w.cbMeans, &w.crMeans, &w.cbMeansHalf, &w.crMeansHalf, &w.cbMeansQuarter,
                         &w.crMeansQuarter})
        if (!p->empty()) std::memset(p->data(), byte, p->size());
    for (int i = 0; i < kStreamCount; ++i) {
        StreamBuffer& b = streamBuffer(w.streams, i);
        std::memset(b.data(), byte, b.size());
    }
}

// The strip's image rows as R, G, B samples, or the error's text.
std::string decode(const StripInputHeader& g, const uint8_t* data, size_t size, uint8_t filler, bool planes,
                   std::vector<int16_t>& rows) {
    const QualityParams quality = codecParams(g.qualityLevel);
    const ImageLayout layout = computeStripLayout(g.width, g.height, g.budgetLog2);
    StripWork w;
    allocCodecBuffers(w, g.sampling, layout.paddedWidth, layout.stripHeight);
    const StripGeometry strip = beginStrip(layout, g.stripIndex % layout.stripCount);
    fill(w, filler);
    SideStreams& st = w.streams;
    size_t at = kStripHeaderBytes;
    for (int i = 0; i < kStreamCount; ++i) {
        uint32_t raw = 0;
        if (size - at >= 4) {
            for (int k = 0; k < 4; ++k) raw |= uint32_t{data[at + k]} << (8 * k);
            at += 4;
        }
        StreamBuffer& buf = streamBuffer(st, i);
        if (raw > 0 && raw >= buf.size()) return "refused by the strip reader";
        const size_t n = std::min<size_t>(raw, size - at);
        std::memcpy(buf.data(), data + at, n);
        std::memset(buf.data() + n, 0, raw - n + 1);
        at += n;
        st.rawLength[i] = raw;
    }
    try {
        if (planes) {
            decodeStrip(quality, strip, w);
            stripToRgb(strip, w);
        } else {
            decodeStripResiduals(quality, strip, w);
            residualsToRgb(quality, strip, w);
        }
    } catch (const Error& e) {
        return e.what();
    }
    const int32_t B = layout.paddedWidth / 4;
    for (int32_t r = 0; r < strip.imageRows; ++r) {
        const int32_t y = strip.bufferRows - 1 - r;
        for (int32_t x = 0; x < layout.width; ++x)
            for (const BlockPlane* p : {&w.rPlane, &w.gPlane, &w.bPlane})
                rows.push_back((*p)[static_cast<size_t>((y >> 2) * B + (x >> 2))].lane[(y & 3) * 4 + (x & 3)]);
    }
    return "decoded";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kStripHeaderBytes) return 0;
    const StripInputHeader g = parseStripInputHeader(data);
    std::vector<int16_t> first, second;
    try {
        const std::string a = decode(g, data, size, 0x00, true, first);
        const std::string b = decode(g, data, size, 0xA5, false, second);
        if (a != b || first != second) std::abort();
    } catch (const Error&) {
        // A geometry the layout refuses.
    }
    return 0;
}
