// The trailer after the last strip: older containers still expand; any damage fails before an output exists. The
// input's name it stores (rpx -N) is untrusted, and containers without one keep the default name.

#include <gmock/gmock.h>

#include <fcntl.h>
#include <unistd.h>

#include "app/core/drivers.h"
#include "app/core/output_names.h"
#include "container/image_input.h"
#include "container/messages.h"
#include "container/rpx_container.h"
#include "container/trailer.h"
#include "tests/app/app_support.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;

namespace {

Checksum128 digestOf(const std::vector<uint8_t>& b) { Checksummer s; s.add(b.data(), b.size()); return s.digest(); }

using Trailers = ScratchDir;

TEST_F(Trailers, OldContainersStillExpandAndVerifyByStructure) {
    const struct { const char *input, *legacy; int level, sampling; const char* db; } cases[] = {
        {"samples/coffee-200.tif", "coffee_49-2.rpx", 12, 4, "49-c"},
        {"samples/astronaut-256.tif", "astronaut_35-2.rpx", 400, 1, "35-a"},
        {"tests/data/no-unit.tif", "no-unit_40-2.rpx", 100, 2, "40-n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legacy);
        Quiet ui;
        JobSettings madeWith;
        madeWith.qualityLevel = c.level, madeWith.colourSampling = c.sampling, madeWith.qualityDbText = c.db;
        madeWith.outputDir = dir.string();
        const FileReport made = compressFile(std::string(KIRUNE_TEST_DATA) + "/../" + c.input, FileKind::CompressTiff, madeWith, ui);
        std::vector<uint8_t> legacy = readFile(std::string(KIRUNE_TEST_DATA) + "/../tests/data/legacy/" + c.legacy);
        ASSERT_FALSE(legacy.empty());
        const std::string old = path(c.legacy), extra = path(std::string("extra-") + c.legacy);  // names of its own
        writeFile(old, legacy);
        JobSettings settings;
        EXPECT_EQ(tiffSamples(expandFile(old, settings, ui).output), tiffSamples(expandFile(made.output, settings, ui).output));
        // {container checksum, pixel checksum, strips decoded, layout walked}
        EXPECT_EQ(verifyFile(old, false, settings, ui), (VerifyResult{false, false, true, false}));
        EXPECT_EQ(verifyFile(old, true, settings, ui), (VerifyResult{false, false, false, true}));
        EXPECT_EQ(verifyFile(made.output, false, settings, ui), (VerifyResult{true, true, true, false}));
        EXPECT_EQ(verifyFile(made.output, true, settings, ui), (VerifyResult{true, false, false, false}));
        legacy.push_back(0);  // bytes after the strips that are no well-formed trailer stay damage
        writeFile(extra, legacy);
        EXPECT_THAT(errorText([&] { verifyFile(extra, false, settings, ui); }), StartsWith(kDamagedFileText));
    }
}

TEST_F(Trailers, EveryFlippedBitFailsExpansionAndVerificationWithNoOutput) {
    writeTiff(path("pic.tif"), TiffLayout{.width = 96, .height = 40});
    Quiet ui;
    JobSettings settings;
    settings.stripBudgetLog2 = 10;  // several strips
    const std::vector<uint8_t> good = readFile(compressFile(path("pic.tif"), FileKind::CompressTiff, settings, ui).output);
    const std::size_t strips = withoutTrailer(good).size();
    // Every 13th byte of the header and strips, and every byte of the trailer.
    for (std::size_t at = 0; at < good.size(); at = at < strips ? std::min(at + 13, strips) : at + 1) {
        std::vector<uint8_t> bad = good;
        bad[at] ^= uint8_t(1u << (at % 8));
        writeFile(path("bad.rpx"), bad);
        for (const bool bmpOrFast : {false, true}) {
            settings.bmpOutput = bmpOrFast;
            EXPECT_NE(errorText([&] { expandFile(path("bad.rpx"), settings, ui); }), "accepted") << "byte " << at;
            EXPECT_NE(errorText([&] { verifyFile(path("bad.rpx"), bmpOrFast, settings, ui); }), "accepted") << at;
        }
        ASSERT_EQ(entries(), (std::set<std::string>{"bad.rpx", "pic.tif", "pic_49-2.rpx"})) << "byte " << at;
    }
}

TEST_F(Trailers, DecodedPixelsAreCheckedBeforeTheOutputIsCommitted) {
    // Strips changed after summing, container checksum forged to match: only the pixel checksum can tell.
    writeTiff(path("pic.tif"), TiffLayout{.width = 64, .height = 24});
    Quiet ui;
    const std::vector<uint8_t> good = readFile(compressFile(path("pic.tif"), FileKind::CompressTiff, {}, ui).output);
    const std::vector<uint8_t> body = withoutTrailer(good);
    writeFile(path("good.rpx"), good);
    const std::optional<Trailer> t = trailerOf(path("good.rpx"));
    ASSERT_TRUE(t && t->container && t->pixels);
    const std::vector<uint16_t> pixels = tiffSamples(expandFile(path("good.rpx"), {}, ui).output);
    int rejected = 0;
    for (std::size_t at = 120; at < body.size(); at += 31) {  // past the header
        std::vector<uint8_t> bad = body;
        bad[at] ^= 0x10;
        Trailer forged = *t;
        forged.container = digestOf(bad);
        writeFile(path("forged.rpx"), withTrailer(bad, forged));
        const std::string text = errorText([&] { expandFile(path("forged.rpx"), {}, ui); });
        if (text == "accepted") {  // a bit the decoder never reads
            EXPECT_EQ(tiffSamples(path("forged.tif")), pixels) << "byte " << at;
            std::filesystem::remove(path("forged.tif"));
            continue;
        }
        EXPECT_THAT(text, StartsWith(kDamagedFileText)) << "byte " << at;
        rejected += text.find("pixel checksum") != std::string::npos;
        EXPECT_FALSE(std::filesystem::exists(path("forged.tif"))) << "byte " << at;
    }
    EXPECT_GT(rejected, 0);  // some of them decode, to other pixels
}

TEST_F(Trailers, TheTrailerIsFoundFromTheEndAndAnythingMalformedIsDamage) {
    Trailer t;
    t.container = Checksum128{1, 2}, t.pixels = Checksum128{3, 4}, t.carriedTags = {9, 8, 7};
    t.inputName = InputName{std::string("na\xff\x01me.tif"), -86400, 999'999'999};
    t.grey = GreySource{1, {0x0123456789abcdefull, 0xfedcba9876543210ull}};
    const std::vector<uint8_t> strips(100, 0x55), trailer = encodeTrailer(t);
    const auto encoded = [&](const Trailer& x) { return withTrailer(strips, x); };
    const auto read = [&](const std::vector<uint8_t>& bytes) {
        writeFile(path("c.rpx"), bytes);
        return readTrailer(ContainerReader(path("c.rpx")).fd(), int64_t(bytes.size()));
    };
    const std::optional<Trailer> back = read(encoded(t));
    ASSERT_TRUE(back);
    EXPECT_EQ(std::tie(back->offset, back->container, back->pixels, back->carriedTags),
              std::make_tuple(int64_t{100}, t.container, t.pixels, t.carriedTags));
    EXPECT_EQ(std::tie(back->inputName, back->grey), std::tie(t.inputName, t.grey));
    EXPECT_EQ(back->records.size(), 5u);
    EXPECT_FALSE(read(strips));  // no footer: an older container
    Trailer impossible = t;  // a time no clock gives, a grey photometric no grey input has
    impossible.inputName->modifiedNanoseconds = 1'000'000'000;
    EXPECT_THAT(errorText([&] { read(encoded(impossible)); }), HasSubstr("impossible"));
    impossible = t, impossible.grey->photometric = 2;
    EXPECT_THAT(errorText([&] { read(encoded(impossible)); }), HasSubstr(kDamagedFileText));

    // A version of its own, a length past the file or the limit: damage, checksums matching or not.
    const auto withFooter = [&](const std::vector<uint8_t>& body, uint64_t length) {
        std::vector<uint8_t> b = strips;
        b.insert(b.end(), body.begin(), body.end());
        for (uint64_t v : {length, digestOf(body).low, digestOf(body).high})
            for (int i = 0; i < 8; ++i) b.push_back(uint8_t(v >> (8 * i)));
        b.insert(b.end(), {'R', 'P', 'X', 'T', 'R', 'A', 'I', 'L'});
        return b;
    };
    std::vector<uint8_t> body(trailer.begin(), trailer.end() - kTrailerFooterBytes);
    const auto damage = [&](uint64_t length) { return errorText([&] { read(withFooter(body, length)); }); };
    EXPECT_TRUE(read(withFooter(body, body.size() + 32)));
    body[4] = 2;  // version 2
    EXPECT_THAT(damage(body.size() + 32), HasSubstr("version"));
    body[4] = 1;
    EXPECT_THAT(damage(body.size() + 33 + 100), HasSubstr("length"));
    EXPECT_THAT(damage(uint64_t{65} << 20), HasSubstr("length"));
    body.push_back(0);  // a byte no record covers
    EXPECT_THAT(damage(body.size() + 32), HasSubstr("fill"));
    // A record this version does not know is listed and skipped.
    body.pop_back();
    body[6] = 6;  // six records
    for (uint8_t b : {0x63, 0, 0, 0, 2, 0, 0, 0, 0xAB, 0xCD}) body.push_back(b);
    const std::optional<Trailer> later = read(withFooter(body, body.size() + 32));
    ASSERT_TRUE(later);
    EXPECT_EQ(later->records.back().type, 0x63);
    EXPECT_EQ(later->carriedTags, t.carriedTags);
}

TEST_F(Trailers, WhiteComesBackAsWhiteInTheTiffAndTheBmp) {
    writeTiff(path("white.tif"), TiffLayout{.width = 20, .height = 12}, [](int, int, int) { return uint16_t(65535); });
    Quiet ui;
    JobSettings settings;
    const FileReport c = compressFile(path("white.tif"), FileKind::CompressTiff, settings, ui);
    EXPECT_THAT(tiffSamples(expandFile(c.output, settings, ui).output), Each(65520));
    settings.bmpOutput = true;
    const std::vector<uint8_t> bmp = readFile(expandFile(c.output, settings, ui).output);
    ASSERT_EQ(bmp.size(), 54u + 60 * 12);
    EXPECT_THAT(std::vector<uint8_t>(bmp.begin() + 54, bmp.end()), Each(255));
}

TEST_F(Trailers, CompressedTiffOutputsHoldTheSamePixelsInSmallerFiles) {
    writeTiff(path("pic.tif"), TiffLayout{.width = 300, .height = 200}, [](int x, int y, int c) {
        return uint16_t(20000 + 40 * x + 30 * y + 5000 * c);
    });
    Quiet ui;
    JobSettings settings;
    const std::string container = compressFile(path("pic.tif"), FileKind::CompressTiff, settings, ui).output;
    const std::string plain = expandFile(container, settings, ui).output;
    const std::vector<uint16_t> pixels = tiffSamples(plain);
    const auto plainSize = std::filesystem::file_size(plain);  // before the outputs below replace it
    settings.replaceExisting = true;
    for (const auto& [kind, scheme] : {std::pair{TiffCompression::Deflate, COMPRESSION_ADOBE_DEFLATE},
                                       {TiffCompression::Zstd, COMPRESSION_ZSTD}, {TiffCompression::Lzw, COMPRESSION_LZW}}) {
        settings.tiffCompression = kind;
        const std::string out = expandFile(container, settings, ui).output;
        EXPECT_EQ(tiffSamples(out), pixels) << scheme;
        EXPECT_LT(std::filesystem::file_size(out), plainSize / 2) << scheme;
        TIFF* t = TIFFOpen(out.c_str(), "r");
        uint16_t compression = 0, predictor = 0;
        TIFFGetField(t, TIFFTAG_COMPRESSION, &compression), TIFFGetField(t, TIFFTAG_PREDICTOR, &predictor);
        EXPECT_EQ(std::make_pair(compression, predictor), std::make_pair(uint16_t(scheme), uint16_t(PREDICTOR_HORIZONTAL)));
        EXPECT_GT(TIFFNumberOfStrips(t), 1u);  // streamed in small strips, not held whole
        TIFFClose(t);
    }
}

// What a verification reports is exactly what it checked, for trailers holding either checksum alone.
TEST_F(Trailers, EachChecksumAloneIsReportedAndTheStripsWalkedWithoutTheContainerChecksum) {
    writeTiff(path("pic.tif"), TiffLayout{.width = 64, .height = 24});
    Quiet ui;
    const std::vector<uint8_t> body =
        withoutTrailer(readFile(compressFile(path("pic.tif"), FileKind::CompressTiff, {}, ui).output));
    const std::optional<Trailer> full = trailerOf(path("pic_49-2.rpx"));
    ASSERT_TRUE(full && full->container && full->pixels);
    const auto save = [&](const std::vector<uint8_t>& bytes, const Trailer& t, const std::string& name) {
        return writeFile(path(name), withTrailer(bytes, t)), path(name);
    };
    Trailer containerOnly;
    containerOnly.container = digestOf(body);
    Trailer pixelsOnly;
    pixelsOnly.pixels = full->pixels;
    const std::string c = save(body, containerOnly, "c.rpx"), p = save(body, pixelsOnly, "p.rpx");
    // {container checksum, pixel checksum, strips decoded, layout walked}
    EXPECT_EQ(verifyFile(c, true, {}, ui), (VerifyResult{true, false, false, false}));
    EXPECT_EQ(verifyFile(c, false, {}, ui), (VerifyResult{true, false, true, false}));
    EXPECT_EQ(verifyFile(p, true, {}, ui), (VerifyResult{false, false, false, true}));
    EXPECT_EQ(verifyFile(p, false, {}, ui), (VerifyResult{false, true, true, false}));
    // With no container checksum to vouch for them, the strips' tables must reach the trailer exactly.
    std::vector<uint8_t> longer = body;
    longer.push_back(0);
    const std::string extra = save(longer, pixelsOnly, "extra.rpx");
    EXPECT_THAT(errorText([&] { verifyFile(extra, true, {}, ui); }), StartsWith(kDamagedFileText));
}

class InputNames : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        writeTiff(path("pic.tif"), TiffLayout{.width = 24, .height = 16});
        Quiet ui;
        made = compressFile(path("pic.tif"), FileKind::CompressTiff, JobSettings{}, ui).output;
        std::filesystem::create_directory(dir / "sub");
    }
    // The container again as sub/forged.rpx, its trailer's name record as `name` says.
    std::string forge(const std::optional<std::string>& name) {
        Trailer t = *trailerOf(made);
        if (name)
            t.inputName->name = *name;
        else
            t.inputName.reset();
        writeFile(path("sub/forged.rpx"), withTrailer(withoutTrailer(readFile(made)), t));
        return path("sub/forged.rpx");
    }
    std::string made;
};

TEST_F(InputNames, HostileOrMissingStoredNamesFallBackToTheDefaultNameWithAWarning) {
    const std::string longest = std::string(251, 'n') + ".tif";
    const char* plain = "not a plain file name";
    const std::pair<std::optional<std::string>, const char*> cases[] = {
        {"../evil.tif", plain}, {"a/b.tif", plain}, {"/tmp/evil.tif", plain}, {"..", plain}, {".", plain},
        {"", plain}, {longest + "x", plain}, {std::string("ok\0.tif", 7), plain},
        {std::nullopt, "stores no input name"}};
    JobSettings s;
    s.restoreName = true;
    for (const auto& [name, warning] : cases) {
        SCOPED_TRACE(name.value_or("none"));
        const std::string forged = forge(name);
        Quiet ui;
        EXPECT_EQ(FileDrivers(s).outputPath(forged, FileKind::Expand), path("sub/forged.tif"));
        EXPECT_EQ(expandFile(forged, s, ui).output, path("sub/forged.tif"));
        EXPECT_THAT(ui.warnings, ElementsAre(HasSubstr(warning)));
        EXPECT_FALSE(std::filesystem::exists(dir / "evil.tif"));
        std::filesystem::remove(dir / "sub/forged.tif");
    }
    Quiet ui;
    EXPECT_EQ(verifyFile(forge(std::nullopt), false, s, ui), (VerifyResult{true, true, true, false}));
    // The longest name a file system takes is a name.
    EXPECT_EQ(expandFile(forge(longest), s, ui).output, path("sub/" + longest));
    EXPECT_THAT(ui.warnings, IsEmpty());
}

TEST(RestoredNames, KeptWhenTheExtensionSaysTheKindElseTheStemTakesIt) {
    EXPECT_EQ(restoredName("a_49-2.rpx", "x.TIFF", false), "x.TIFF");
    EXPECT_EQ(restoredName("a_49-2.rpx", "x.Tif", true), "x.bmp");
    EXPECT_EQ(restoredName("a_49-2.rpx", "x.BMP", true), "x.BMP");
    EXPECT_EQ(restoredName("a_49-2.rpx", "scan 2.final.tif", true), "scan 2.final.bmp");
    EXPECT_EQ(restoredName("a_49-2.rpx", "noext", false), "noext.tif");
    EXPECT_EQ(restoredName("in/d.x/a_49-2.rpx", "x.tiff", false), "in/d.x/x.tiff");
    EXPECT_EQ(restoredName("in/a_49-2.rpx", "x.tif", true, "out"), "out/x.bmp");
}

}  // namespace
