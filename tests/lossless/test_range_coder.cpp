#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "kirune/Error.h"
#include "lossless/range_coder.h"

namespace kirune {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const Bytes& in, RangeModels& models) {
    Bytes out(3 * in.size() + 64);
    const uint32_t n = rangeEncode(out.data(), static_cast<uint32_t>(out.size()), in.data(),
                                   static_cast<uint32_t>(in.size()), models);
    out.resize(n);
    return out;
}

Bytes encode(const Bytes& in) {
    auto models = std::make_unique<RangeModels>();
    return encode(in, *models);
}

Bytes decode(const Bytes& payload, uint32_t capacity) {
    auto models = std::make_unique<RangeModels>();
    Bytes out(capacity);
    out.resize(rangeDecode(out.data(), capacity, payload.data(),
                           static_cast<uint32_t>(payload.size()), *models));
    return out;
}

TEST(RangeCoder, KnownPayloads) {
    const struct { Bytes raw, payload; } cases[] = {
        {{}, {0xff, 0xcc, 0xcc, 0xae, 0x00}},
        {{0}, {0x19, 0x94, 0xf1, 0xe2, 0x00}},
        {{0x61, 0x62, 0x63}, {0xd9, 0xf1, 0x02, 0xc9, 0xfd, 0x34, 0xb7, 0x00}}};
    for (const auto& c : cases) {
        EXPECT_EQ(encode(c.raw), c.payload) << c.raw.size();
        EXPECT_EQ(decode(c.payload, 10), c.raw) << c.raw.size();
    }
}

// The reciprocal takes the place of a division on every symbol; both the
// wide multiply and its portable twin must give the exact quotient.
TEST(RangeCoder, TotalsDivideExactly) {
    std::mt19937 rng(3);
    for (uint32_t total = 2; total < kModelTotalLimit; total += 1 + rng() % 97) {
        const uint64_t reciprocal = kReciprocals.of[total];
        for (const uint32_t x : {0u, 1u, total - 1, total, 0xffffffffu, 0xfffffffeu,
                                 static_cast<uint32_t>(rng())}) {
            ASSERT_EQ(highProduct(reciprocal, x), x / total) << x << " / " << total;
        }
    }
}

TEST(RangeCoder, ModelHalvesWithinTheUpdateThatReachesTheLimit) {
    FreqModel<2> m;
    modelReset(m);
    EXPECT_EQ(m.cum[2], 2);
    for (int i = 0; i < 32765; ++i) modelUpdate(m, 0);
    EXPECT_EQ(m.cum[2], 32767);
    EXPECT_EQ(m.freq[0], 32766);
    modelUpdate(m, 0);  // total would be 32768
    EXPECT_EQ(m.freq[0], 16383);
    EXPECT_EQ(m.freq[1], 1);
    EXPECT_EQ(m.cum[1], 16383);
    EXPECT_EQ(m.cum[2], 16384);
    // Halving keeps every frequency odd and at least 1.
    FreqModel<10> even;
    modelReset(even);
    for (int i = 0; i < 32758; ++i) modelUpdate(even, static_cast<unsigned>(i % 2));
    for (unsigned s = 0; s < 10; ++s) {
        EXPECT_EQ(even.freq[s] % 2, 1) << s;
        EXPECT_EQ(even.cum[s + 1], even.cum[s] + even.freq[s]) << s;
    }
}

TEST(RangeCoder, RoundTripsAndReadsExactlyThePayload) {
    std::mt19937 rng(8);
    auto models = std::make_unique<RangeModels>();
    for (int trial = 0; trial < 40; ++trial) {
        Bytes in(rng() % 30000);
        for (auto& b : in) b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 3);
        const Bytes payload = encode(in, *models);
        ASSERT_EQ(decode(payload, static_cast<uint32_t>(in.size())), in);
        Bytes longer = payload;
        longer.push_back(0);
        EXPECT_THROW(decode(longer, static_cast<uint32_t>(in.size())), Error);
        Bytes shorter(payload.begin(), payload.end() - 1);
        EXPECT_THROW(decode(shorter, static_cast<uint32_t>(in.size())), Error);
        if (!in.empty()) {
            EXPECT_THROW(decode(payload, static_cast<uint32_t>(in.size()) - 1), Error);
        }
    }
}

}  // namespace
}  // namespace kirune
