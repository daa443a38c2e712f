#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "kirune/Error.h"
#include "lossless/BWT.h"
#include "lossless/mem_func.h"
#include "lossless/range_coder.h"
#include "lossless/rle_mtf.h"

namespace kirune {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBlock = kBwtBlockSize;
const Bytes kHead = {'H', 'E', 'A', 'D', 'E', 'R'};
const Bytes kTail = {'T', 'A', 'I', 'L'};

struct TempFile {
    std::FILE* f = std::tmpfile();
    ~TempFile() {
        if (f) std::fclose(f);
    }
    long size() const {
        const long here = std::ftell(f);
        std::fseek(f, 0, SEEK_END);
        const long end = std::ftell(f);
        std::fseek(f, here, SEEK_SET);
        return end;
    }
    Bytes contents() const {
        Bytes all(static_cast<size_t>(size()));
        const long here = std::ftell(f);
        std::fseek(f, 0, SEEK_SET);
        EXPECT_EQ(std::fread(all.data(), 1, all.size(), f), all.size());
        std::fseek(f, here, SEEK_SET);
        return all;
    }
};

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

uint32_t field24(const Bytes& s, size_t at) { return (s[at] << 16) | (s[at + 1] << 8) | s[at + 2]; }

// Walks the framing of a coded stream: returns the number of blocks and
// checks that the payload lengths add up to recordedSize.
size_t countBlocks(const Bytes& stream, uint32_t recorded) {
    EXPECT_EQ(stream.at(0), kBwtBlockFactor);
    size_t at = 1, blocks = 0, sum = 0;
    while (at < stream.size()) {
        const uint32_t len = field24(stream, at + 3);
        sum += len;
        at += 6 + len;
        ++blocks;
    }
    EXPECT_EQ(at, stream.size());
    EXPECT_EQ(sum, recorded);
    return blocks;
}

// Compresses behind a header in a file, with a tail after it, expands back
// from the file and checks the footprint and the positions on both sides.
void fileRoundTrip(const Bytes& raw, bool expectStored) {
    TempFile file;
    ASSERT_NE(file.f, nullptr);
    std::fwrite(kHead.data(), 1, kHead.size(), file.f);
    const uint32_t n = static_cast<uint32_t>(raw.size());
    const uint32_t recorded = bwtCompressToFile(raw.data(), n, file.f);
    const long end = std::ftell(file.f);
    EXPECT_EQ(file.size(), end) << "nothing may lie behind the stream";
    const Bytes all = file.contents();
    const Bytes stream(all.begin() + kHead.size(), all.end());
    EXPECT_EQ(recorded == n, expectStored);
    if (recorded == n) {
        EXPECT_EQ(stream, raw);
    } else {
        EXPECT_LT(recorded, n);
        const size_t blocks = countBlocks(stream, recorded);
        EXPECT_EQ(blocks, (raw.size() + kBlock - 1) / kBlock);
        EXPECT_EQ(stream.size(), recorded + 1 + 6 * blocks);
    }
    std::fwrite(kTail.data(), 1, kTail.size(), file.f);

    std::fseek(file.f, static_cast<long>(kHead.size()), SEEK_SET);
    Bytes back(raw.size() + 1, 0xee);
    bwtExpandFromFile(file.f, recorded, back.data(), n);
    EXPECT_EQ(std::ftell(file.f), end);
    EXPECT_EQ(back.back(), 0xee) << "wrote past the raw length";
    back.pop_back();
    EXPECT_EQ(back, raw);
    Bytes tail(kTail.size());
    EXPECT_EQ(std::fread(tail.data(), 1, tail.size(), file.f), tail.size());
    EXPECT_EQ(tail, kTail);
}

// Stored and coded streams, one block and several, lengths around the block size.
TEST(BwtStream, RoundTripsThroughAFileAtAnOffset) {
    const struct { Bytes raw; bool stored; } cases[] = {
        {Bytes{}, true}, {Bytes{0x41}, true}, {randomBytes(100000, 1), true},
        {Bytes(300000, 0x5a), false}, {periodic(200000), false},
        {realistic(kBlock - 1, 2), false}, {realistic(kBlock, 3), false},
        {realistic(kBlock + 1, 4), false}, {realistic(3 * size_t{kBlock}, 5), false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw.size());
        fileRoundTrip(c.raw, c.stored);
    }
}

TEST(BwtStream, ThousandZerosGiveTheStagesWorkedByHand) {
    // First stage 0 0 0 0 131 100; sorted rotations give the last column
    // 100 0 0 0 131 0 with primary index 0; move-to-front gives the ranks
    // 100 0 0 0 131 0; the second stage 101 0 0 132 0.
    const Bytes raw(1000, 0);
    const Bytes packed{101, 0, 0, 132, 0};
    auto models = std::make_unique<RangeModels>();
    Bytes payload(64);
    payload.resize(rangeEncode(payload.data(), 64, packed.data(), 5, *models));
    Bytes expected{2, 0, 0, 0, 0, 0, static_cast<uint8_t>(payload.size())};
    expected.insert(expected.end(), payload.begin(), payload.end());

    Bytes stream;
    const uint32_t recorded = bwtCompressToVector(raw.data(), 1000, stream);
    EXPECT_EQ(recorded, payload.size());
    EXPECT_EQ(stream, expected);
}

// Coded and stored streams; a stored stream from a file source is read a
// second time from where the call began.
class EveryCombination : public testing::TestWithParam<bool> {};

TEST_P(EveryCombination, OfMemoryAndFileSidesGivesTheSameStream) {
    const Bytes raw = GetParam() ? realistic(50000, 7) : randomBytes(3000, 8);
    const uint32_t n = static_cast<uint32_t>(raw.size());
    Bytes coded;
    const uint32_t recorded = bwtCompressToVector(raw.data(), n, coded);
    EXPECT_EQ(recorded == n, !GetParam());

    for (const bool inFile : {false, true}) {
        for (const bool outFile : {false, true}) {
            SCOPED_TRACE(testing::Message() << "in file " << inFile << ", out file " << outFile);
            // Compress, from behind a header when the source is a file.
            TempFile src, dst;
            std::fwrite(kHead.data(), 1, kHead.size(), src.f);
            std::fwrite(raw.data(), 1, raw.size(), src.f);
            std::fseek(src.f, static_cast<long>(kHead.size()), SEEK_SET);
            Bytes mem(bwtCompressBound(n));
            BwtSource in =
                inFile ? BwtSource::fromFile(src.f) : BwtSource::fromMemory(raw.data(), n);
            BwtSink out =
                outFile ? BwtSink::toFile(dst.f) : BwtSink::toMemory(mem.data(), mem.size());
            EXPECT_EQ(bwtCode(BwtMode::Compress, in, out, n, 0), recorded);
            if (inFile) {
                EXPECT_EQ(std::ftell(src.f), static_cast<long>(kHead.size() + n));
            }
            const Bytes got =
                outFile ? dst.contents() : Bytes(mem.begin(), mem.begin() + out.written);
            EXPECT_EQ(got, coded);

            // Expand.
            TempFile csrc, rdst;
            std::fwrite(coded.data(), 1, coded.size(), csrc.f);
            std::rewind(csrc.f);
            Bytes back(n);
            BwtSource cin = inFile ? BwtSource::fromFile(csrc.f)
                                   : BwtSource::fromMemory(coded.data(), coded.size());
            BwtSink rout = outFile ? BwtSink::toFile(rdst.f) : BwtSink::toMemory(back.data(), n);
            EXPECT_EQ(bwtCode(BwtMode::Expand, cin, rout, recorded, n), n);
            EXPECT_EQ(outFile ? rdst.contents() : back, raw);
            if (!inFile) {
                EXPECT_EQ(cin.consumed, coded.size());
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BwtStream, EveryCombination, testing::Values(true, false));

TEST(BwtDamage, TruncatedStreamsAreDamaged) {
    const Bytes raw = realistic(3000, 9);
    Bytes coded;
    const uint32_t recorded = bwtCompressToVector(raw.data(), 3000, coded);
    ASSERT_LT(recorded, 3000u);
    for (size_t len = 0; len < coded.size(); ++len) {
        Bytes back(3000);
        try {
            bwtExpandFromMemory(coded.data(), len, recorded, back.data(), 3000);
            ADD_FAILURE() << "accepted a stream cut at " << len;
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), kDamagedFileText) << "cut at " << len;
        }
    }
    // A stored stream whose source ends early.
    Bytes back(10);
    EXPECT_THROW(bwtExpandFromMemory(raw.data(), 9, 10, back.data(), 10), Error);
}

TEST(BwtDamage, HeadersAndLengthsOutOfRange) {
    const Bytes raw(2000, 3);
    Bytes coded;
    const uint32_t recorded = bwtCompressToVector(raw.data(), 2000, coded);
    auto rejects = [&](Bytes s, uint32_t rec, uint32_t rawLength) {
        Bytes back(rawLength);
        EXPECT_THROW(bwtExpandFromMemory(s.data(), s.size(), rec, back.data(), rawLength), Error);
    };
    // One short block decodes alike under every factor the expander accepts.
    for (uint8_t factor = 1; factor <= kBwtMaxBlockFactor; ++factor) {
        Bytes s = coded, back(2000);
        s[0] = factor;
        bwtExpandFromMemory(s.data(), s.size(), recorded, back.data(), 2000);
        EXPECT_EQ(back, raw);
    }
    for (const uint8_t factor : {uint8_t{0}, uint8_t{10}, uint8_t{255}}) {
        Bytes s = coded;
        s[0] = factor;
        rejects(s, recorded, 2000);
    }
    // The block is 3 3 3 3 and a two-byte count: primary indices from 6 on lie past it.
    for (const uint32_t index : {6u, 0xffffffu}) {
        Bytes primary = coded;
        primary[1] = uint8_t(index >> 16), primary[2] = uint8_t(index >> 8), primary[3] = uint8_t(index);
        rejects(primary, recorded, 2000);
    }
    Bytes payload = coded;
    payload[4] = 0xff;  // payload length far beyond the stream
    rejects(payload, recorded, 2000);
    rejects(coded, 3000, 2000);          // recorded above raw length
    rejects(coded, recorded - 1, 2000);  // payloads do not add up
    rejects(coded, recorded, 1999);      // more bytes than expected
    rejects(coded, recorded, 4000);      // stream stops short of the raw length
    Bytes garbage = coded;
    garbage.resize(7);
    garbage.insert(garbage.end(), {0xff, 0xff, 0xff, 0xff, 0xff});
    garbage[6] = 5;
    try {
        Bytes back(2000);
        bwtExpandFromMemory(garbage.data(), garbage.size(), 5, back.data(), 2000);
        ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "RangeCoder : decode error 10");
    }
}

TEST(BwtDamage, CallerMistakesAndAbsurdLengthsAreErrors) {
    const Bytes raw = realistic(5000, 14);
    Bytes coded;
    const uint32_t recorded = bwtCompressToVector(raw.data(), 5000, coded);
    // An absurd raw length to a file sink allocates only what the stream needs.
    TempFile out;
    BwtSource in = BwtSource::fromMemory(coded.data(), coded.size());
    BwtSink toFile = BwtSink::toFile(out.f);
    EXPECT_THROW(bwtCode(BwtMode::Expand, in, toFile, recorded, 0xffffffffu), Error);

    Bytes small(10), big(bwtCompressBound(5000));
    BwtSource rawIn = BwtSource::fromMemory(raw.data(), raw.size());
    BwtSink tooSmall = BwtSink::toMemory(small.data(), small.size());
    EXPECT_THROW(bwtCode(BwtMode::Compress, rawIn, tooSmall, 5000, 0), Error);
    EXPECT_THROW(bwtCode(BwtMode::Expand, rawIn, tooSmall, 5000, 5000), Error);
    BwtSource shortIn = BwtSource::fromMemory(raw.data(), 100);
    BwtSink bigSink = BwtSink::toMemory(big.data(), big.size());
    EXPECT_THROW(bwtCode(BwtMode::Compress, shortIn, bigSink, 5000, 0), Error);
}

TEST(MemStream, ReadsAndWritesClampAtTheEnd) {
    uint8_t buf[6] = {1, 2, 3, 4, 5, 6};
    MemStream m{buf, 6, 0};
    uint8_t got[8] = {};
    EXPECT_EQ(memRead(m, got, 2, 2), 4u);
    EXPECT_EQ(memRead(m, got, 1, 5), 2u);
    EXPECT_EQ(memRead(m, got, 1, 0), 0u);
    EXPECT_EQ(memGetc(m), EOF);
    EXPECT_EQ(memSeek(m, 7), 1);
    EXPECT_EQ(memTell(m), 6u);
    EXPECT_EQ(memSeek(m, 4), 0);
    EXPECT_EQ(memPutc(m, 0x1ff), 0xff);
    EXPECT_EQ(buf[4], 0xff);
    EXPECT_EQ(memWrite(m, "xyz", 1, 3), 1u);
    EXPECT_EQ(buf[5], 'x');
    EXPECT_EQ(memPutc(m, 9), EOF);
    EXPECT_EQ(memGetc(m), EOF);
}

}  // namespace
}  // namespace kirune
