#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "lossless/rotation_sort.h"

namespace kirune {
namespace {

using Bytes = std::vector<uint8_t>;

struct Transform { Bytes last; uint32_t primary; bool operator==(const Transform&) const = default; };

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

Transform sortWith(SortWorkspace& work, const Bytes& in, uint64_t budget) {
    const uint32_t n = static_cast<uint32_t>(in.size());
    Bytes text(2 * n);
    std::copy(in.begin(), in.end(), text.begin());
    Transform t{Bytes(n), 0};
    t.primary = twoStageSort(text.data(), n, t.last.data(), work, budget);
    return t;
}

// With a zero budget the sort must fall back to rotation ranks at once.
Transform sortBlock(const Bytes& in, bool ranked = false) {
    SortWorkspace work(static_cast<uint32_t>(in.size()));
    return sortWith(work, in, ranked ? 0 : defaultCompareBudget(static_cast<uint32_t>(in.size())));
}

// The two-stage method written out plainly (distribution, swap partition,
// stable sort of whole rotations, induction): the only pin on the order of
// equal rotations, which decides the primary index of repetitive blocks.
Transform referenceSort(const Bytes& in) {
    const uint32_t n = static_cast<uint32_t>(in.size());
    Bytes t(in);
    t.insert(t.end(), in.begin(), in.end());
    auto less = [&](uint32_t p, uint32_t q) {
        return std::lexicographical_compare(t.begin() + p, t.begin() + p + n, t.begin() + q,
                                            t.begin() + q + n);
    };
    std::vector<uint32_t> start(257, 0), table(n);
    for (uint32_t i = 0; i < n; ++i) ++start[t[i] + 1];
    std::partial_sum(start.begin(), start.end(), start.begin());
    std::vector<uint32_t> end(start.begin() + 1, start.end());
    for (uint32_t i = n; i-- > 0;) table[--end[t[i]]] = i;
    for (uint32_t c = 0; c < 256; ++c) {
        uint32_t f = start[c];
        for (uint32_t i = start[c]; i < start[c + 1]; ++i)
            if (t[table[i]] > t[table[i] + 1]) std::swap(table[i], table[f++]);
        std::stable_sort(table.begin() + f, table.begin() + start[c + 1], less);
    }
    std::vector<uint32_t> next(start.begin(), start.end() - 1);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t p = table[i], q = p == 0 ? n - 1 : p - 1;
        if (t[q] > t[p]) table[next[t[q]]++] = q;
    }
    Transform out{Bytes(n), 0};
    for (uint32_t i = 0; i < n; ++i) {
        out.last[i] = t[table[i] + n - 1];
        if (table[i] == 0) out.primary = i;
    }
    return out;
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
    // The first run-length stage's output for 1000 zeros.
    EXPECT_EQ(sortBlock(Bytes{0, 0, 0, 0, 131, 100}), (Transform{Bytes{100, 0, 0, 0, 131, 0}, 0}));
}

// Keys, rotation ranks (where a zero budget runs out) and the plain method
// must agree exactly, including the order of equal rotations, and invert.
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
        EXPECT_EQ(keyed, referenceSort(b)) << "size " << b.size();
        EXPECT_EQ(invert(keyed.last, keyed.primary), b) << "size " << b.size();
    }
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

namespace kirune {
namespace {

// Blocks in which the rotations starting with the pair (1, 2) form one group
// of `group` members, whose next bytes are distinct at once (shared 0) or
// only after `shared` equal bytes, so the group is sorted at a deeper level.
Bytes groupBlock(uint32_t group, uint32_t shared, std::mt19937& rng) {
    Bytes b;
    for (uint32_t k = 0; k < group; ++k) {
        b.push_back(1);
        b.push_back(2);
        b.insert(b.end(), shared, 3);
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(4 + rng() % 252));
    }
    return b;
}

// Key groups are sorted by comparison, by byte digits or by wider digits
// according to their size: groups on either side of each switch, sorted at
// the first key or a deeper one, must give the plain method's table.
TEST(RotationSort, GroupsAroundTheSortSwitchesMatchThePlainMethod) {
    std::mt19937 rng(31);
    for (const uint32_t group : {31u, 32u, 33u, 1023u, 1024u, 1025u}) {
        for (const uint32_t shared : {0u, 7u}) {
            const Bytes b = groupBlock(group, shared, rng);
            const Transform t = sortBlock(b);
            EXPECT_EQ(t, referenceSort(b)) << "group " << group << " shared " << shared;
            EXPECT_EQ(invert(t.last, t.primary), b) << "group " << group << " shared " << shared;
        }
    }
    // Keys differing in one byte of five only, and low-entropy text whose
    // groups hold thousands of rotations with long common prefixes.
    Bytes oneByte, lowEntropy(20000);
    for (uint32_t k = 0; k < 1500; ++k) {
        for (uint8_t v : {1, 2, 9, 9, 9, 9}) oneByte.push_back(v);
        oneByte.push_back(static_cast<uint8_t>(10 + k % 200));
    }
    for (auto& v : lowEntropy) v = static_cast<uint8_t>(rng() % 8 == 0 ? rng() % 4 : 0);
    for (const Bytes& b : {oneByte, lowEntropy}) EXPECT_EQ(sortBlock(b), referenceSort(b)) << b.size();
}

}  // namespace
}  // namespace kirune

namespace kirune {
namespace {

// Only some rotations are sorted by keys and the rest are placed from them,
// which depends on where kinds change, on the wrap from the block's end to
// its start and on the byte values present: every block of up to 8 bytes over
// three values (the lowest, the highest and one between), then blocks whose
// keys run deep (with a budget that never runs out, so the keys decide).
TEST(RotationSort, SeedsAndInducedRotationsMatchThePlainMethod) {
    SortWorkspace work(70000);
    const auto check = [&](const Bytes& b) {
        const uint32_t n = static_cast<uint32_t>(b.size());
        const Transform t = sortWith(work, b, defaultCompareBudget(n));
        const Transform deep = sortWith(work, b, ~uint64_t{0});
        const Transform want = referenceSort(b);
        EXPECT_EQ(t, want) << testing::PrintToString(b);
        EXPECT_EQ(deep, want) << "unbounded keys, size " << b.size();
        EXPECT_EQ(invert(t.last, t.primary), b) << "size " << b.size();
        return !::testing::Test::HasFailure();
    };
    for (uint32_t n = 1; n <= 8; ++n) {
        uint32_t blocks = 1;
        for (uint32_t i = 0; i < n; ++i) blocks *= 3;
        for (uint32_t code = 0; code < blocks; ++code) {
            Bytes b;
            for (uint32_t i = 0, k = code; i < n; ++i, k /= 3) b.push_back(static_cast<uint8_t>(k % 3 == 2 ? 255 : k % 3));
            if (!check(b)) return;
        }
    }
    std::mt19937 rng(41);
    std::vector<Bytes> blocks;
    Bytes fib0{'b'}, fib1{'a'};
    while (fib1.size() < 6000) {
        Bytes next = fib1;
        next.insert(next.end(), fib0.begin(), fib0.end());
        fib0 = std::move(fib1);
        fib1 = std::move(next);
    }
    blocks.push_back(fib1);
    Bytes word(40);
    for (auto& v : word) v = static_cast<uint8_t>(rng() % 5);
    Bytes deep = repeat(word, 60);
    deep[1234] ^= 1;
    blocks.push_back(deep);
    for (const uint8_t odd : {0, 7, 255}) {
        for (const size_t at : {size_t{0}, size_t{1}, size_t{2500}, size_t{4998}, size_t{4999}}) {
            Bytes runs(5000, 7);
            runs[at] = odd == 7 ? 8 : odd;
            blocks.push_back(runs);
        }
    }
    Bytes alternating = repeat(Bytes{3, 200}, 3000);
    alternating.push_back(3);
    blocks.push_back(alternating);
    for (int i = 0; i < 12; ++i) {
        Bytes b(2000 + rng() % 60000);  // within the workspace
        const uint32_t alphabet = i % 3 == 0 ? 256 : 2 + rng() % 6;
        const uint8_t base = static_cast<uint8_t>(i % 2 == 0 ? 0 : 256 - alphabet);
        for (auto& v : b) v = static_cast<uint8_t>(base + (rng() % 4 == 0 ? rng() % alphabet : 0));
        blocks.push_back(b);
    }
    for (const Bytes& b : blocks) {
        if (!check(b)) return;
    }
}

}  // namespace
}  // namespace kirune
