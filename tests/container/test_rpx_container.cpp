#include <gmock/gmock.h>

#include <cstring>

#include "codec/stream_syntax.h"
#include "container/messages.h"
#include "container/rpx_container.h"
#include "support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;

namespace {

// Streams of a 16 x 16 strip: random bytes (stored), runs (coded unless
// verbatim), a single byte and an empty one.
void fillStreams(SideStreams& st, uint32_t seed) {
    const uint32_t lengths[7] = {1, 48, 100, 120, 90, 0, 700};
    for (int i = 0; i < 7; ++i) {
        for (uint32_t k = 0; k < lengths[i]; ++k) {
            seed = seed * 1103515245 + 12345;
            streamBuffer(st, i)[k] = i == 3 || i == 4 || i == 6 ? uint8_t(k / 50) : uint8_t(seed >> 16);
        }
        st.rawLength[i] = lengths[i];
    }
}

class Container : public ScratchDir {
protected:
    // Writes a header and the strips to a.rpx; returns the strips' tables.
    std::vector<StreamTable> write(const TestImage& s, const ImageMetadata& meta,
                                   std::vector<const SideStreams*> strips) {
        ContainerWriter out(path("a.rpx"));
        writeContainerHeader(out, s.file(), meta);
        std::vector<StreamTable> tables;
        for (const SideStreams* st : strips) tables.push_back(encodeAndAppendStripSection(out, *st));
        out.commit();
        return tables;
    }
    // `b` with n little-endian bytes of v at `at`, and `padding` zeros after.
    static std::vector<uint8_t> patched(std::vector<uint8_t> b, size_t at, uint64_t v, int n, size_t padding) {
        for (int i = 0; i < n; ++i) b[at + i] = uint8_t(v >> (8 * i));
        b.resize(b.size() + padding, 0);
        return b;
    }
    // Reads the header and every strip of `bytes` as a driver would.
    void readAll(const std::vector<uint8_t>& bytes, bool headerOnly = false) {
        writeFile(path("b.rpx"), bytes);
        OpenedContainer c = openContainer(path("b.rpx"));
        if (headerOnly) return;
        TestImage s = c.coding;
        s.alloc();
        for (int i = 0; i < s.stripCount; ++i) readAndExpandStripSection(*c.reader, s.strip.streams);
    }
};

TEST_F(Container, ForeignOrImpossibleHeadersAreRefused) {
    const std::vector<uint8_t> good = encodeContainerHeader(layout(16, 16).file(), ImageMetadata{});
    auto with = [&](size_t at, uint32_t v, int n = 4, size_t pad = 1000) { return patched(good, at, v, n, pad); };
    EXPECT_EQ(errorText([&] { readAll(with(0, 0xE7, 1)); }), kBadMagicText);
    EXPECT_EQ(errorText([&] { readAll(with(8, 0x36, 1)); }), kUnsupportedVersionText);  // "09.15"
    const std::vector<uint8_t> damaged[] = {
        with(10, 0), with(10, 600000),                // width 0, beyond the strip budget
        with(14, 0x80000000u), with(18, 0),           // height beyond 31 bits, level 0
        with(18, kMaxQualityLevel + 1), with(22, 3),  // level whose K * 256 overflows, no such sampling
        with(26, 24), with(30, 0xFFFFFFFFu),          // budget never written, description length < 0
    };
    for (const auto& b : damaged) {
        const UserMessage m = errorMessage([&] { readAll(b); });
        EXPECT_EQ(m.text, kDamagedHeaderText) << &b - damaged;
        EXPECT_THAT(m.args, ElementsAre(Not(IsEmpty()))) << &b - damaged;  // which field
    }
    // Lengths beyond the file's end: a file cut short.
    for (const auto& b : {with(30, 5000), with(76, 1u << 30), with(80, 2000)})  // description, ICC profile, Make
        EXPECT_EQ(errorText([&] { readAll(b); }), kTruncatedHeaderText);
    // More strips than the file holds tables for: refused before any strip buffer exists.
    EXPECT_EQ(errorText([&] { readAll(with(14, 0x7FFFFFF0, 4, 0), true); }), kTooShortForStripsText);
    EXPECT_THAT(errorText([] { ContainerReader("/nonexistent/x.rpx"); }), StartsWith(kCannotOpenInputText));
}

TEST_F(Container, DamagedFilesThrowTheirMessageAndNeverReadPastTheData) {
    TestImage s = layout(16, 16);
    s.alloc(16, 16);
    fillStreams(s.strip.streams, 7);
    const ImageMetadata meta{"M", {}, {}, {}, {}, 1, 1, 1, {9}, "xyzw", {}, {}, {}};
    write(s, meta, {&s.strip.streams});
    const std::vector<uint8_t> good = readFile(path("a.rpx"));
    const size_t headerSize = encodeContainerHeader(s.file(), meta).size();
    ASSERT_NO_THROW(readAll(good));
    // Cut anywhere: too short for a magic number, cut inside the header, short
    // of the strip tables, or cut inside the strip (said so unless the cut
    // leaves a table that fits and the streams' own framing finds the damage).
    int cutInStrip = 0;
    for (size_t cut = 0; cut < good.size(); ++cut) {
        const UserMessage m = errorMessage([&] { readAll({good.begin(), good.begin() + cut}); });
        if (cut < 4) {
            ASSERT_EQ(m.text, kBadMagicText) << cut;
        } else if (cut < headerSize) {
            ASSERT_EQ(m.text, kTruncatedHeaderText) << cut;
        } else if (cut < headerSize + kStreamTableBytes) {
            ASSERT_EQ(m.text, kTooShortForStripsText) << cut;
        } else if (m.text != kDamagedFileText) {
            ASSERT_EQ(m.text, kTruncatedStripText) << cut;
        }
        if (m.text == kTruncatedStripText) {
            ASSERT_THAT(m.args, ElementsAre("1", "1")) << cut;
            ++cutInStrip;
        }
    }
    EXPECT_GT(cutInStrip, 0);
    // matchBytes stored with a length beyond its buffer, in a file long enough for it.
    for (uint64_t raw : {uint64_t(s.strip.streams.matchBytes.size()), uint64_t{0xFFFFFFFF}})
        EXPECT_EQ(errorText([&] { readAll(patched(good, headerSize + 48, raw | raw << 32, 8, 20000)); }),
                  kDamagedFileText) << raw;
}

}  // namespace
