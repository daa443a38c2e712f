#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
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

Bytes decodeAt(const uint8_t* payload, std::size_t length, uint32_t capacity) {
    auto models = std::make_unique<RangeModels>();
    Bytes out(capacity);
    out.resize(rangeDecode(out.data(), capacity, payload, static_cast<uint32_t>(length), *models));
    return out;
}

Bytes decode(const Bytes& payload, uint32_t capacity) { return decodeAt(payload.data(), payload.size(), capacity); }

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

TEST(RangeCoder, RoundTripsAndReadsExactlyThePayload) {
    std::mt19937 rng(8);
    auto models = std::make_unique<RangeModels>();
    for (int trial = 0; trial < 40; ++trial) {
        Bytes in(1 + rng() % 30000);  // the empty input is among the known payloads
        for (auto& b : in) b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 3);
        const Bytes payload = encode(in, *models);
        ASSERT_EQ(decode(payload, static_cast<uint32_t>(in.size())), in);
        Bytes longer = payload;
        longer.push_back(0);
        EXPECT_THROW(decode(longer, static_cast<uint32_t>(in.size())), Error);
        Bytes shorter(payload.begin(), payload.end() - 1);
        EXPECT_THROW(decode(shorter, static_cast<uint32_t>(in.size())), Error);
        EXPECT_THROW(decode(payload, static_cast<uint32_t>(in.size()) - 1), Error);
    }
}

// A payload cut short is refused without a read past its end: it ends where
// the process may not read.
TEST(RangeCoder, CutPayloadIsNotReadPastItsEnd) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    const std::unique_ptr<void, std::function<void(void*)>> unmap(map, [&](void* m) { munmap(m, 2 * page); });
    uint8_t* const end = static_cast<uint8_t*>(map) + page;
    ASSERT_EQ(mprotect(end, page, PROT_NONE), 0);
    const Bytes payload = encode(Bytes(3000, 7));
    for (const std::size_t cut : {std::size_t{0}, std::size_t{3}, payload.size() - 1}) {
        std::copy_n(payload.begin(), cut, end - cut);
        EXPECT_THROW(decodeAt(end - cut, cut, 3000), Error) << cut;
    }
}

// Each offset model is halved many times over a long stream: the encoder's
// and the decoder's forms of the models must keep the same counts through
// every halving, with one bucket alone and with all of them mixed, and with
// skewed offsets so that halving odd counts matters.
TEST(RangeCoder, OffsetModelsHalveAlikeOnBothSides) {
    std::mt19937 rng(11);
    auto models = std::make_unique<RangeModels>();
    for (unsigned bucket = 3; bucket <= kBucketCount; ++bucket) {
        Bytes in(150000);
        for (auto& b : in) {
            // bucket 10 stands for every bucket at once
            const unsigned k = bucket < kBucketCount ? bucket : 3 + rng() % (kBucketCount - 3);
            const unsigned skew = rng() % kBucketSize[k];
            b = static_cast<uint8_t>(std::min(255u, kBucketBase[k] + (rng() % 2 ? 0 : skew * skew % kBucketSize[k])));
        }
        const Bytes payload = encode(in, *models);
        ASSERT_EQ(decode(payload, static_cast<uint32_t>(in.size())), in) << bucket;
    }
}

}  // namespace
}  // namespace kirune
