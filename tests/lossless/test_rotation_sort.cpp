#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "lossless/rotation_sort.h"

namespace kirune {
namespace {

using Bytes = std::vector<uint8_t>;

struct Transform {
    Bytes last;
    uint32_t primary;
    bool operator==(const Transform&) const = default;
};

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

// With a zero budget the sort must fall back to rotation ranks at once.
Transform sortBlock(const Bytes& in, bool ranked = false) {
    const uint32_t n = static_cast<uint32_t>(in.size());
    Bytes text(2 * n);
    std::copy(in.begin(), in.end(), text.begin());
    SortWorkspace work(n);
    Transform t{Bytes(n), 0};
    t.primary = twoStageSort(text.data(), n, t.last.data(), work, ranked ? 0 : defaultCompareBudget(n));
    return t;
}

// The last column of the rotations sorted one by one; equal rotations end
// in equal bytes, so their order does not matter here.
Bytes naiveLastColumn(const Bytes& in) {
    const std::string text(in.begin(), in.end());  // compared as unsigned bytes
    std::vector<std::string> rotations;
    for (size_t i = 0; i < text.size(); ++i) rotations.push_back(text.substr(i) + text.substr(0, i));
    std::sort(rotations.begin(), rotations.end());
    Bytes last;
    for (const std::string& r : rotations) last.push_back(static_cast<uint8_t>(r.back()));
    return last;
}

Bytes invert(const Bytes& last, uint32_t primary) {
    const uint32_t n = static_cast<uint32_t>(last.size());
    Bytes out(n), column(last);
    std::vector<uint32_t> links(n);
    std::vector<uint8_t> scratch(inverseBwtScratchBytes(n));
    inverseBwt(out.data(), column.data(), primary, n, links.data(), scratch.data());
    return out;
}

Bytes repeat(const Bytes& word, size_t times) {
    Bytes out;
    for (size_t i = 0; i < times; ++i) out.insert(out.end(), word.begin(), word.end());
    return out;
}

TEST(RotationSort, SmallBlocks) {
    EXPECT_EQ(sortBlock(Bytes{42}), (Transform{Bytes{42}, 0}));
    EXPECT_EQ(sortBlock(bytesOf("banana")), (Transform{bytesOf("nnbaaa"), 3}));
    EXPECT_EQ(sortBlock(bytesOf("ba")), (Transform{bytesOf("ba"), 1}));
    // The first run-length stage's output for 1000 zeros.
    EXPECT_EQ(sortBlock(Bytes{0, 0, 0, 0, 131, 100}), (Transform{Bytes{100, 0, 0, 0, 131, 0}, 0}));
}

// Keys and rotation ranks (where a zero budget runs out) must agree exactly,
// including the order of equal rotations in periodic blocks, give the sorted
// rotations' last column and invert to the block.
TEST(RotationSort, KeyAndRankPathsAgreeSortAndInvert) {
    std::mt19937 rng(11);
    std::vector<Bytes> blocks;
    for (int i = 0; i < 60; ++i) {
        Bytes b(1 + rng() % 700);
        const unsigned alphabet = 1 + rng() % (i % 3 == 0 ? 255 : 3);
        for (auto& v : b) v = static_cast<uint8_t>(rng() % alphabet);
        blocks.push_back(b);
    }
    for (int i = 0; i < 40; ++i) {
        Bytes word(1 + rng() % 7);
        for (auto& v : word) v = static_cast<uint8_t>(rng() % 3);
        blocks.push_back(repeat(word, 2 + rng() % 40));
    }
    Bytes flawed = repeat(bytesOf("ab"), 1000);
    flawed[777] = 'c';
    blocks.push_back(flawed);
    blocks.push_back(repeat(bytesOf("aab"), 500));

    for (const Bytes& b : blocks) {
        const Transform keyed = sortBlock(b);
        EXPECT_EQ(sortBlock(b, true), keyed) << "ranked, size " << b.size();
        EXPECT_EQ(keyed.last, naiveLastColumn(b)) << "size " << b.size();
        EXPECT_EQ(invert(keyed.last, keyed.primary), b) << "size " << b.size();
    }
}

TEST(RotationSort, PeriodicMegabyteFinishes) {
    const Bytes block = repeat(bytesOf("ab"), 1u << 19);
    const Transform t = sortBlock(block);
    EXPECT_EQ(t.primary, 0u);  // of the equal rotations starting "ab", position 0 stays first
    Bytes last(1u << 20, 'a');
    std::fill_n(last.begin(), 1u << 19, 'b');
    EXPECT_EQ(t.last, last);
    EXPECT_EQ(invert(t.last, t.primary), block);
}

// The inverse walks many chains side by side and stitches them: sizes
// straddle the chain spacing of 256 rows.
TEST(RotationSort, InverseStitchesItsChainsAtEverySize) {
    std::mt19937 rng(23);
    for (uint32_t n : {2u, 3u, 255u, 256u, 257u, 511u, 512u, 513u, 2047u, 2048u, 2049u, 2304u, 70001u}) {
        for (const unsigned alphabet : {256u, 3u}) {
            Bytes block(n);
            for (auto& v : block) v = static_cast<uint8_t>(rng() % alphabet);
            const Transform t = sortBlock(block);
            ASSERT_EQ(invert(t.last, t.primary), block) << "n " << n << " alphabet " << alphabet;
        }
    }
}

}  // namespace
}  // namespace kirune
