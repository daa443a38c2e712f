#include "tests/harness/strip_harness.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "codec/strip_decoder.h"
#include "codec/transforms.h"
#include "encoder/rate_aware_encoder.h"
#include "encoder/strip_encoder.h"
#include "kirune/Error.h"

namespace kirune::harness {

namespace {

// Mirror without repeating the edge; an image too small for that repeats it.
int32_t mirror(int32_t i, int32_t n) {
    const int32_t m = 2 * n - i - 2;
    return i < n ? i : m >= 0 ? m : n - 1;
}

// Sample (x, y) of a strip plane; y counts from the strip's bottom row.
int16_t& sample(BlockPlane& p, const ImageLayout& l, int32_t x, int32_t y) {
    return p[std::size_t(y / 4) * (l.paddedWidth / 4) + x / 4].lane[(y % 4) * 4 + x % 4];
}

// Earlier content a decoder must never depend on.
void scramble(StripWork& w, uint8_t v) {
    for (BlockPlane* p : {&w.rPlane, &w.gPlane, &w.bPlane, &w.yPlane, &w.cbPlane, &w.crPlane,
                          &w.cbPlaneHalf, &w.crPlaneHalf, &w.cbPlaneQuarter, &w.crPlaneQuarter})
        if (!p->empty()) std::memset(p->data(), v, p->size() * sizeof(BlockVec));
    for (MeanPlane* p : {&w.yMeans, &w.cbMeans, &w.crMeans, &w.cbMeansHalf, &w.crMeansHalf,
                         &w.cbMeansQuarter, &w.crMeansQuarter})
        if (!p->empty()) std::memset(p->data(), v, p->size());
}

std::string comparePlanes(TestStrip& enc, TestStrip& dec) {
    const auto re = enc.regions(), rd = dec.regions();
    for (std::size_t p = 0; p < 3; ++p) {
        const PlaneRegion &a = re[p], &b = rd[p];
        const std::size_t first = std::size_t(a.firstRow) * a.blocksPerRow;
        for (std::size_t n = first; n < first + a.blocks(); ++n)
            if (a.means[n] != b.means[n] || std::memcmp(&a.coded[n], &b.coded[n], sizeof(BlockVec)) != 0 ||
                std::memcmp(&a.resid[n], &b.resid[n], sizeof(BlockVec)) != 0)
                return "plane " + std::to_string(p) + " block " + std::to_string(n) + " of strip " +
                       std::to_string(enc.geometry.index) + " differs";
    }
    return {};
}

void storeStripRows(TestStrip& s, RgbImage& out) {
    BlockPlane* planes[3] = {&s.work.rPlane, &s.work.gPlane, &s.work.bPlane};
    const StripGeometry& g = s.geometry;
    for (int32_t r = 0; r < g.imageRows; ++r)
        for (int32_t x = 0; x < s.layout.width; ++x)
            for (int c = 0; c < 3; ++c)
                out.at(x, g.firstImageRow + r, c) =
                    static_cast<uint16_t>(sample(*planes[c], s.layout, x, g.bufferRows - 1 - r));
}

}  // namespace

RgbImage loadFixture(const std::string& name) {
    std::ifstream in(std::filesystem::path(KIRUNE_TEST_FIXTURES) / (name + ".rgb16"),
                     std::ios::binary);
    const std::vector<uint8_t> b{std::istreambuf_iterator<char>(in), {}};
    const auto u32 = [&](std::size_t o) { return b[o] | b[o + 1] << 8 | b[o + 2] << 16 | uint32_t(b[o + 3]) << 24; };
    if (b.size() < 8 || b.size() != 8 + 6 * uint64_t(u32(0)) * u32(4)) throw Error("bad fixture " + name);
    RgbImage img(int32_t(u32(0)), int32_t(u32(4)));
    for (std::size_t i = 0; i < img.rgb.size(); ++i) img.rgb[i] = uint16_t(b[8 + 2 * i] | b[9 + 2 * i] << 8);
    return img;
}

TestStrip stateFor(const RgbImage& img, const CodecChoice& c) {
    return stripState(img.width, img.height, c.sampling, c.quality, c.stripBudgetLog2, 0);
}

Streams encodeImageStrip(TestStrip& enc, const RgbImage& img, int32_t k, const EncodeOptions& options) {
    clearSideStreams(enc.work.streams);
    const StripGeometry g = enc.geometry = beginStrip(enc.layout, k);
    BlockPlane* planes[3] = {&enc.work.rPlane, &enc.work.gPlane, &enc.work.bPlane};
    for (int32_t r = 0; r < g.paddedRows; ++r)
        for (int32_t x = 0; x < enc.layout.paddedWidth; ++x)
            for (int c = 0; c < 3; ++c)
                sample(*planes[c], enc.layout, x, g.bufferRows - 1 - r) = static_cast<int16_t>(
                    (img.at(mirror(x, img.width), g.firstImageRow + mirror(r, g.imageRows), c) + 8) >> 4);
    if (options.rateAware)
        encodeStripRateAware(enc.quality, g, enc.work, RgbInput::Native12, {}, {options.lambdaScale, nullptr, options.planeThreads, options.meetCascade,
                                                                         options.reuseCascadeSearches});
    else
        encodeStrip(enc.quality, g, enc.work, RgbInput::Native12, {{}, options.planeThreads});
    const SideStreams& st = enc.work.streams;
    Streams out;
    for (int i = 0; i < kStreamCount; ++i)
        out[std::size_t(i)].assign(streamBuffer(st, i).data(), streamBuffer(st, i).data() + st.rawLength[i]);
    return out;
}

namespace {

// Decodes strip k into the Y, Cb, Cr planes (or, without `samples`, into
// means alone); the residuals are still there (in the R, G, B planes) until
// stripToRgb (residualsToRgb).
void decodePlanes(TestStrip& dec, int32_t k, const Streams& streams, bool samples = true) {
    clearSideStreams(dec.work.streams);
    dec.geometry = beginStrip(dec.layout, k);
    SideStreams& st = dec.work.streams;
    for (int i = 0; i < kStreamCount; ++i) {
        const std::vector<uint8_t>& bytes = streams[std::size_t(i)];
        if (bytes.size() > streamBuffer(st, i).size()) throw Error(kDamagedFileText);
        if (!bytes.empty()) std::memcpy(streamBuffer(st, i).data(), bytes.data(), bytes.size());
        st.rawLength[i] = static_cast<uint32_t>(bytes.size());
    }
    if (samples)
        decodeStrip(dec.quality, dec.geometry, dec.work);
    else
        decodeStripResiduals(dec.quality, dec.geometry, dec.work);
}

}  // namespace

void decodeStreams(TestStrip& dec, int32_t k, const Streams& streams) {
    decodePlanes(dec, k, streams, false);
    residualsToRgb(dec.quality, dec.geometry, dec.work);
}

ImageResult runImage(const RgbImage& img, const CodecChoice& choice, bool secondDecode,
                     const EncodeOptions& options) {
    ImageResult result;
    result.decoded = RgbImage(img.width, img.height);
    RgbImage again = result.decoded;
    TestStrip enc = stateFor(img, choice), dec = stateFor(img, choice);
    TestStrip dec2 = secondDecode ? stateFor(img, choice) : TestStrip{};
    scramble(dec.work, 0x5A);
    for (int32_t k = 0; k < enc.layout.stripCount; ++k) {
        const Streams streams = encodeImageStrip(enc, img, k, options);
        for (const auto& bytes : streams) result.bytes += bytes.size();
        decodePlanes(dec, k, streams);
        if (result.mismatch.empty()) result.mismatch = comparePlanes(enc, dec);
        stripToRgb(dec.geometry, dec.work);
        storeStripRows(dec, result.decoded);
        if (secondDecode) {  // earlier contents other than the previous strip's
            scramble(dec2.work, uint8_t(0xA5 + k));
            decodeStreams(dec2, k, streams);
            storeStripRows(dec2, again);
        }
    }
    if (secondDecode && result.mismatch.empty() && again.rgb != result.decoded.rgb)
        result.mismatch = "a second decoder's RGB output differs";
    return result;
}

double psnr16(const RgbImage& a, const RgbImage& b) {
    double se = 0;
    for (std::size_t i = 0; i < a.rgb.size(); ++i) se += (double(a.rgb[i]) - b.rgb[i]) * (double(a.rgb[i]) - b.rgb[i]);
    return se == 0 ? INFINITY : 10.0 * std::log10(65535.0 * 65535.0 * double(a.rgb.size()) / se);
}

}  // namespace kirune::harness
