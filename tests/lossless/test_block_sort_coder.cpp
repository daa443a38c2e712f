#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <span>
#include <vector>

#include "kirune/Error.h"
#include "lossless/block_sort_coder.h"
#include "lossless/range_coder.h"

namespace kirune {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBlock = kBlockSortBlockSize;

// Bytes from a skewed distribution with runs, as side streams look.
Bytes realistic(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::geometric_distribution<int> value(0.3);
    Bytes d;
    while (d.size() < n) {
        const uint8_t v = static_cast<uint8_t>(value(rng) % 256);
        d.insert(d.end(), rng() % 8 == 0 ? 1 + rng() % 20 : 1, v);
    }
    d.resize(n);
    return d;
}

Bytes randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes d(n);
    for (auto& b : d) b = static_cast<uint8_t>(rng());
    return d;
}

Bytes periodic(size_t n) {
    Bytes d(n);
    for (size_t i = 0; i < n; ++i) d[i] = "ab"[i & 1];
    return d;
}

Bytes everyValue(size_t times) {
    Bytes d;
    for (size_t t = 0; t < times; ++t)
        for (int v = 0; v < 256; ++v) d.push_back(static_cast<uint8_t>(v));
    return d;
}

struct Coded {
    Bytes stream;
    uint32_t recorded;
};

Coded compress(const Bytes& raw) {
    Coded c;
    c.recorded = blockSortCompress(raw, c.stream);
    return c;
}

Bytes expand(std::span<const uint8_t> stream, uint32_t recorded, size_t rawLength) {
    Bytes out(rawLength);
    blockSortExpand(stream, recorded, out);
    return out;
}

void expectDamaged(std::span<const uint8_t> stream, uint32_t recorded, size_t rawLength) {
    try {
        expand(stream, recorded, rawLength);
        ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), kDamagedFileText);
    }
}

// Stored and coded streams of awkward contents and lengths around the block
// size: each occupies what its framing says, even with the next stream's
// bytes behind it, and comes back whole without a byte written past the raw
// length.
TEST(BlockSortCoder, RoundTripsAwkwardInputs) {
    const struct {
        const char* name;
        Bytes raw;
        bool stored;
    } cases[] = {
        {"empty", {}, true}, {"one byte", {0x41}, true}, {"random", randomBytes(100000, 1), true},
        {"every value once", everyValue(1), false}, {"every value often", everyValue(400), false},
        {"one long run", Bytes(300000, 0x5a), false}, {"periodic", periodic(200000), false},
        {"block less one", realistic(kBlock - 1, 2), false}, {"one block", realistic(kBlock, 3), false},
        {"block and one", realistic(kBlock + 1, 4), false},
        {"three blocks", realistic(3 * size_t{kBlock}, 5), false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t n = static_cast<uint32_t>(c.raw.size());
        const Coded coded = compress(c.raw);
        EXPECT_EQ(coded.recorded == n, c.stored);
        if (coded.recorded == n) {
            EXPECT_EQ(coded.stream, c.raw);
        } else {
            EXPECT_LT(coded.recorded, n);
            EXPECT_EQ(coded.stream.at(0), kBlockSortFactor);
            const size_t blocks = (c.raw.size() + kBlock - 1) / kBlock;
            EXPECT_EQ(coded.stream.size(), coded.recorded + 1 + 6 * blocks);
            EXPECT_LE(coded.stream.size(), blockSortFootprintLimit(coded.recorded, n));
        }
        Bytes held = coded.stream;
        held.insert(held.end(), {'T', 'A', 'I', 'L'});
        EXPECT_EQ(blockSortFootprint(held, coded.recorded, n), coded.stream.size());

        Bytes out(c.raw.size() + 1, 0xee);
        size_t consumed = 0;
        ASSERT_NO_THROW(consumed = blockSortExpand(held, coded.recorded,
                                                   std::span<uint8_t>(out).first(n)));
        EXPECT_EQ(consumed, coded.stream.size());
        EXPECT_EQ(out.back(), 0xee) << "wrote past the raw length";
        out.pop_back();
        EXPECT_EQ(out, c.raw);
    }
}

TEST(BlockSortCoder, ThousandZerosGiveTheStagesWorkedByHand) {
    // First stage 0 0 0 0 131 100; sorted rotations give the last column
    // 100 0 0 0 131 0 with primary index 0; move-to-front gives the ranks
    // 100 0 0 0 131 0; the second stage 101 0 0 132 0.
    const Bytes packed{101, 0, 0, 132, 0};
    auto models = std::make_unique<RangeModels>();
    Bytes payload(64);
    payload.resize(rangeEncode(payload.data(), 64, packed.data(), 5, *models));
    Bytes expected{2, 0, 0, 0, 0, 0, static_cast<uint8_t>(payload.size())};
    expected.insert(expected.end(), payload.begin(), payload.end());

    const Coded coded = compress(Bytes(1000, 0));
    EXPECT_EQ(coded.recorded, payload.size());
    EXPECT_EQ(coded.stream, expected);
}

TEST(BlockSortDamage, TruncatedStreamsAreDamaged) {
    const Bytes raw = realistic(3000, 9);
    const Coded coded = compress(raw);
    ASSERT_LT(coded.recorded, 3000u);
    for (size_t len = 0; len < coded.stream.size(); ++len) {
        SCOPED_TRACE(len);
        const auto cut = std::span<const uint8_t>(coded.stream).first(len);
        expectDamaged(cut, coded.recorded, 3000);
        EXPECT_THROW(blockSortFootprint(cut, coded.recorded, 3000), Error);
    }
    // A stored stream whose bytes end early.
    expectDamaged(std::span<const uint8_t>(raw).first(9), 10, 10);
    EXPECT_THROW(blockSortFootprint(std::span<const uint8_t>(raw).first(9), 10, 10), Error);
}

TEST(BlockSortDamage, FactorsAndHeadersOutOfRange) {
    const Bytes raw(2000, 3);
    const Coded coded = compress(raw);
    // One short block decodes alike under every factor the expander accepts.
    for (uint8_t factor = 1; factor <= kBlockSortMaxFactor; ++factor) {
        Bytes s = coded.stream;
        s[0] = factor;
        EXPECT_EQ(expand(s, coded.recorded, 2000), raw) << int{factor};
        EXPECT_EQ(blockSortFootprint(s, coded.recorded, 2000), s.size());
    }
    for (const uint8_t factor : {uint8_t{0}, uint8_t{10}, uint8_t{255}}) {
        Bytes s = coded.stream;
        s[0] = factor;
        expectDamaged(s, coded.recorded, 2000);
        EXPECT_THROW(blockSortFootprint(s, coded.recorded, 2000), Error) << int{factor};
    }
    // The block is 3 3 3 3 and a two-byte count: primary indices from 6 on lie past it.
    for (const uint32_t index : {6u, 0xffffffu}) {
        Bytes s = coded.stream;
        s[1] = uint8_t(index >> 16);
        s[2] = uint8_t(index >> 8);
        s[3] = uint8_t(index);
        expectDamaged(s, coded.recorded, 2000);
    }
    Bytes longPayload = coded.stream;
    longPayload[4] = 0xff;  // payload length far beyond the stream
    expectDamaged(longPayload, coded.recorded, 2000);
    EXPECT_THROW(blockSortFootprint(longPayload, coded.recorded, 2000), Error);
}

TEST(BlockSortDamage, LengthsThatDisagreeWithTheStream) {
    const Bytes raw(2000, 3);
    const Coded coded = compress(raw);
    const uint32_t rec = coded.recorded;
    expectDamaged(coded.stream, 3000, 2000);     // recorded above raw length
    expectDamaged(coded.stream, rec - 1, 2000);  // payloads do not add up
    expectDamaged(coded.stream, rec, 1999);      // more bytes than expected
    expectDamaged(coded.stream, rec, 4000);      // stream stops short of the raw length
    EXPECT_THROW(blockSortFootprint(coded.stream, 3000, 2000), Error);
    EXPECT_THROW(blockSortFootprint(coded.stream, rec - 1, 2000), Error);
    // An empty block before the real one: more blocks than 2000 bytes fill.
    Bytes twoBlocks = {2, 0, 0, 0, 0, 0, 0};
    twoBlocks.insert(twoBlocks.end(), coded.stream.begin() + 1, coded.stream.end());
    EXPECT_THROW(blockSortFootprint(twoBlocks, rec, 2000), Error);
    expectDamaged(twoBlocks, rec, 2000);
}

TEST(BlockSortDamage, UndecodablePayloadNamesTheRangeModel) {
    const Bytes garbage = {2, 0, 0, 0, 0, 0, 5, 0xff, 0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(blockSortFootprint(garbage, 5, 2000), garbage.size());
    try {
        expand(garbage, 5, 2000);
        ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "RangeCoder : decode error 10");
    }
}

}  // namespace
}  // namespace kirune
