// Encode and decode time of one 4-megapixel strip (2048 x 2048, the largest
// strip the format lays out), single-threaded, for each of the dialog's ten
// presets. The picture is tiled from the committed photograph crops; tiles
// repeat far outside the match window, so matching is not flattered.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/core/presets.h"
#include "codec/codec_state.h"
#include "codec/stream_syntax.h"
#include "codec/strip_decoder.h"
#include "codec/transforms.h"
#include "encoder/strip_encoder.h"

using namespace kirune;

namespace {

constexpr int32_t kSide = 2048;


struct Crop {
    int32_t w = 0, h = 0;
    std::vector<uint16_t> rgb;
};

Crop loadCrop(const char* name) {
    const auto path = std::filesystem::path(__FILE__).parent_path().parent_path() / "tests" / "data" /
                      (std::string(name) + ".rgb16");
    std::ifstream in(path, std::ios::binary);
    uint32_t size[2] = {};
    in.read(reinterpret_cast<char*>(size), sizeof size);
    Crop c;
    if (!in || size[0] == 0 || size[1] == 0 || size[0] > 4096 || size[1] > 4096) return c;
    c.w = static_cast<int32_t>(size[0]);
    c.h = static_cast<int32_t>(size[1]);
    c.rgb.resize(std::size_t(c.w) * c.h * 3);
    in.read(reinterpret_cast<char*>(c.rgb.data()), static_cast<std::streamsize>(c.rgb.size() * 2));
    if (!in) c.w = c.h = 0;
    return c;
}

// The first strip of a kSide x kSide image at a preset, allocated.
struct BenchStrip {
    QualityParams quality;
    StripGeometry geometry;
    StripWork work;
};

BenchStrip stripState(const Preset& p) {
    BenchStrip s;
    s.quality = codecParams(p.qualityLevel);
    const ImageLayout layout = computeStripLayout(kSide, kSide, kStripBudgetLog2);
    allocCodecBuffers(s.work, p.colourSampling, layout.paddedWidth, layout.stripHeight);
    s.geometry = beginStrip(layout, 0);
    return s;
}

// Fills the R, G, B planes with the crops tiled in turn, in 12-bit units.
bool fillRgb(BenchStrip& s) {
    const Crop crops[3] = {loadCrop("astronaut_face"), loadCrop("astronaut_flag"), loadCrop("coffee_spoon")};
    for (const Crop& c : crops)
        if (c.w == 0) return false;
    BlockPlane* planes[3] = {&s.work.rPlane, &s.work.gPlane, &s.work.bPlane};
    const int32_t B = s.geometry.luma.blocksPerRow;
    for (int32_t y = 0; y < kSide; ++y) {
        for (int32_t x = 0; x < kSide; ++x) {
            const int tile = (x / crops[0].w + 2 * (y / crops[0].h)) % 3;
            const Crop& c = crops[tile];
            const std::size_t src = (std::size_t(y % c.h) * c.w + x % c.w) * 3;
            for (int k = 0; k < 3; ++k)
                (*planes[k])[std::size_t(y / 4) * B + x / 4].lane[(y % 4) * 4 + x % 4] =
                    static_cast<int16_t>((c.rgb[src + k] + 8) >> 4);
        }
    }
    return true;
}

void rewindCursors(SideStreams& st) {
    st.headerPos = st.indexLowPos = st.indexHighPos = BitCursor{};
    st.dcBytesPos = st.gainBytesPos = st.matchBytesPos = st.dcSignBitCount = st.blockCounter = 0;
}

void BM_EncodeStrip(benchmark::State& state) {
    const Preset p = kPresets[state.range(0)];
    BenchStrip s = stripState(p);
    if (!fillRgb(s)) {
        state.SkipWithError("photograph crops not found");
        return;
    }
    uint64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        clearSideStreams(s.work.streams);
        state.ResumeTiming();
        encodeStrip(s.quality, s.geometry, s.work, RgbInput::Native12);
        bytes = 0;
        for (uint32_t len : s.work.streams.rawLength) bytes += len;
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kSide} * kSide);
    state.counters["bpp"] = 8.0 * double(bytes) / (double(kSide) * kSide);
}

void BM_DecodeStrip(benchmark::State& state) {
    const Preset p = kPresets[state.range(0)];
    BenchStrip enc = stripState(p);
    if (!fillRgb(enc)) {
        state.SkipWithError("photograph crops not found");
        return;
    }
    encodeStrip(enc.quality, enc.geometry, enc.work, RgbInput::Native12);
    BenchStrip dec = stripState(p);
    for (int i = 0; i < kStreamCount; ++i) {
        const uint32_t len = enc.work.streams.rawLength[i];
        std::memcpy(streamBuffer(dec.work.streams, i).data(), streamBuffer(enc.work.streams, i).data(), len);
        dec.work.streams.rawLength[i] = len;
    }
    for (auto _ : state) {
        rewindCursors(dec.work.streams);
        decodeStripResiduals(dec.quality, dec.geometry, dec.work);
        residualsToRgb(dec.quality, dec.geometry, dec.work);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kSide} * kSide);
}

}  // namespace

// Argument: the digit key of the preset (0 = level 400 at 4:2:0, ..., 9 = level 200 at 4:2:2).
BENCHMARK(BM_EncodeStrip)->DenseRange(0, 9)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeStrip)->DenseRange(0, 9)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
