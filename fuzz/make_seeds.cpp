// fuzz_make_seeds SORTED_DIR STRIP_DIR FILE.rpx...
// Writes, for each strip of each container, one fuzz_strip_decode input with
// its expanded streams, and one fuzz_block_sort_expand input per coded stream. The
// seeds thus start from what the encoder really writes.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codec/stream_syntax.h"
#include "container/rpx_container.h"
#include "fuzz/strip_input.h"
#include "kirune/Error.h"
#include "lossless/block_sort_coder.h"
#include "tools/each_file.h"

using namespace kirune;
using namespace kirune::fuzz;

namespace {

void save(const std::filesystem::path& p, const std::vector<uint8_t>& b) {
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!f) throw Error("cannot write " + p.string());
}

void seedsOf(const std::string& path, const std::filesystem::path& sortedDir, const std::filesystem::path& stripDir) {
    OpenedContainer opened = openContainer(path);
    ContainerReader& in = *opened.reader;
    const FileCoding& file = opened.coding;
    StripWork w;
    allocCodecBuffers(w, file.colourSampling, file.layout.paddedWidth, file.layout.stripHeight);
    const std::string stem = std::filesystem::path(path).stem().string();
    StripInputHeader g;
    g.sampling = file.colourSampling;
    g.qualityLevel = file.quality.qualityLevel;
    g.width = file.layout.width;
    g.height = file.layout.height;
    g.budgetLog2 = file.layout.stripBudgetLog2;
    const bool stripSeeds = g.width <= kMaxSide && g.height <= kMaxSide;
    for (int32_t k = 0; k < file.layout.stripCount; ++k) {
        SideStreams& st = w.streams;
        const StreamTable table = readAndExpandStripSection(in, st);
        std::array<std::vector<uint8_t>, 7> streams;
        for (int i = 0; i < kStreamCount; ++i) {
            const StreamBuffer& buf = streamBuffer(st, i);
            streams[i].assign(buf.data(), buf.data() + st.rawLength[i]);
            if (table[i].recordedSize == table[i].rawLength) continue;
            std::vector<uint8_t> seed;
            putLe(seed, table[i].recordedSize, 4);
            putLe(seed, table[i].rawLength, 4);
            seed.push_back(0);  // unused byte, kept so older seeds still apply
            std::vector<uint8_t> coded;
            if (blockSortCompress({streams[i].data(), st.rawLength[i]}, coded) != table[i].recordedSize)
                throw Error(path + ": stream " + std::to_string(i + 1) + " codes differently");
            seed.insert(seed.end(), coded.begin(), coded.end());
            save(sortedDir / (stem + "-s" + std::to_string(k) + "-" + std::to_string(i + 1)), seed);
        }
        g.stripIndex = k;
        if (stripSeeds) save(stripDir / (stem + "-s" + std::to_string(k)), stripInput(g, streams));
        clearSideStreams(st);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: fuzz_make_seeds SORTED_DIR STRIP_DIR FILE.rpx...\n");
        return 2;
    }
    return tools::eachFile(argc, argv, 3, [&](const char* path) { seedsOf(path, argv[1], argv[2]); });
}
