// One strip's seven streams decoded into planes and converted to RGB, for any
// geometry, quality level and colour sampling (layout: strip_input.h). The
// streams reach the decoder as the strip reader leaves them: a raw length
// below the buffer's size, the byte after a bit stream's data cleared.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/dec.h"
#include "codec/payload.h"
#include "codec/transforms.h"
#include "codec/val.h"
#include "fuzz/strip_input.h"
#include "kirune/Error.h"

using namespace kirune;
using namespace kirune::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kStripHeaderBytes) return 0;
    const StripGeometry g = parseStripGeometry(data);
    size_t at = kStripHeaderBytes;
    try {
        CodecState s;
        setCodecParams(s, g.qualityLevel);
        s.colourSampling = g.sampling;
        s.sourceWidth = g.width;
        s.stripImageRows = g.height;
        s.stripBudgetLog2 = g.budgetLog2;
        computeStripLayout(s);
        allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
        beginStrip(s, g.stripIndex % s.stripCount);
        SideStreams& st = s.strip.streams;
        for (int i = 0; i < kStreamCount; ++i) {
            uint32_t raw = 0;
            if (size - at >= 4) {
                for (int k = 0; k < 4; ++k) raw |= uint32_t{data[at + k]} << (8 * k);
                at += 4;
            }
            StreamBuffer& buf = streamBuffer(st, i);
            if (raw > 0 && raw >= buf.size()) return 0;  // the strip reader refuses these
            const size_t n = std::min<size_t>(raw, size - at);
            std::memcpy(buf.data(), data + at, n);
            std::memset(buf.data() + n, 0, raw - n + 1);
            at += n;
            st.rawLength[i] = raw;
        }
        decodeStrip(s, s.strip);
        stripToRgb(s, s.strip);
    } catch (const Error&) {
    }
    return 0;
}
