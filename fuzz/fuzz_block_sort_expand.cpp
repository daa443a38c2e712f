// One stream through the block-sorting expander with arbitrary lengths.
//   0..3  recordedSize, little-endian
//   4..7  rawLength, little-endian, low 22 bits (a strip's largest stream
//         buffer is below 4 MiB, and four blocks cover every path)
//   8     unused (kept so that existing seeds still apply)
//   9..   the stream
// A stream that expands must occupy what its framing says. One that is small
// enough is compressed again and must come back the same, which fuzzes the
// compressor on arbitrary bytes too.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "kirune/Error.h"
#include "lossless/block_sort_coder.h"

using namespace kirune;

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

constexpr uint32_t kRoundTripLimit = 1u << 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    const uint32_t recorded = le32(data);
    const uint32_t raw = le32(data + 4) & 0x3FFFFFu;
    // A private copy, so that a read past the stream is caught.
    const std::vector<uint8_t> stream(data + 9, data + size);
    std::vector<uint8_t> out(raw);
    size_t consumed = 0;
    try {
        consumed = blockSortExpand(stream, recorded, out);
    } catch (const Error&) {
        return 0;
    }
    if (consumed > stream.size()) std::abort();
    try {
        if (blockSortFootprint(stream, recorded, raw) != consumed) std::abort();
    } catch (const Error&) {
        std::abort();  // the framing of a stream that expanded is sound
    }
    if (raw > kRoundTripLimit) return 0;
    std::vector<uint8_t> packed;
    const uint32_t again = blockSortCompress(out, packed);
    std::vector<uint8_t> back(raw);
    if (blockSortExpand(packed, again, back) != packed.size() || back != out) std::abort();
    return 0;
}
