// One stream through the block-sorting expander with arbitrary lengths.
//   0..3  recordedSize, little-endian
//   4..7  rawLength, little-endian, low 22 bits (a strip's largest stream
//         buffer is below 4 MiB, and four blocks cover every path)
//   8     bit 0: read from a stdio stream instead of memory
//   9..   the stream
// A stream that expands and is small enough is compressed again and must
// come back the same, which fuzzes the compressor on arbitrary bytes too.

#include <stdio.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "kirune/Error.h"
#include "lossless/BWT.h"

using namespace kirune;

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

struct StdioCloser {
    void operator()(FILE* f) const noexcept { fclose(f); }
};

constexpr uint32_t kRoundTripLimit = 1u << 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    const uint32_t recorded = le32(data);
    const uint32_t raw = le32(data + 4) & 0x3FFFFFu;
    const bool fromFile = data[8] & 1;
    // A private copy: fmemopen wants a writable buffer, and the expander must
    // never touch its source.
    const std::vector<uint8_t> stream(data + 9, data + size);
    std::vector<uint8_t> out(raw);
    try {
        if (fromFile) {
            std::vector<uint8_t> backing = stream;
            backing.reserve(1);  // a valid pointer even for an empty stream
            std::unique_ptr<FILE, StdioCloser> f(fmemopen(backing.data(), backing.size(), "rb"));
            if (!f) std::abort();
            bwtExpandFromFile(f.get(), recorded, out.data(), raw);
            // Left directly behind the stream, never past the data.
            if (ftell(f.get()) > static_cast<long>(stream.size())) std::abort();
        } else {
            size_t consumed = 0;
            bwtExpandFromMemory(stream.data(), stream.size(), recorded, out.data(), raw, &consumed);
            if (consumed > stream.size()) std::abort();
        }
    } catch (const Error&) {
        return 0;
    }
    if (raw > kRoundTripLimit) return 0;
    std::vector<uint8_t> packed;
    const uint32_t again = bwtCompressToVector(out.data(), raw, packed);
    std::vector<uint8_t> back(raw);
    size_t consumed = 0;
    bwtExpandFromMemory(packed.data(), packed.size(), again, back.data(), raw, &consumed);
    if (back != out || consumed != packed.size()) std::abort();
    return 0;
}
