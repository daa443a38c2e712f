#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "kirune/Error.h"
#include "lossless/rle_mtf.h"

namespace kirune {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes rle1(const Bytes& in) {
    Bytes out(rle1EncodeBound(static_cast<uint32_t>(in.size())) + 1);
    out.resize(rle1Encode(out.data(), in.data(), static_cast<uint32_t>(in.size()), kRle1Threshold));
    return out;
}

Bytes unrle1(const Bytes& in, uint32_t capacity) {
    Bytes out(capacity);
    out.resize(rle1Decode(out.data(), capacity, in.data(), static_cast<uint32_t>(in.size()),
                          kRle1Threshold));
    return out;
}

Bytes mtf(const Bytes& in) {
    Bytes out(in.size());
    mtfEncode(out.data(), in.data(), static_cast<uint32_t>(in.size()));
    return out;
}

Bytes rle2(const Bytes& in) {
    Bytes out(2 * in.size() + 1);
    out.resize(rle2Encode(out.data(), in.data(), static_cast<uint32_t>(in.size())));
    return out;
}

Bytes unrle2(const Bytes& in, uint32_t capacity) {
    Bytes out(capacity);
    out.resize(rle2Decode(out.data(), capacity, in.data(), static_cast<uint32_t>(in.size())));
    return out;
}

Bytes run(uint8_t c, size_t n) { return Bytes(n, c); }

TEST(FirstRunLength, RunsBecomeThresholdBytesAndACount) {
    const uint8_t x = 'x';
    EXPECT_EQ(rle1(run(x, 3)), run(x, 3));
    EXPECT_EQ(rle1(run(x, 4)), (Bytes{x, x, x, x, 0}));
    EXPECT_EQ(rle1(run(x, 5)), (Bytes{x, x, x, x, 1}));
    EXPECT_EQ(rle1(run(x, 132)), (Bytes{x, x, x, x, 128, 0}));
    EXPECT_EQ(rle1(run(x, 32899)), (Bytes{x, x, x, x, 255, 255}));
    EXPECT_EQ(rle1(run(x, 32900)), (Bytes{x, x, x, x, 255, 255, x}));
    // 1000 zeros: count 996 = 128 + 3 x 256 + 100.
    EXPECT_EQ(rle1(run(0, 1000)), (Bytes{0, 0, 0, 0, 131, 100}));
}

TEST(FirstRunLength, CountByteEqualToTheRunByteIsACount) {
    const uint8_t x = 7;
    EXPECT_EQ(unrle1(Bytes{x, x, x, x, x}, 100), run(x, 4 + x));
}

TEST(FirstRunLength, RoundTripsAtItsWorstCaseBound) {
    // Runs of exactly four gain a byte each: the bound is reached.
    Bytes fours;
    for (int i = 0; i < 400; ++i) fours.insert(fours.end(), 4, static_cast<uint8_t>(i & 1));
    fours.insert(fours.end(), 40000, 3);
    const Bytes coded = rle1(fours);
    // 40000 is cut into runs of 32899 and 7101: four bytes and a two-byte count each.
    EXPECT_EQ(coded.size(), rle1EncodeBound(1600) + 6 + 6);
    EXPECT_EQ(unrle1(coded, static_cast<uint32_t>(fours.size())), fours);
}

TEST(FirstRunLength, DecodingRejectsMissingCountsAndOverlongOutput) {
    EXPECT_THROW(unrle1(Bytes{9, 9, 9, 9}, 100), Error);
    EXPECT_THROW(unrle1(Bytes{9, 9, 9, 9, 200}, 100000), Error);
    EXPECT_THROW(unrle1(Bytes{9, 9, 9, 9, 10}, 13), Error);
    EXPECT_EQ(unrle1(Bytes{9, 9, 9, 9, 10}, 14).size(), 14u);
}

TEST(MoveToFront, FirstRankOneByteGoesToTheFront) {
    // Previous rank starts at 1, so byte 1 swaps to the front at once; the
    // following 0 then has rank 1 after a non-zero rank and swaps back.
    EXPECT_EQ(mtf(Bytes{1, 0}), (Bytes{1, 1}));
    // A rank-1 byte right after a rank-0 byte leaves the list as it is.
    EXPECT_EQ(mtf(Bytes{0, 1, 0}), (Bytes{0, 1, 0}));
    EXPECT_EQ(mtf(Bytes{0, 1, 1}), (Bytes{0, 1, 1}));
}

TEST(MoveToFront, NewBytesMoveToSecondPlace) {
    EXPECT_EQ(mtf(Bytes{2, 2}), (Bytes{2, 1}));
    // After 2 the list is 0 2 1 3 ...: 1 now has rank 2, 3 keeps rank 3.
    EXPECT_EQ(mtf(Bytes{2, 1, 3}), (Bytes{2, 2, 3}));
    EXPECT_EQ(mtf(Bytes{255, 255, 255}), (Bytes{255, 1, 0}));
}

// The coders search and shift the list 16 bytes at a time; a plain list must
// give the same ranks at every depth, chunk edges included, and the decoders
// must undo them.
TEST(MoveToFront, MatchesAPlainListAtEveryRank) {
    const auto plainMtf = [](const Bytes& in) {
        std::vector<uint8_t> list(256);
        for (int i = 0; i < 256; ++i) list[i] = static_cast<uint8_t>(i);
        Bytes out;
        uint32_t prev = 1;
        for (uint8_t c : in) {
            const uint32_t r = static_cast<uint32_t>(
                std::find(list.begin(), list.end(), c) - list.begin());
            if (r == 1 && prev != 0) std::swap(list[0], list[1]);
            if (r >= 2) {
                list.erase(list.begin() + r);
                list.insert(list.begin() + 1, c);
            }
            out.push_back(static_cast<uint8_t>(r));
            prev = r;
        }
        return out;
    };
    std::mt19937 rng(5);
    Bytes in;
    // Bytes not seen for a while sink deep; fresh ones reach every rank.
    for (int v = 255; v >= 0; --v) in.push_back(static_cast<uint8_t>(v));
    for (int i = 0; i < 20000; ++i)
        in.push_back(static_cast<uint8_t>(i % 3 == 0 ? rng() : rng() % (1 + i % 40)));
    const Bytes ranks = mtf(in);
    ASSERT_EQ(ranks, plainMtf(in));
    for (uint32_t r = 0; r < 256; ++r)
        EXPECT_NE(std::find(ranks.begin(), ranks.end(), r), ranks.end()) << r;
    const uint32_t n = static_cast<uint32_t>(in.size());
    Bytes out(n);
    mtfDecode(out.data(), ranks.data(), n);
    EXPECT_EQ(out, in);
    const Bytes packed = rle2(ranks);
    EXPECT_EQ(rle2MtfDecode(out.data(), n, packed.data(), static_cast<uint32_t>(packed.size())), n);
    EXPECT_EQ(out, in);
}

TEST(SecondRunLength, ZeroRunsAreBaseTwoDigits) {
    EXPECT_EQ(rle2(Bytes{0}), (Bytes{0}));
    EXPECT_EQ(rle2(run(0, 2)), (Bytes{1}));
    EXPECT_EQ(rle2(run(0, 3)), (Bytes{0, 0}));
    EXPECT_EQ(rle2(run(0, 4)), (Bytes{1, 0}));
    EXPECT_EQ(rle2(run(0, 5)), (Bytes{0, 1}));
    EXPECT_EQ(rle2(run(0, 6)), (Bytes{1, 1}));
    EXPECT_EQ(rle2(run(0, 7)), (Bytes{0, 0, 0}));
    EXPECT_EQ(rle2(Bytes{0, 0, 0, 1}), (Bytes{0, 0, 2}));
}

TEST(SecondRunLength, RanksRunsAndEscapes) {
    EXPECT_EQ(rle2(Bytes{5, 5, 5}), (Bytes{6, 6, 6, 0}));
    EXPECT_EQ(rle2(Bytes{5, 5}), (Bytes{6, 6}));
    EXPECT_EQ(rle2(Bytes{254, 254}), (Bytes{255, 0, 255, 0}));
    EXPECT_EQ(rle2(Bytes{255}), (Bytes{255, 1}));
    EXPECT_EQ(rle2(run(9, 131)), (Bytes{10, 10, 10, 128, 0}));
    EXPECT_EQ(rle2(run(9, 32898)), (Bytes{10, 10, 10, 255, 255}));
    EXPECT_EQ(rle2(run(9, 32899)), (Bytes{10, 10, 10, 255, 255, 10}));
    EXPECT_EQ(rle2(Bytes{}), Bytes{});
    EXPECT_EQ(unrle2(Bytes{}, 10), Bytes{});
}

TEST(SecondRunLength, CountBytesZeroAndOneAreNotDigits) {
    // 6 6 6 then count 1: four ranks 5; the 0 after it is a zero run of 1.
    EXPECT_EQ(unrle2(Bytes{6, 6, 6, 1, 0}, 100), (Bytes{5, 5, 5, 5, 0}));
    EXPECT_EQ(unrle2(Bytes{6, 6, 6, 0, 1}, 100), (Bytes{5, 5, 5, 0, 0}));
}

// Ranks of mixed runs back through the plain decoders and the fused one.
TEST(SecondRunLength, RanksRoundTripThroughBothDecoders) {
    std::mt19937 rng(21);
    for (int trial = 0; trial < 20; ++trial) {
        Bytes in;
        while (in.size() < 6000) {
            const uint8_t v = static_cast<uint8_t>(rng() % 6 == 0 ? rng() : rng() % 5);
            in.insert(in.end(), rng() % 5 == 0 ? 1 + rng() % 40000 : 1 + rng() % 3, v);
        }
        const uint32_t n = static_cast<uint32_t>(in.size());
        const Bytes ranks = mtf(in), packed = rle2(ranks);
        EXPECT_LE(packed.size(), 2 * in.size());
        EXPECT_EQ(unrle2(packed, n), ranks);
        Bytes out(n);
        mtfDecode(out.data(), ranks.data(), n);
        EXPECT_EQ(out, in);
        const uint32_t len = static_cast<uint32_t>(packed.size());
        EXPECT_EQ(rle2MtfDecode(out.data(), n, packed.data(), len), n);
        EXPECT_EQ(out, in);
        EXPECT_THROW(rle2MtfDecode(out.data(), n - 1, packed.data(), len), Error);
    }
}

TEST(SecondRunLength, DecodingRejectsDamage) {
    EXPECT_THROW(unrle2(Bytes{255}, 10), Error);           // escape without its byte
    EXPECT_THROW(unrle2(Bytes{6, 6, 6}, 10), Error);       // run without its count
    EXPECT_THROW(unrle2(Bytes{6, 6, 6, 200}, 10), Error);  // two-byte count cut short
    EXPECT_THROW(unrle2(run(1, 40), 1u << 20), Error);     // zero run beyond any buffer
    EXPECT_THROW(unrle2(Bytes{1, 1, 1}, 13), Error);       // 14 zeros into 13 bytes
    EXPECT_EQ(unrle2(Bytes{1, 1, 1}, 14), run(0, 14));
}

}  // namespace
}  // namespace kirune
