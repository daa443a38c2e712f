#pragma once
// A container whose damage only the range decoder can find: one coded side
// stream's payload overwritten, its framing and the container checksum
// recomputed around it, so the header, tables and trailer all read well.

#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "container/rpx_container.h"
#include "container/trailer.h"
#include "lossless/block_sort_coder.h"
#include "tests/container/support.h"

namespace kirune::test {

// Copies the container at `from` (with a container checksum) to `to`, the
// first block of its first strip's first coded stream overwritten with 0xff.
inline void writeRangeCoderDamage(const std::string& from, const std::string& to) {
    std::vector<uint8_t> bytes = readFile(from);
    const OpenedContainer c = openContainer(from);
    if (!c.trailer || !c.trailer->container) throw std::runtime_error("no container checksum to recompute");
    const auto u32 = [&](std::size_t at) { return getLe(bytes, at, 4); };
    const auto table = static_cast<std::size_t>(c.reader->position());
    std::size_t stream = table + kStreamTableBytes;
    for (std::size_t i = 0; i < kStreamCount; ++i) {
        const uint32_t raw = u32(table + 8 * i), recorded = u32(table + 8 * i + 4);
        if (recorded < raw) {
            // Factor byte, 24-bit primary index, 24-bit payload length, payload.
            const std::size_t payload = stream + 7;
            const std::size_t length = std::size_t{bytes[stream + 4]} << 16 | std::size_t{bytes[stream + 5]} << 8 |
                                       bytes[stream + 6];
            std::fill(bytes.begin() + payload, bytes.begin() + payload + length, uint8_t{0xff});
            bytes.resize(static_cast<std::size_t>(c.trailer->offset));
            Checksummer sum;
            sum.add(bytes.data(), bytes.size());
            Trailer trailer = *c.trailer;
            trailer.container = sum.digest();
            const std::vector<uint8_t> encoded = encodeTrailer(trailer);
            bytes.insert(bytes.end(), encoded.begin(), encoded.end());
            writeFile(to, bytes);
            return;
        }
        stream += blockSortFootprint(std::span<const uint8_t>(bytes).subspan(stream), recorded, raw);
    }
    throw std::runtime_error("the first strip has no coded stream");
}

}  // namespace kirune::test
