#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "kirune/Error.h"
#include "tests/harness/strip_harness.h"

using namespace kirune;
using namespace kirune::harness;

namespace {

enum class Outcome { Decoded, Damaged, OtherError };

Outcome decode(TestStrip& d, const Streams& streams) {
    try {
        decodeStreams(d, 0, streams);
        return Outcome::Decoded;
    } catch (const Error& e) {
        return std::strcmp(e.what(), kDamagedFileText) == 0 ? Outcome::Damaged : Outcome::OtherError;
    }
}

}  // namespace

// Cut streams, bit streams filling their buffers (no byte left for the
// reader's window) and a mean too many are refused. Random flips and cuts
// become the error or a (wrong but bounded) picture; under the sanitizers
// this shows that no damage reads or writes outside a buffer.
TEST(DamagedStreams, AreRefusedOrDecodedButNeverCrash) {
    std::mt19937 rng(2024);
    const RgbImage img = loadFixture("coffee_spoon");
    int refused = 0, decoded = 0;
    for (const CodecChoice& c : {CodecChoice{1, Sampling444}, CodecChoice{100, Sampling422},
                                 CodecChoice{400, Sampling420}, CodecChoice{6400, Sampling444}}) {
        TestStrip enc = stateFor(img, c), d = stateFor(img, c);
        const Streams good = encodeImageStrip(enc, img, 0);
        ASSERT_EQ(decode(d, good), Outcome::Decoded);
        for (int i = 0; i < kStreamCount; ++i) {
            Streams bad = good;
            bad[i].resize(bad[i].size() / 2);
            if (good[i].size() >= 2) {
                EXPECT_EQ(decode(d, bad), Outcome::Damaged) << i << " cut, level " << c.quality;
            }
            bad[i].assign(streamBuffer(d.work.streams, i).size(), 0);
            if (i <= StreamIndexBitsHigh) {
                EXPECT_EQ(decode(d, bad), Outcome::Damaged) << i << " full, level " << c.quality;
            }
        }
        Streams longer = good;
        longer[StreamDcBytes].push_back(0);
        EXPECT_EQ(decode(d, longer), Outcome::Damaged);
        for (int trial = 0; trial < 150; ++trial) {
            Streams bad = good;
            for (int f = 1 + int(rng() % 4); f > 0; --f) {
                auto& s = bad[rng() % kStreamCount];
                if (!s.empty()) s[rng() % s.size()] ^= uint8_t(1 + rng() % 255);
            }
            if (rng() % 4 == 0) {
                auto& s = bad[rng() % kStreamCount];
                s.erase(s.end() - std::ptrdiff_t(std::min<std::size_t>(s.size(), rng() % 8)), s.end());
            }
            const Outcome o = decode(d, bad);
            ASSERT_NE(o, Outcome::OtherError);
            ++(o == Outcome::Damaged ? refused : decoded);
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(decoded, 0);
}
