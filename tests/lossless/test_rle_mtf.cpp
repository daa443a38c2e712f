#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "kirune/Error.h"
#include "lossless/rle_mtf.h"

namespace kirune {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t size(const Bytes& b) { return static_cast<uint32_t>(b.size()); }

Bytes rle1(const Bytes& in) {
    Bytes out(rle1EncodeBound(size(in)) + 1);
    out.resize(rle1Encode(out.data(), in.data(), size(in), kRle1Threshold));
    return out;
}

Bytes unrle1(const Bytes& in, uint32_t capacity) {
    Bytes out(capacity);
    out.resize(rle1Decode(out.data(), capacity, in.data(), size(in), kRle1Threshold));
    return out;
}

Bytes mtf(const Bytes& in) {
    Bytes out(in.size());
    mtfEncode(out.data(), in.data(), size(in));
    return out;
}

Bytes rle2(const Bytes& in) {
    Bytes out(2 * in.size() + 1);
    out.resize(rle2Encode(out.data(), in.data(), size(in)));
    return out;
}

// Undoes both rle2 and mtf, as expansion does.
Bytes unrle2mtf(const Bytes& in, uint32_t capacity) {
    Bytes out(capacity);
    out.resize(rle2MtfDecode(out.data(), capacity, in.data(), size(in)));
    return out;
}

Bytes run(uint8_t c, size_t n) { return Bytes(n, c); }

TEST(FirstRunLength, RunsBecomeThresholdBytesAndACountWithinTheBound) {
    const uint8_t x = 'x';
    const struct { Bytes in, out; } cases[] = {
        {run(x, 3), run(x, 3)}, {run(x, 4), {x, x, x, x, 0}}, {run(x, 132), {x, x, x, x, 128, 0}},
        {run(x, 32899), {x, x, x, x, 255, 255}}, {run(x, 32900), {x, x, x, x, 255, 255, x}}};
    for (const auto& c : cases) EXPECT_EQ(rle1(c.in), c.out) << c.in.size();
    EXPECT_EQ(unrle1(Bytes{7, 7, 7, 7, 7}, 100), run(7, 11));  // a count byte equal to the run byte
    EXPECT_THROW(unrle1(Bytes{9, 9, 9, 9}, 100), Error);         // count missing
    EXPECT_THROW(unrle1(Bytes{9, 9, 9, 9, 200}, 100000), Error);  // two-byte count cut short
    EXPECT_THROW(unrle1(Bytes{9, 9, 9, 9, 10}, 13), Error);      // 14 bytes into 13
    EXPECT_EQ(unrle1(Bytes{9, 9, 9, 9, 10}, 14).size(), 14u);
    // Runs of exactly four gain a byte each: the bound is reached.
    Bytes fours;
    for (int i = 0; i < 400; ++i) fours.insert(fours.end(), 4, static_cast<uint8_t>(i & 1));
    fours.insert(fours.end(), 40000, 3);
    const Bytes coded = rle1(fours);
    // 40000 is cut into runs of 32899 and 7101: four bytes and a two-byte count each.
    EXPECT_EQ(coded.size(), rle1EncodeBound(1600) + 6 + 6);
    EXPECT_EQ(unrle1(coded, size(fours)), fours);
}

// Literal stretches are taken 16 bytes at a time: a run of 1 to 6 at every
// offset around those edges, inside distinct bytes, codes and decodes as the
// run rule says, with or without a shorter run just before it.
TEST(FirstRunLength, RunsAtEveryOffsetAroundLiteralStretches) {
    for (const uint32_t pairAt : {0u, 1u}) {
        for (uint32_t at = 2; at < 40; ++at) {
            for (uint8_t len = 1; len <= 6; ++len) {
                Bytes in(60), want;
                for (uint32_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(100 + i);
                if (pairAt) in[at - 1] = in[at - 2];  // a pair ending just before the run
                std::fill_n(in.begin() + at, len, uint8_t{7});
                want.assign(in.begin(), in.begin() + at);
                want.insert(want.end(), std::min<uint8_t>(len, 4), 7);
                if (len >= 4) want.push_back(static_cast<uint8_t>(len - 4));
                want.insert(want.end(), in.begin() + at + len, in.end());
                EXPECT_EQ(rle1(in), want) << "run of " << int(len) << " at " << at;
                EXPECT_EQ(unrle1(want, size(in)), in) << "run of " << int(len) << " at " << at;
            }
        }
    }
}

// The encoder searches and shifts the list 16 bytes at a time: bytes that
// sink to every depth, chunk edges included, must come back through the
// decoder, which moves them one by one.
TEST(MoveToFront, EveryRankRoundTrips) {
    std::mt19937 rng(5);
    Bytes in;
    for (int v = 255; v >= 0; --v) in.push_back(static_cast<uint8_t>(v));
    for (int i = 0; i < 20000; ++i) in.push_back(static_cast<uint8_t>(i % 3 == 0 ? rng() : rng() % (1 + i % 40)));
    const Bytes ranks = mtf(in);
    for (uint32_t r = 0; r < 256; ++r) EXPECT_NE(std::find(ranks.begin(), ranks.end(), r), ranks.end()) << r;
    EXPECT_EQ(unrle2mtf(rle2(ranks), size(in)), in);
}

// Zero runs are base-two digits 0 and 1; ranks r are r + 1, 255 escapes and
// runs of four take a count.
TEST(SecondRunLength, KnownCodes) {
    const struct { Bytes in, out; } cases[] = {
        {{}, {}}, {{0}, {0}}, {run(0, 2), {1}}, {run(0, 5), {0, 1}}, {run(0, 7), {0, 0, 0}}, {{0, 0, 0, 1}, {0, 0, 2}},
        {{5, 5, 5}, {6, 6, 6, 0}}, {{254, 254}, {255, 0, 255, 0}}, {{255}, {255, 1}},
        {run(9, 131), {10, 10, 10, 128, 0}}, {run(9, 32898), {10, 10, 10, 255, 255}},
        {run(9, 32899), {10, 10, 10, 255, 255, 10}}};
    for (const auto& c : cases) EXPECT_EQ(rle2(c.in), c.out) << c.in.size() << " bytes";
    EXPECT_EQ(unrle2mtf(Bytes{}, 10), Bytes{});
    // Count bytes 0 and 1 after a run are counts, not zero-run digits.
    EXPECT_EQ(unrle2mtf(Bytes{6, 6, 6, 1, 0}, 100), (Bytes{5, 4, 3, 2, 0}));
    EXPECT_EQ(unrle2mtf(Bytes{6, 6, 6, 0, 1}, 100), (Bytes{5, 4, 3, 0, 0}));
}

TEST(SecondRunLength, MixedRunsRoundTripWithinTwiceTheInput) {
    std::mt19937 rng(21);
    for (int trial = 0; trial < 20; ++trial) {
        Bytes in;
        while (in.size() < 6000) {
            const uint8_t v = static_cast<uint8_t>(rng() % 6 == 0 ? rng() : rng() % 5);
            in.insert(in.end(), rng() % 5 == 0 ? 1 + rng() % 40000 : 1 + rng() % 3, v);
        }
        const Bytes packed = rle2(mtf(in));
        EXPECT_LE(packed.size(), 2 * in.size());
        EXPECT_EQ(unrle2mtf(packed, size(in)), in);
        EXPECT_THROW(unrle2mtf(packed, size(in) - 1), Error);
    }
}

TEST(SecondRunLength, DecodingRejectsDamage) {
    EXPECT_THROW(unrle2mtf(Bytes{255}, 10), Error);           // escape without its byte
    EXPECT_THROW(unrle2mtf(Bytes{6, 6, 6}, 10), Error);       // run without its count
    EXPECT_THROW(unrle2mtf(Bytes{6, 6, 6, 200}, 10), Error);  // two-byte count cut short
    // 64 digits: a zero run past any buffer, though 2 once wrapped to 64 bits.
    EXPECT_THROW(unrle2mtf([] { Bytes d(64, 0); return d[1] = 1, d; }(), 1u << 20), Error);
    EXPECT_THROW(unrle2mtf(Bytes{1, 1, 1}, 13), Error);       // 14 zeros into 13 bytes
    EXPECT_EQ(unrle2mtf(Bytes{1, 1, 1}, 14), run(0, 14));
}

}  // namespace
}  // namespace kirune

namespace kirune {
namespace {

// Move-to-front as described, one byte at a time: the reference for the
// encoder, which looks each byte up before the previous move is done.
Bytes plainMtf(const Bytes& in) {
    Bytes list(256), out;
    for (int i = 0; i < 256; ++i) list[i] = static_cast<uint8_t>(i);
    uint32_t prev = 1;
    for (const uint8_t c : in) {
        const auto r = static_cast<uint32_t>(std::find(list.begin(), list.end(), c) - list.begin());
        if (r == 1 && prev != 0) std::swap(list[0], list[1]);
        if (r >= 2) {
            list.erase(list.begin() + r);
            list.insert(list.begin() + 1, c);
        }
        out.push_back(static_cast<uint8_t>(r));
        prev = r;
    }
    return out;
}

// Ranks on both sides of 64 (where the vector moves end), the same byte
// twice, rank 1 after rank 0 and after other ranks, runs, two-byte
// alternations and the first byte of a block.
std::vector<Bytes> movesAtEveryRank() {
    std::mt19937 rng(8);
    std::vector<Bytes> inputs = {{}, {1}, {0}, {1, 1, 1}, {2, 2}, {0, 1, 0, 1, 0, 1}, run(200, 50)};
    for (const uint32_t cycle : {2u, 3u, 16u, 17u, 62u, 63u, 64u, 65u, 66u, 200u}) {
        Bytes b;
        for (int i = 0; i < 3000; ++i) {
            const uint32_t v = rng() % 4 == 0 ? rng() % cycle : static_cast<uint32_t>(i) % cycle;
            b.insert(b.end(), 1 + (rng() % 7 == 0 ? rng() % 5 : 0), static_cast<uint8_t>(v * 3));
        }
        inputs.push_back(b);
    }
    Bytes skewed(30000);
    std::geometric_distribution<int> value(0.05);
    for (auto& v : skewed) v = static_cast<uint8_t>(value(rng));
    inputs.push_back(skewed);
    return inputs;
}

std::vector<VectorPath> supportedPaths() {
    std::vector<VectorPath> paths;
    for (int p = 0; p < kVectorPathCount; ++p)
        if (vectorPathSupported(static_cast<VectorPath>(p))) paths.push_back(static_cast<VectorPath>(p));
    return paths;
}

// Every vector path this CPU has, each with its own list layout.
TEST(MoveToFront, EncoderMatchesThePlainListAtEveryRank) {
    for (const VectorPath path : supportedPaths())
        for (const Bytes& in : movesAtEveryRank()) {
            Bytes out(in.size());
            mtfEncode(out.data(), in.data(), size(in), path);
            EXPECT_EQ(out, plainMtf(in)) << in.size() << " bytes on " << vectorPathName(path);
        }
}

// Every vector path's decoder (the AVX-512 one permutes the list in a
// register) rebuilds the bytes behind the plain list's ranks, and refuses
// the same damage.
TEST(MoveToFront, DecoderOnEveryPathUndoesThePlainList) {
    const auto decode = [](VectorPath path, const Bytes& in, uint32_t capacity) {
        Bytes out(capacity);
        out.resize(rle2MtfDecode(out.data(), capacity, in.data(), size(in), path));
        return out;
    };
    for (const VectorPath path : supportedPaths()) {
        for (const Bytes& in : movesAtEveryRank()) {
            const Bytes packed = rle2(plainMtf(in));
            EXPECT_EQ(decode(path, packed, size(in)), in) << vectorPathName(path) << ", " << in.size() << " bytes";
            if (!in.empty()) {
                EXPECT_THROW(decode(path, packed, size(in) - 1), Error) << vectorPathName(path);
            }
        }
        for (const Bytes& damaged : {Bytes{255}, Bytes{6, 6, 6}, Bytes{6, 6, 6, 200}, Bytes{1, 1, 1}})
            EXPECT_THROW(decode(path, damaged, 13), Error) << vectorPathName(path);
    }
}

}  // namespace
}  // namespace kirune
