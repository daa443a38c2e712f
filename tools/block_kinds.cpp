// Where a container's bytes go: the recorded bytes of each of the seven
// streams and the share of each block kind, over all strips and planes.
//
//   block_kinds FILE.rpx...

#include <array>
#include <cstdio>
#include <string>

#include "codec/strip_decoder.h"
#include "container/rpx_container.h"
#include "tools/each_file.h"

using namespace kirune;

namespace {

constexpr const char* kKindNames[8] = {"flat", "smooth", "match", "pattern", "match+pattern", "VQ", "VQ on match", "raw"};

int kindOf(const BlockHeader& h) {
    switch (h.type) {
    case BlockFlat: return 0;
    case BlockVq: return 5;
    case BlockPredicted: return h.smoothFlag ? 1 : 6;
    default: return h.subtype == SpecialMatch ? 2 : h.subtype == SpecialPattern ? 3 : h.subtype == SpecialMatchPattern ? 4 : 7;
    }
}

void describe(const std::string& path) {
    const OpenedContainer c = openContainer(path);
    const ImageLayout& layout = c.coding.layout;
    StripWork w;
    allocCodecBuffers(w, c.coding.colourSampling, layout.paddedWidth, layout.stripHeight);
    std::array<uint64_t, kStreamCount> bytes{};
    std::array<uint64_t, 8> kinds{};
    std::array<uint64_t, 2 * kVqLevels> vq{};  // VQ blocks alone or on a match, by stages and level
    uint64_t blocks = 0;
    for (int32_t k = 0; k < layout.stripCount; ++k) {
        const StreamTable table = readAndExpandStripSection(*c.reader, w.streams);
        for (int i = 0; i < kStreamCount; ++i) bytes[static_cast<std::size_t>(i)] += table[static_cast<std::size_t>(i)].recordedSize;
        BlockStreamReaders rd(w.streams);
        BlockHeader h;
        for (const PlaneRegion& r : stripRegions(w, beginStrip(layout, k)))
            for (std::size_t b = 0; b < r.blocks(); ++b, ++blocks) {
                readBlockSideInfo(rd, r.blocksPerRow, h);
                ++kinds[static_cast<std::size_t>(kindOf(h))];
                if (h.type == BlockVq || (h.type == BlockPredicted && !h.smoothFlag))
                    ++vq[static_cast<std::size_t>((h.stageCount - 1) * kVqLevels + h.vqLevel)];
            }
        clearSideStreams(w.streams);
    }
    std::printf("%s\n  level %d, sampling %d\n", path.c_str(), c.coding.quality.qualityLevel, c.coding.colourSampling);
    for (int i = 0; i < kStreamCount; ++i) std::printf("  %-14s %10llu bytes\n", kStreamNames[i], static_cast<unsigned long long>(bytes[static_cast<std::size_t>(i)]));
    for (int i = 0; i < 8; ++i)
        std::printf("  %-14s %6.2f%% of blocks\n", kKindNames[i], 100.0 * static_cast<double>(kinds[static_cast<std::size_t>(i)]) / static_cast<double>(blocks ? blocks : 1));
    uint64_t vqBlocks = 0;
    for (const uint64_t n : vq) vqBlocks += n;
    for (int i = 0; i < 2 * kVqLevels; ++i)
        std::printf("  VQ level %d, %d stage%s %6.2f%% of VQ blocks\n", i % kVqLevels, i / kVqLevels + 1, i < kVqLevels ? " " : "s",
                    100.0 * static_cast<double>(vq[static_cast<std::size_t>(i)]) / static_cast<double>(vqBlocks ? vqBlocks : 1));
}

}  // namespace

int main(int argc, char** argv) {
    const int status = tools::eachFile(argc, argv, 1, describe);
    return argc < 2 ? 2 : status;
}
