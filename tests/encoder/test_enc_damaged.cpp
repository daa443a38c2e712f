#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/dec.h"
#include "codec/payload.h"
#include "codec/transforms.h"
#include "encoder/enc.h"
#include "kirune/Error.h"
#include "tests/encoder/strip_harness.h"

using namespace kirune;
using namespace kirune::harness;

namespace {

using Streams = std::array<std::vector<uint8_t>, kStreamCount>;

// One strip's streams as the encoder left them, kept as plain bytes.
struct EncodedStrip {
    RgbImage image;
    CodecChoice choice;
    Streams streams;
};

EncodedStrip encodeFirstStrip(const RgbImage& img, const CodecChoice& choice) {
    EncodedStrip e{img, choice, {}};
    CodecState s = stateFor(img, choice);
    beginStrip(s, 0);
    loadStripRgb(s, s.strip, img);
    encodeStrip(s, s.strip, RgbInput::Native12);
    for (int i = 0; i < kStreamCount; ++i) {
        const uint8_t* p = streamBuffer(s.strip.streams, i).data();
        e.streams[std::size_t(i)].assign(p, p + s.strip.streams.rawLength[i]);
    }
    return e;
}

enum class Outcome { Decoded, Damaged, OtherError };

// Decodes one strip from `streams` (any lengths) the way the container would
// hand them over: lengths that do not fit the buffers are refused up front.
Outcome decode(CodecState& d, const Streams& streams) {
    try {
        beginStrip(d, 0);
        resetStreams(d);
        SideStreams& st = d.strip.streams;
        for (int i = 0; i < kStreamCount; ++i) {
            StreamBuffer& b = streamBuffer(st, i);
            if (streams[i].size() > b.size()) return Outcome::Damaged;
            if (!streams[i].empty()) std::memcpy(b.data(), streams[i].data(), streams[i].size());
            st.rawLength[i] = static_cast<uint32_t>(streams[i].size());
        }
        decodeStrip(d, d.strip);
        stripToRgb(d, d.strip);
        return Outcome::Decoded;
    } catch (const Error& e) {
        return std::strcmp(e.what(), kDamagedFileText) == 0 ? Outcome::Damaged : Outcome::OtherError;
    }
}

}  // namespace

TEST(DamagedStreams, IntactStreamsDecode) {
    const EncodedStrip e = encodeFirstStrip(loadFixture("astronaut_flag"), {21, Sampling444});
    CodecState d = stateFor(e.image, e.choice);
    EXPECT_EQ(decode(d, e.streams), Outcome::Decoded);
}

TEST(DamagedStreams, TruncationIsRefused) {
    for (const CodecChoice& c : {CodecChoice{1, Sampling444}, CodecChoice{400, Sampling420}}) {
        const EncodedStrip e = encodeFirstStrip(loadFixture("coffee_spoon"), c);
        CodecState d = stateFor(e.image, e.choice);
        for (int i = 0; i < kStreamCount; ++i) {
            if (e.streams[i].size() < 2) continue;
            auto cut = e.streams;
            cut[i].resize(cut[i].size() / 2);
            EXPECT_EQ(decode(d, cut), Outcome::Damaged) << "stream " << i << " level " << c.quality;
        }
        // One mean too many is a count that matches no region.
        auto longer = e.streams;
        longer[StreamDcBytes].push_back(0);
        EXPECT_EQ(decode(d, longer), Outcome::Damaged);
    }
}

TEST(DamagedStreams, LengthsBeyondTheBuffersAreRefused) {
    const EncodedStrip e = encodeFirstStrip(loadFixture("astronaut_face"), {12, Sampling444});
    CodecState d = stateFor(e.image, e.choice);
    auto huge = e.streams;
    huge[StreamMatchBytes].resize(d.strip.streams.matchBytes.size() + 1, 0x55);
    EXPECT_EQ(decode(d, huge), Outcome::Damaged);
    // A bit stream filling its buffer leaves no room for the reader's window.
    auto full = e.streams;
    full[StreamHeaderBits].resize(d.strip.streams.headerBits.size(), 0);
    EXPECT_EQ(decode(d, full), Outcome::Damaged);
}

TEST(DamagedStreams, FlippedBytesNeverCrash) {
    // Under the sanitizer build this shows that no mutation reads or writes
    // outside a buffer; everywhere it shows that bad data only ever becomes
    // the damaged-file error or a (wrong but bounded) picture.
    std::mt19937 rng(2024);
    int refused = 0, decoded = 0;
    for (const CodecChoice& c : {CodecChoice{3, Sampling444}, CodecChoice{100, Sampling422},
                                 CodecChoice{400, Sampling420}, CodecChoice{6400, Sampling444}}) {
        const EncodedStrip e = encodeFirstStrip(loadFixture("coffee_spoon"), c);
        CodecState d = stateFor(e.image, e.choice);
        for (int trial = 0; trial < 150; ++trial) {
            auto bad = e.streams;
            const int flips = 1 + int(rng() % 4);
            for (int f = 0; f < flips; ++f) {
                auto& s = bad[rng() % kStreamCount];
                if (s.empty()) continue;
                s[rng() % s.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
            }
            if (rng() % 4 == 0) {  // and sometimes cut a stream short as well
                auto& s = bad[rng() % kStreamCount];
                const auto cut = static_cast<std::ptrdiff_t>(std::min<std::size_t>(s.size(), rng() % 8));
                s.erase(s.end() - cut, s.end());
            }
            const Outcome o = decode(d, bad);
            ASSERT_NE(o, Outcome::OtherError);
            (o == Outcome::Damaged ? refused : decoded)++;
        }
    }
    // Both outcomes occur: damage in headers and offsets is caught, while a
    // flipped sample or index byte decodes to some picture.
    EXPECT_GT(refused, 0);
    EXPECT_GT(decoded, 0);
}

TEST(DamagedStreams, OffsetsOutsideTheRegionAreRefused) {
    // A strip of identical textured blocks codes many matches; pointing every
    // match byte at the block itself (offset 0) must be refused.
    RgbImage img(32, 16);
    std::mt19937 rng(8);
    std::vector<uint16_t> tile(48);
    for (auto& v : tile) v = static_cast<uint16_t>(rng() & 0xFFFF);
    for (int32_t y = 0; y < 16; ++y)
        for (int32_t x = 0; x < 32; ++x)
            for (int c = 0; c < 3; ++c) img.at(x, y, c) = tile[std::size_t(((y % 4) * 4 + x % 4) * 3 + c)];
    const EncodedStrip e = encodeFirstStrip(img, {12, Sampling444});
    ASSERT_FALSE(e.streams[StreamMatchBytes].empty());
    CodecState d = stateFor(e.image, e.choice);
    auto bad = e.streams;
    for (auto& b : bad[StreamMatchBytes]) b = 0x00;
    EXPECT_EQ(decode(d, bad), Outcome::Damaged);
    for (auto& b : bad[StreamMatchBytes]) b = 0x03;  // three rows up from the first rows
    EXPECT_EQ(decode(d, bad), Outcome::Damaged);
}
