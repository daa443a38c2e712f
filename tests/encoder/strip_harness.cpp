#include "tests/encoder/strip_harness.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "codec/dec.h"
#include "codec/transforms.h"
#include "encoder/enc.h"
#include "kirune/Error.h"

namespace kirune::harness {

namespace {

// Mirror without repeating the edge; an image too small for that repeats it.
int32_t mirror(int32_t i, int32_t n) {
    if (i < n) return i;
    const int32_t m = 2 * n - i - 2;
    return m >= 0 ? m : n - 1;
}

// Earlier content a decoder must never depend on.
void scramble(StripWork& w, uint32_t seed) {
    std::mt19937 rng(seed);
    for (BlockPlane* p : {&w.yPlane, &w.cbPlane, &w.crPlane, &w.yResidual, &w.cbResidual,
                          &w.crResidual, &w.cbPlaneHalf, &w.crPlaneHalf, &w.cbResidualHalf,
                          &w.crResidualHalf, &w.cbPlaneQuarter, &w.crPlaneQuarter,
                          &w.cbResidualQuarter, &w.crResidualQuarter})
        for (BlockVec& b : *p)
            for (int16_t& l : b.lane) l = static_cast<int16_t>(rng());
    for (MeanPlane* p : {&w.yMeans, &w.cbMeans, &w.crMeans, &w.cbMeansHalf, &w.crMeansHalf,
                         &w.cbMeansQuarter, &w.crMeansQuarter})
        for (uint8_t& m : *p) m = static_cast<uint8_t>(rng());
}

void decodeInto(CodecState& d, int32_t k, const SideStreams& streams) {
    beginStrip(d, k);
    handOverStreams(streams, d.strip.streams);
    decodeStrip(d, d.strip);
    stripToRgb(d, d.strip);
}

std::string compareRgb(const CodecState& a, const CodecState& b) {
    const std::size_t first = std::size_t(a.lumaRowOffset) * a.lumaBlocksPerRow;
    const std::size_t end = first + std::size_t(a.lumaBlockRows) * a.lumaBlocksPerRow;
    const BlockPlane* pa[3] = {&a.strip.rPlane, &a.strip.gPlane, &a.strip.bPlane};
    const BlockPlane* pb[3] = {&b.strip.rPlane, &b.strip.gPlane, &b.strip.bPlane};
    for (int c = 0; c < 3; ++c)
        for (std::size_t n = first; n < end; ++n)
            if (std::memcmp(&(*pa[c])[n], &(*pb[c])[n], sizeof(BlockVec)) != 0)
                return "second decode differs in RGB channel " + std::to_string(c) + " block " +
                       std::to_string(n);
    return {};
}

void storeStripRows(const CodecState& s, const StripWork& w, RgbImage& out) {
    const BlockPlane* planes[3] = {&w.rPlane, &w.gPlane, &w.bPlane};
    const int32_t B = s.lumaBlocksPerRow;
    for (int32_t r = 0; r < s.stripImageRows; ++r) {
        const int32_t y = s.stripHeight - 1 - r;
        const int32_t imageRow = s.stripIndex * s.stripHeight + r;
        for (int32_t x = 0; x < s.imageWidth; ++x)
            for (int c = 0; c < 3; ++c)
                out.at(x, imageRow, c) = static_cast<uint16_t>(
                    (*planes[c])[std::size_t(y / 4) * B + x / 4].lane[(y % 4) * 4 + x % 4]);
    }
}

}  // namespace

CodecState stateFor(const RgbImage& img, const CodecChoice& choice) {
    CodecState s;
    setCodecParams(s, choice.quality);
    s.colourSampling = choice.sampling;
    s.sourceWidth = img.width;
    s.stripImageRows = img.height;
    s.stripBudgetLog2 = choice.stripBudgetLog2;
    setupExpandGeometry(s);
    return s;
}

RgbImage loadFixture(const std::string& name) {
    const auto path = std::filesystem::path(__FILE__).parent_path().parent_path() / "data" / (name + ".rgb16");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error("cannot open fixture " + path.string());
    uint8_t head[8];
    in.read(reinterpret_cast<char*>(head), 8);
    const auto u32 = [&](int o) {
        return uint32_t(head[o]) | uint32_t(head[o + 1]) << 8 | uint32_t(head[o + 2]) << 16 |
               uint32_t(head[o + 3]) << 24;
    };
    if (!in || u32(0) == 0 || u32(4) == 0 || u32(0) > 4096 || u32(4) > 4096)
        throw Error("fixture " + path.string() + " has no valid size");
    RgbImage img(static_cast<int32_t>(u32(0)), static_cast<int32_t>(u32(4)));
    std::vector<uint8_t> bytes(img.rgb.size() * 2);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!in) throw Error("fixture " + path.string() + " is cut short");
    for (std::size_t i = 0; i < img.rgb.size(); ++i)
        img.rgb[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return img;
}

void loadStripRgb(const CodecState& s, StripWork& w, const RgbImage& img) {
    BlockPlane* planes[3] = {&w.rPlane, &w.gPlane, &w.bPlane};
    const int32_t B = s.lumaBlocksPerRow;
    for (int32_t r = 0; r < s.stripPaddedRows; ++r) {
        const int32_t y = s.stripHeight - 1 - r;
        const int32_t imageRow = s.stripIndex * s.stripHeight + mirror(r, s.stripImageRows);
        for (int32_t x = 0; x < s.paddedWidth; ++x) {
            const int32_t sx = mirror(x, img.width);
            for (int c = 0; c < 3; ++c)
                (*planes[c])[std::size_t(y / 4) * B + x / 4].lane[(y % 4) * 4 + x % 4] =
                    static_cast<int16_t>((img.at(sx, imageRow, c) + 8) >> 4);
        }
    }
}

void handOverStreams(const SideStreams& from, SideStreams& to) {
    for (int i = 0; i < kStreamCount; ++i) {
        const uint32_t len = from.rawLength[i];
        StreamBuffer& dst = streamBuffer(to, i);
        if (len > dst.size()) throw Error("stream does not fit the decoder's buffer");
        if (len > 0) std::memcpy(dst.data(), streamBuffer(from, i).data(), len);
        to.rawLength[i] = len;
    }
}

std::string comparePlanes(const CodecState& enc, const CodecState& dec) {
    const auto re = stripRegions(enc, const_cast<StripWork&>(enc.strip));
    const auto rd = stripRegions(dec, const_cast<StripWork&>(dec.strip));
    static const char* names[3] = {"Y", "Cb", "Cr"};
    for (int p = 0; p < 3; ++p) {
        const PlaneRegion& a = re[std::size_t(p)];
        const PlaneRegion& b = rd[std::size_t(p)];
        if (a.blocksPerRow != b.blocksPerRow || a.blockRows != b.blockRows || a.rowOffset != b.rowOffset)
            return std::string(names[p]) + " regions differ";
        const std::size_t first = std::size_t(a.rowOffset) * a.blocksPerRow;
        for (std::size_t n = first; n < first + a.blocks(); ++n) {
            const char* what = nullptr;
            if (a.means[n] != b.means[n])
                what = "mean";
            else if (std::memcmp(&a.coded[n], &b.coded[n], sizeof(BlockVec)) != 0)
                what = "samples";
            else if (std::memcmp(&a.resid[n], &b.resid[n], sizeof(BlockVec)) != 0)
                what = "correction";
            if (what) {
                std::ostringstream os;
                os << names[p] << " " << what << " of block " << n << " (row " << n / a.blocksPerRow
                   << ", column " << n % a.blocksPerRow << ") differs in strip " << enc.stripIndex;
                return os.str();
            }
        }
    }
    return {};
}

uint64_t ImageResult::totalBytes() const {
    uint64_t t = 0;
    for (uint64_t b : streamBytes) t += b;
    return t;
}

double ImageResult::bitsPerPixel(const RgbImage& img) const {
    return 8.0 * static_cast<double>(totalBytes()) / (double(img.width) * double(img.height));
}

ImageResult runImage(const RgbImage& img, const CodecChoice& choice, bool secondDecode) {
    ImageResult result;
    result.decoded = RgbImage(img.width, img.height);
    CodecState enc = stateFor(img, choice);
    CodecState dec = stateFor(img, choice);
    CodecState again;
    if (secondDecode) again = stateFor(img, choice);
    scramble(dec.strip, 1);
    if (secondDecode) scramble(again.strip, 2);
    result.strips = enc.stripCount;

    for (int32_t k = 0; k < enc.stripCount; ++k) {
        beginStrip(enc, k);
        loadStripRgb(enc, enc.strip, img);
        encodeStrip(enc, enc.strip, RgbInput::Native12);
        for (int i = 0; i < kStreamCount; ++i) result.streamBytes[std::size_t(i)] += enc.strip.streams.rawLength[i];

        decodeInto(dec, k, enc.strip.streams);
        if (result.mismatch.empty()) result.mismatch = comparePlanes(enc, dec);
        if (secondDecode) {
            decodeInto(again, k, enc.strip.streams);
            if (result.mismatch.empty()) result.mismatch = compareRgb(dec, again);
            resetStreams(again);
        }
        storeStripRows(dec, dec.strip, result.decoded);
        result.lastStripRowOffset = enc.lumaRowOffset;

        resetStreams(enc);
        resetStreams(dec);
    }
    return result;
}

double psnr16(const RgbImage& a, const RgbImage& b) {
    if (a.width != b.width || a.height != b.height) throw Error("images differ in size");
    double se = 0;
    for (std::size_t i = 0; i < a.rgb.size(); ++i) {
        const double d = double(a.rgb[i]) - double(b.rgb[i]);
        se += d * d;
    }
    if (se == 0) return INFINITY;
    const double mse = se / double(a.rgb.size());
    return 10.0 * std::log10(65535.0 * 65535.0 / mse);
}

}  // namespace kirune::harness
