// dump_side_streams OUT_DIR FILE.rpx...
// Writes every block-sorted side stream of every strip of the given containers
// as OUT_DIR/<stem>-s<strip>-<stream>.raw (the expanded bytes) and .bwt (the
// bytes this build's coder makes of them). bench_lossless times the coder on
// the .raw files (KIRUNE_STREAM_DIR) and checks its output against the .bwt
// files, so a dump made by one build pins the coded bytes for later builds.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codec/stream_syntax.h"
#include "container/rpx_container.h"
#include "kirune/Error.h"
#include "lossless/block_sort_coder.h"
#include "tools/each_file.h"

using namespace kirune;

namespace {

void save(const std::filesystem::path& p, const uint8_t* data, size_t n) {
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
    if (!f) throw Error("cannot write " + p.string());
}

size_t dumpContainer(const std::string& path, const std::filesystem::path& outDir) {
    OpenedContainer opened = openContainer(path);
    ContainerReader& in = *opened.reader;
    const FileCoding& file = opened.coding;
    StripWork w;
    allocCodecBuffers(w, file.colourSampling, file.layout.paddedWidth, file.layout.stripHeight);
    const std::string stem = std::filesystem::path(path).stem().string();
    size_t dumped = 0;
    for (int32_t k = 0; k < file.layout.stripCount; ++k) {
        SideStreams& st = w.streams;
        const StreamTable table = readAndExpandStripSection(in, st);
        for (int i = 0; i < kStreamCount; ++i) {
            // Index bits are stored verbatim, never block-sorted.
            if (i == StreamIndexBitsLow || i == StreamIndexBitsHigh) continue;
            const uint32_t raw = st.rawLength[i];
            if (raw == 0) continue;
            const uint8_t* data = streamBuffer(st, i).data();
            std::vector<uint8_t> coded;
            if (blockSortCompress({data, raw}, coded) != table[i].recordedSize)
                throw Error(path + ": stream " + std::to_string(i + 1) + " codes differently");
            const std::string name = stem + "-s" + std::to_string(k) + "-" + std::to_string(i + 1);
            save(outDir / (name + ".raw"), data, raw);
            save(outDir / (name + ".bwt"), coded.data(), coded.size());
            ++dumped;
        }
        clearSideStreams(st);
    }
    return dumped;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: dump_side_streams OUT_DIR FILE.rpx...\n");
        return 2;
    }
    return tools::eachFile(argc, argv, 2, [&](const char* path) {
        std::printf("%s: %zu streams\n", path, dumpContainer(path, argv[1]));
    });
}
