#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "codec/payload.h"
#include "container/messages.h"
#include "container/rpx_container.h"
#include "kirune/Error.h"
#include "support.h"

namespace kirune {
namespace {

using test::readFile;
using test::writeFile;
using ::testing::AnyOf;
using ::testing::ElementsAreArray;
using ::testing::StrEq;

CodecState geometry(int32_t w, int32_t h, int32_t level = 12, int32_t sampling = Sampling444) {
    CodecState s;
    setCodecParams(s, level);
    s.colourSampling = sampling;
    s.sourceWidth = w;
    s.stripImageRows = h;
    computeStripLayout(s);
    return s;
}

TEST(ContainerHeader, FieldsAtOffsets0To33AsTheFormatGivesThem) {
    const std::vector<uint8_t> h = encodeContainerHeader(geometry(3000, 2000), ImageMetadata{});
    const uint8_t expected[34] = {0xE6, 0xE4, 0x86, 0x00, 0x31, 0x3A, 0x2F, 0x32, 0x37, 0x00,
                                  0xB8, 0x0B, 0, 0, 0xD0, 0x07, 0, 0, 12, 0, 0, 0, 4, 0, 0, 0,
                                  22, 0, 0, 0, 32, 0, 0, 0};
    ASSERT_GE(h.size(), 34u);
    EXPECT_THAT(std::vector<uint8_t>(h.begin(), h.begin() + 34), ElementsAreArray(expected));
}

TEST(ContainerHeader, UntaggedInputEndsWithZeroResolutionNoProfileAndFiveAbsentTexts) {
    ImageMetadata meta;
    meta.description = creditText();
    const std::vector<uint8_t> h = encodeContainerHeader(geometry(8, 1), meta);
    ASSERT_EQ(h.size(), 34u + 32 + 2 + 4 + 4 + 4 + 5 * 4);
    EXPECT_TRUE(std::all_of(h.begin() + 66, h.end(), [](uint8_t b) { return b == 0; }));
    // The credit is stored XOR 0xB4 up to its NUL, zeros after it.
    const std::string credit = creditText();
    for (size_t i = 0; i < 32; ++i)
        EXPECT_EQ(h[34 + i], i < credit.size() ? uint8_t(credit[i]) ^ 0xB4 : 0) << i;
}

class Container : public test::ScratchDir {
protected:
    // Writes a header and the given strips, returns the file's bytes.
    std::vector<uint8_t> write(const CodecState& s, const ImageMetadata& meta, std::vector<SideStreams*> strips,
                               std::vector<StreamTable>* tables = nullptr, std::vector<int64_t>* ends = nullptr) {
        ContainerWriter out(path("a.rpx"));
        writeContainerHeader(out, s, meta);
        for (SideStreams* st : strips) {
            const StreamTable t = writeStripSection(out, *st);
            if (tables) tables->push_back(t);
            if (ends) ends->push_back(out.end());
        }
        out.commit();
        return readFile(path("a.rpx"));
    }
    // Reads the header and every strip of `bytes` as a driver would.
    void readAll(const std::vector<uint8_t>& bytes) {
        writeFile(path("b.rpx"), bytes);
        ContainerReader in(path("b.rpx"));
        CodecState s;
        ImageMetadata meta;
        readContainerHeader(in, s, meta);
        allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
        for (int i = 0; i < s.stripCount; ++i) stripReader(in, s.strip.streams);
    }
};

// Streams of a 16 x 16 strip: compressible, incompressible, empty and verbatim.
void fillStreams(CodecState& s, uint32_t seed) {
    SideStreams& st = s.strip.streams;
    const uint32_t lengths[7] = {7, 48, 100, 120, 1, 0, 700};
    uint32_t x = seed;
    for (int i = 0; i < 7; ++i) {
        StreamBuffer& b = streamBuffer(st, i);
        for (uint32_t k = 0; k < lengths[i]; ++k) {
            x = x * 1103515245 + 12345;
            b[k] = i == 6 ? uint8_t(k / 50) : uint8_t(x >> 16);  // matchBytes: long runs
        }
        st.rawLength[i] = lengths[i];
    }
}

TEST_F(Container, StripsReadBackIdenticalAndEachStartsWhereThePreviousEnded) {
    CodecState s = geometry(16, 16);
    ImageMetadata meta;
    meta.description = "ab\xB4" "cd";  // the XOR value ends the text for a reader
    meta.make = "Maker", meta.model = "", meta.artist = "\x8A\x4A";
    meta.resolutionUnit = 2, meta.xResolution = 300.5f, meta.yResolution = 72.0f;
    meta.iccProfile = {1, 2, 3, 0, 5};

    std::vector<std::vector<uint8_t>> written;
    std::vector<StreamTable> tables;
    std::vector<int64_t> ends;
    std::vector<uint8_t> bytes;
    {
        CodecState a = geometry(16, 16), b = geometry(16, 16);
        allocCodecBuffers(a, 16, 16), allocCodecBuffers(b, 16, 16);
        fillStreams(a, 1), fillStreams(b, 2);
        for (CodecState* c : {&a, &b})
            for (int i = 0; i < 7; ++i) {
                const StreamBuffer& buf = streamBuffer(c->strip.streams, i);
                written.emplace_back(buf.begin(), buf.begin() + c->strip.streams.rawLength[i]);
            }
        bytes = write(s, meta, {&a.strip.streams, &b.strip.streams}, &tables, &ends);
    }
    // Streams 4 and 5 verbatim, the run-filled stream coded, random bytes stored.
    EXPECT_EQ(tables[0][3], (StreamEntry{120, 120}));
    EXPECT_EQ(tables[0][4], (StreamEntry{1, 1}));
    EXPECT_EQ(tables[0][5], (StreamEntry{0, 0}));
    EXPECT_LT(tables[0][6].recordedSize, 700u);
    EXPECT_EQ(tables[0][2], (StreamEntry{100, 100}));
    EXPECT_EQ(ends.back(), int64_t(bytes.size()));

    ContainerReader in(path("a.rpx"));
    CodecState r;
    ImageMetadata m;
    readContainerHeader(in, r, m);
    EXPECT_EQ(r.qualityLevel, 12);
    EXPECT_EQ(r.colourSampling, Sampling444);
    EXPECT_EQ(r.stripCount, 1);
    EXPECT_EQ(m.description, "ab");
    EXPECT_EQ(m.make, "Maker");
    EXPECT_EQ(m.model, "");
    EXPECT_EQ(m.software, std::nullopt);
    EXPECT_EQ(m.artist, "\x8A\x4A");
    EXPECT_EQ(m.resolutionUnit, 2);
    EXPECT_EQ(m.xResolution, 300.5f);
    EXPECT_EQ(m.iccProfile, meta.iccProfile);
    allocCodecBuffers(r, r.paddedWidth, r.stripHeight);
    for (int k = 0; k < 2; ++k) {
        // The table lies in the file as returned.
        for (int i = 0; i < 7; ++i) {
            uint32_t raw, rec;
            std::memcpy(&raw, &bytes[in.position() + 8 * i], 4);
            std::memcpy(&rec, &bytes[in.position() + 8 * i + 4], 4);
            EXPECT_EQ((StreamEntry{raw, rec}), tables[k][i]);
        }
        EXPECT_EQ(stripReader(in, r.strip.streams), tables[k]);
        EXPECT_EQ(in.position(), ends[k]);
        for (int i = 0; i < 7; ++i) {
            const StreamBuffer& buf = streamBuffer(r.strip.streams, i);
            EXPECT_EQ(r.strip.streams.rawLength[i], written[7 * k + i].size());
            EXPECT_TRUE(std::equal(written[7 * k + i].begin(), written[7 * k + i].end(), buf.begin()))
                << "strip " << k << " stream " << i;
        }
    }

    ContainerReader again(path("a.rpx"));
    readContainerHeader(again, r, m);
    EXPECT_EQ(skipStripSection(again), tables[0]);
    EXPECT_EQ(skipStripSection(again), tables[1]);
    EXPECT_EQ(again.remaining(), 0);
}

TEST_F(Container, StripWriterCodesOneMeanPerBlockOfTheThreeRegions) {
    CodecState s = geometry(16, 8, 21, Sampling420);
    allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
    beginStrip(s, 0);
    std::fill(s.strip.yMeans.begin(), s.strip.yMeans.end(), 90);
    std::fill(s.strip.cbMeansQuarter.begin(), s.strip.cbMeansQuarter.end(), 128);
    std::fill(s.strip.crMeansQuarter.begin(), s.strip.crMeansQuarter.end(), 127);
    s.strip.streams.headerPos = {3, 0}, s.strip.streams.indexLowPos = s.strip.streams.indexHighPos = {0, 0};
    ContainerWriter out(path("m.rpx"));
    writeContainerHeader(out, s, ImageMetadata{});
    const StreamTable t = stripWriter(out, s, s.strip);
    EXPECT_EQ(t[1].rawLength, 8u + 2 + 2);  // luma 4 x 2 blocks, chroma 2 x 1 each
    EXPECT_EQ(t[0].rawLength, 2u);          // 12 sign bits
    EXPECT_EQ(t[2].rawLength, 4u);
}

TEST_F(Container, ForeignOrDamagedHeadersAreRefusedAsUnsupported) {
    CodecState s = geometry(16, 16);
    const std::vector<uint8_t> good = encodeContainerHeader(s, ImageMetadata{});
    auto withU32 = [&](size_t at, uint32_t v) {
        std::vector<uint8_t> b = good;
        std::memcpy(&b[at], &v, 4);
        b.resize(b.size() + 1000, 0);
        return b;
    };
    std::vector<std::vector<uint8_t>> bad = {
        {}, {0xE6, 0xE4},
        withU32(4, 0x322F3A31),       // version text "09.15"
        withU32(10, 0),               // width 0
        withU32(10, 600000),          // beyond the strip budget
        withU32(14, 0x80000000u),     // height beyond 32 bits
        withU32(18, 0), withU32(18, 0x7FFFFFFF),  // level whose K * 256 overflows
        withU32(22, 3),               // no such sampling
        withU32(26, 24),              // budget this system never writes
        withU32(30, 0xFFFFFFFFu),     // D < 0
        withU32(30, 5000),            // D beyond the file
        withU32(34 + 32 + 10, 1u << 30),  // ICC length beyond the file
        withU32(34 + 32 + 14, 2000),      // Make's N beyond the file
    };
    bad[1][0] ^= 1;
    bad[2][8] = 0x36;
    for (size_t i = 0; i < bad.size(); ++i) {
        try {
            readAll(bad[i]);
            ADD_FAILURE() << "header " << i << " was accepted";
        } catch (const Error& e) {
            EXPECT_THAT(e.what(), StrEq(kUnsupportedFormatText)) << "header " << i;
        }
    }
}

TEST_F(Container, HeightTheFileCannotHoldIsRefusedBeforeAnyStripIsAllocated) {
    // 2^31 - 1 rows would need a quarter of a million strips.
    std::vector<uint8_t> b = encodeContainerHeader(geometry(8, 8), ImageMetadata{});
    const uint32_t rows = 0x7FFFFFFF;
    std::memcpy(&b[14], &rows, 4);
    writeFile(path("h.rpx"), b);
    ContainerReader in(path("h.rpx"));
    CodecState s;
    ImageMetadata m;
    EXPECT_THROW(readContainerHeader(in, s, m), Error);
}

TEST_F(Container, TruncatedOrBitFlippedFilesThrowAndNeverReadPastTheData) {
    CodecState s = geometry(16, 16);
    allocCodecBuffers(s, 16, 16);
    fillStreams(s, 7);
    const std::vector<uint8_t> good = write(s, ImageMetadata{"M", {}, {}, {}, {}, 1, 1, 1, {9}, "xyzw"},
                                            {&s.strip.streams});
    ASSERT_NO_THROW(readAll(good));
    for (size_t cut = 0; cut < good.size(); ++cut) {
        try {
            readAll(std::vector<uint8_t>(good.begin(), good.begin() + cut));
            ADD_FAILURE() << "cut at " << cut << " was accepted";
        } catch (const Error& e) {
            EXPECT_THAT(e.what(), AnyOf(StrEq(kUnsupportedFormatText), StrEq(kDamagedFileText))) << cut;
        }
    }
    // Flips may leave a readable file; they must never crash or escape as
    // anything but Error.
    const uint8_t masks[] = {0x01, 0x80, 0xFF};
    for (size_t at = 0; at < good.size(); ++at) {
        std::vector<uint8_t> b = good;
        b[at] ^= masks[at % 3];
        try {
            readAll(b);
        } catch (const Error&) {
        }
    }
}

TEST_F(Container, StreamLengthsBeyondTheBuffersAreDamagedData) {
    CodecState s = geometry(16, 16);
    allocCodecBuffers(s, 16, 16);
    fillStreams(s, 3);
    const std::vector<uint8_t> good = write(s, ImageMetadata{}, {&s.strip.streams});
    const size_t headerSize = encodeContainerHeader(s, ImageMetadata{}).size();
    for (uint32_t raw : {uint32_t(s.strip.streams.matchBytes.size()), 0xFFFFFFFFu}) {
        std::vector<uint8_t> b = good;
        b.resize(b.size() + 20000, 0);          // the file itself is no limit here
        std::memcpy(&b[headerSize + 6 * 8], &raw, 4);      // matchBytes raw
        std::memcpy(&b[headerSize + 6 * 8 + 4], &raw, 4);  // stored
        try {
            readAll(b);
            ADD_FAILURE() << raw;
        } catch (const Error& e) {
            EXPECT_THAT(e.what(), StrEq(kDamagedFileText));
        }
    }
}

TEST(ContainerReader, MissingFileIsRefusedWithTheSystemReason) {
    try {
        ContainerReader in("/nonexistent/x.rpx");
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_THAT(e.what(), ::testing::StartsWith(kCannotOpenInputText));
    }
}

}  // namespace
}  // namespace kirune
