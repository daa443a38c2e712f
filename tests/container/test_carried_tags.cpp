// Tags carried from an input TIFF into an expanded one: captured, encoded, validated, written back.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <ranges>
#include <set>

#include "container/carried_tags.h"
#include "container/input_file.h"
#include "container/messages.h"
#include "container/tiff_support.h"
#include "support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;

namespace {

using CarriedTags = ScratchDir;

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }
std::vector<uint8_t> cstr(const std::string& s) { return bytes(s + '\0'); }
void setInts(TIFF* tif, std::initializer_list<std::pair<ttag_t, int>> fields) {
    for (auto [tag, value] : fields) TIFFSetField(tif, tag, value);
}
std::vector<uint8_t> noise(std::size_t n, unsigned seed) {
    std::vector<uint8_t> b(n);
    for (auto& v : b) v = uint8_t((seed = seed * 1103515245u + 12345u) >> 16);
    return b;
}

const std::string kArtist = "山田 花子";
const std::string kDescription = [d = std::string()]() mutable {
    for (int i = 0; d.size() < 200; ++i) d += "frame " + std::to_string(i) + ", ";
    return d.substr(0, 200);
}();
const std::vector<uint8_t> kXmp = bytes("<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF/></x:xmpmeta>");
const std::vector<uint8_t> kIptc = noise(37, 1), kPhotoshop = noise(64, 2);

struct Opened {  // through the expander's own reader
    std::unique_ptr<TiffMessages> messages = std::make_unique<TiffMessages>();
    TiffHandle tif;
};
Opened openTiff(const std::string& p) {
    Opened o;
    o.tif = openTiffForReading(::open(p.c_str(), O_RDONLY), p, *o.messages);
    EXPECT_TRUE(o.tif) << p << o.messages->reason();
    return o;
}

std::vector<uint8_t> carriedTagsOf(const std::string& p, std::vector<std::string>* warnings = nullptr) {
    Opened in = openTiff(p);
    std::vector<std::string> w;
    if (warnings) warnings->clear();
    return in.tif ? readCarriedTags(in.tif.get(), warnings ? *warnings : w) : std::vector<uint8_t>{};
}

uint16_t outPixel(int x, int y, int c) { return uint16_t(x * 9001 + y * 257 + c * 4099); }

// A 5 x 4 8-bit photograph in libtiff `mode` with tags of every kind, Exif and GPS included.
void writePhoto(const std::string& p, const char* mode) {
    TIFF* tif = TIFFOpen(p.c_str(), mode);
    ASSERT_NE(tif, nullptr);
    setInts(tif, {{TIFFTAG_IMAGEWIDTH, 5}, {TIFFTAG_IMAGELENGTH, 4}, {TIFFTAG_BITSPERSAMPLE, 8},
                  {TIFFTAG_SAMPLESPERPIXEL, 3}, {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB}, {TIFFTAG_ROWSPERSTRIP, 2},
                  {TIFFTAG_ORIENTATION, ORIENTATION_RIGHTTOP}});
    const float white[2] = {0.3127f, 0.329f}, primaries[6] = {0.64f, 0.33f, 0.3f, 0.6f, 0.15f, 0.06f};
    TIFFSetField(tif, TIFFTAG_COPYRIGHT, "(c) 2024 Kirune"), TIFFSetField(tif, TIFFTAG_ARTIST, kArtist.c_str());
    TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, kDescription.c_str()), TIFFSetField(tif, TIFFTAG_WHITEPOINT, white);
    TIFFSetField(tif, TIFFTAG_PRIMARYCHROMATICITIES, primaries);
    TIFFSetField(tif, TIFFTAG_XMLPACKET, uint32_t(kXmp.size()), kXmp.data());
    TIFFSetField(tif, TIFFTAG_RICHTIFFIPTC, uint32_t(kIptc.size()), kIptc.data());
    TIFFSetField(tif, TIFFTAG_PHOTOSHOP, uint32_t(kPhotoshop.size()), kPhotoshop.data());
    TIFFSetField(tif, TIFFTAG_EXIFIFD, uint64_t{0}), TIFFSetField(tif, TIFFTAG_GPSIFD, uint64_t{0});
    uint8_t line[15];
    for (int y = 0; y < 4; ++y) {
        for (int i = 0; i < 15; ++i) line[i] = uint8_t(i / 3 * 40 + y * 7 + i % 3 * 90);
        ASSERT_EQ(TIFFWriteScanline(tif, line, y, 0), 1);
    }
    ASSERT_EQ(TIFFWriteDirectory(tif), 1);
    uint64_t exif = 0, gps = 0;
    TIFFCreateEXIFDirectory(tif);
    TIFFSetField(tif, EXIFTAG_EXPOSURETIME, 1.0 / 250), TIFFSetField(tif, EXIFTAG_FNUMBER, 2.8);
    TIFFSetField(tif, EXIFTAG_LENSMODEL, "Kirune 50mm F1.4");
    TIFFSetField(tif, EXIFTAG_DATETIMEORIGINAL, "2024:05:06 07:08:09");
    ASSERT_EQ(TIFFWriteCustomDirectory(tif, &exif), 1);
    TIFFFreeDirectory(tif);  // creating the next one would leak the Exif values
    TIFFCreateGPSDirectory(tif);
    const double latitude[3] = {35, 39, 30.96}, longitude[3] = {139, 44, 43.44};
    TIFFSetField(tif, GPSTAG_LATITUDEREF, "N"), TIFFSetField(tif, GPSTAG_LATITUDE, latitude);
    TIFFSetField(tif, GPSTAG_LONGITUDEREF, "E"), TIFFSetField(tif, GPSTAG_LONGITUDE, longitude);
    ASSERT_EQ(TIFFWriteCustomDirectory(tif, &gps), 1);
    ASSERT_EQ(TIFFSetDirectory(tif, 0), 1);
    TIFFSetField(tif, TIFFTAG_EXIFIFD, exif), TIFFSetField(tif, TIFFTAG_GPSIFD, gps);
    ASSERT_EQ(TIFFRewriteDirectory(tif), 1);
    TIFFClose(tif);
}

// Writes 7 x 3 other pixels as the expander does, then the carried tags; "w" goes through its own sink.
std::vector<std::string> writeExpanded(const std::string& p, std::span<const uint8_t> blob, const char* mode = "w") {
    UniqueFd fd(::open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644));
    TiffSink sink{fd.get()};
    TiffMessages messages;
    TiffHandle tif(std::string(mode) == "w" ? openTiffForWriting(sink, p, messages).release()
                                             : TIFFOpen(p.c_str(), mode));
    EXPECT_TRUE(tif);
    if (!tif) return {};
    setInts(tif.get(), {{TIFFTAG_IMAGEWIDTH, 7}, {TIFFTAG_IMAGELENGTH, 3}, {TIFFTAG_BITSPERSAMPLE, 16},
                        {TIFFTAG_SAMPLESPERPIXEL, 3}, {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB}, {TIFFTAG_PLANARCONFIG, 1}});
    TIFFSetField(tif.get(), TIFFTAG_IMAGEDESCRIPTION, "credit");
    TIFFSetField(tif.get(), TIFFTAG_SOFTWARE, "Kirune");
    TIFFWriteBufferSetup(tif.get(), nullptr, tmsize_t{1} << 20);
    uint16_t line[21];
    for (int y = 0; y < 3; ++y) {
        for (int i = 0; i < 21; ++i) line[i] = outPixel(i / 3, y, i % 3);
        EXPECT_EQ(TIFFWriteScanline(tif.get(), line, y, 0), 1);
    }
    EXPECT_EQ(TIFFFlush(tif.get()), 1);
    std::vector<std::string> warnings;
    appendCarriedTags(tif.get(), blob, warnings);
    tif.reset();
    EXPECT_EQ(messages.lastError, "");
    return warnings;
}

using TagValues = std::map<std::pair<int, int>, std::tuple<int, uint32_t, std::vector<uint8_t>>>;
TagValues valuesOf(std::span<const uint8_t> blob) {
    TagValues m;
    for (const CarriedTag& t : decodeCarriedTags(blob))
        m[{int(t.directory), t.tag}] = {t.type, t.count, {t.value.begin(), t.value.end()}};
    return m;
}
auto keysOf(const TagValues& m) { return std::vector(std::views::keys(m).begin(), std::views::keys(m).end()); }

TEST_F(CarriedTags, EveryTagOfAPhotographComesBackWithItsBytesAroundOtherPixels) {
    writePhoto(path("photo.tif"), "w");
    std::vector<std::string> warnings;
    const std::vector<uint8_t> blob = carriedTagsOf(path("photo.tif"), &warnings);
    EXPECT_THAT(warnings, ElementsAre());
    EXPECT_THAT(keysOf(valuesOf(blob)),
                ElementsAre(Pair(0, 270), Pair(0, 274), Pair(0, 315), Pair(0, 318), Pair(0, 319), Pair(0, 700),
                            Pair(0, 33432), Pair(0, 33723), Pair(0, 34377), Pair(1, 33434), Pair(1, 33437),
                            Pair(1, 36867), Pair(1, 42036), Pair(2, 1), Pair(2, 2), Pair(2, 3), Pair(2, 4)));
    // Values in little-endian order whatever the file's, and as libtiff wrote them.
    EXPECT_EQ(valuesOf(blob).at({0, 274}), std::make_tuple(3, 1u, std::vector<uint8_t>{6, 0}));
    EXPECT_EQ(std::get<2>(valuesOf(blob).at({0, 270})), cstr(kDescription));
    for (const char* mode : {"w", "wb", "w8"}) {
        SCOPED_TRACE(mode);
        writePhoto(path("other.tif"), mode);  // read the same from either byte order and from BigTIFF
        EXPECT_EQ(carriedTagsOf(path("other.tif")), blob);
        EXPECT_THAT(writeExpanded(path("out.tif"), blob, mode), ElementsAre());
        Opened out = openTiff(path("out.tif"));
        ASSERT_TRUE(out.tif);
        uint16_t line[21];  // the pixels survive the tags written after them
        ASSERT_EQ(TIFFReadScanline(out.tif.get(), line, 2, 0), 1);
        for (int i = 0; i < 21; ++i) EXPECT_EQ(line[i], outPixel(i / 3, 2, i % 3)) << i;
        TagValues expected = valuesOf(blob);  // every carried value exactly, the output's software beside
        expected[{0, 305}] = {TIFF_ASCII, 7u, cstr("Kirune")};
        EXPECT_EQ(valuesOf(carriedTagsOf(path("out.tif"))), expected);
        EXPECT_THAT(out.messages->warnings, ElementsAre());
        EXPECT_EQ(out.messages->lastError, "");
    }
}

// A classic TIFF of one RGB pixel with `extra` entries, `tail` at kTailAt; `offset` overrides a value's place.
struct RawEntry {
    uint16_t tag, type;
    uint32_t count;
    std::vector<uint8_t> value;
    std::optional<uint32_t> offset = {};
};
constexpr uint32_t kTailAt = 12;
std::vector<uint8_t> number(uint64_t v, int n, bool bigEndian = false) {
    std::vector<uint8_t> b(n);
    for (int i = 0; i < n; ++i) b[bigEndian ? n - 1 - i : i] = uint8_t(v >> (8 * i));
    return b;
}
std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    return a.insert(a.end(), b.begin(), b.end()), a;
}
std::vector<uint8_t> rawTiff(bool be, std::vector<RawEntry> extra, const std::vector<uint8_t>& tail = {}) {
    const auto s = [&](uint64_t v) { return number(v, 2, be); };
    const auto l = [&](uint64_t v) { return number(v, 4, be); };
    std::vector<uint8_t> b = std::vector<uint8_t>{uint8_t(be ? 'M' : 'I'), uint8_t(be ? 'M' : 'I')} + s(42) + l(0) +
                             std::vector<uint8_t>{10, 20, 30, 0} + tail;
    if (b.size() & 1) b.push_back(0);
    for (RawEntry e : std::initializer_list<RawEntry>{
             {256, 3, 1, s(1)}, {257, 3, 1, s(1)}, {258, 3, 3, s(8) + s(8) + s(8)}, {259, 3, 1, s(1)},
             {262, 3, 1, s(2)}, {273, 4, 1, l(8)}, {277, 3, 1, s(3)}, {278, 3, 1, s(1)}, {279, 4, 1, l(3)}})
        extra.push_back(e);
    std::stable_sort(extra.begin(), extra.end(), [](auto& a, auto& b) { return a.tag < b.tag; });
    std::vector<uint8_t> entries;
    for (RawEntry& e : extra) {
        std::vector<uint8_t> field = e.value;
        if (e.offset || e.value.size() > 4) {
            field = l(e.offset.value_or(uint32_t(b.size())));
            if (!e.offset) b = b + e.value + std::vector<uint8_t>(e.value.size() & 1);
        }
        field.resize(4);
        entries = entries + s(e.tag) + s(e.type) + l(e.count) + field;
    }
    std::ranges::copy(l(b.size()), b.begin() + 4);
    return b + s(extra.size()) + entries + l(0);
}

TEST_F(CarriedTags, PrivateTagsAndBigEndianValuesKeepTheirMeaningAndBlocksTheirBytes) {
    const std::vector<uint8_t> block = {1, 2, 3, 4, 5, 6, 7, 8};
    const bool be = true;
    writeFile(path("mm.tif"),
              rawTiff(be, {{33723, TIFF_LONG, 2, block},                                       // IPTC as Photoshop types it
                           {65000, TIFF_SRATIONAL, 1, number(uint32_t(-3), 4, be) + number(7, 4, be)},
                           {65001, TIFF_DOUBLE, 1, number(0x400921FB54442D18, 8, be)},         // pi
                           {65002, TIFF_SSHORT, 3, number(1, 2, be) + number(uint16_t(-2), 2, be) + number(3, 2, be)},
                           {65003, TIFF_UNDEFINED, 3, {9, 8, 7}}}));
    std::vector<std::string> warnings;
    const std::vector<uint8_t> blob = carriedTagsOf(path("mm.tif"), &warnings);
    EXPECT_THAT(warnings, ElementsAre());
    const TagValues expected = {
        {{0, 33723}, {TIFF_LONG, 2, block}},
        {{0, 65000}, {TIFF_SRATIONAL, 1, number(uint32_t(-3), 4) + number(7, 4)}},
        {{0, 65001}, {TIFF_DOUBLE, 1, number(0x400921FB54442D18, 8)}},
        {{0, 65002}, {TIFF_SSHORT, 3, number(1, 2) + number(uint16_t(-2), 2) + number(3, 2)}},
        {{0, 65003}, {TIFF_UNDEFINED, 3, {9, 8, 7}}}};
    EXPECT_EQ(valuesOf(blob), expected);
    for (const char* mode : {"w", "wb", "w8"}) {
        writeExpanded(path("out.tif"), blob, mode);
        TagValues back = valuesOf(carriedTagsOf(path("out.tif")));
        back.erase({0, 270}), back.erase({0, 305});  // the output's own
        EXPECT_EQ(back, expected) << mode;
        // The block's file bytes, not its longs, are what readers take.
        const std::vector<uint8_t> file = readFile(path("out.tif"));
        EXPECT_NE(std::search(file.begin(), file.end(), block.begin(), block.end()), file.end()) << mode;
    }
}

TEST_F(CarriedTags, OddOrHostileEntriesAreLeftOutWithAWarningEach) {
    const auto s = [](uint64_t v) { return number(v, 2); };
    const auto l = [](uint64_t v) { return number(v, 4); };
    // At kTailAt an Exif directory of three entries, then an Interoperability one claiming 60000.
    constexpr uint32_t interop = kTailAt + 2 + 3 * 12 + 4;
    const std::vector<uint8_t> tail = s(3) + s(33434) + s(TIFF_RATIONAL) + l(1) + l(0x7FFFFF00) +  // outside
                                      s(40965) + s(TIFF_LONG) + l(1) + l(interop) +              //
                                      s(42036) + s(TIFF_ASCII) + l(4) + cstr("abc") + l(0) + s(60000);
    writeFile(path("odd.tif"),
              rawTiff(false, {{33432, TIFF_ASCII, 6, cstr("first")}, {33432, TIFF_ASCII, 7, cstr("second")},
                              {65000, 99, 1, l(5)}, {65001, TIFF_ASCII, 100, {}, 0x7FFFFFF0},
                              {65002, TIFF_DOUBLE, 0x10000000, {}, 16}, {65003, TIFF_SHORT, 0, {}},
                              {65004, TIFF_SRATIONAL, 1, l(1) + l(3)}, {400, TIFF_LONG, 1, l(12)},
                              {301, TIFF_SHORT, 3 * 256, std::vector<uint8_t>(6 * 256)},  // for 8-bit samples
                              {34853, TIFF_SHORT, 2, s(1) + s(2)}, {34665, TIFF_LONG, 1, l(kTailAt)}},
                      tail));
    std::vector<std::string> warnings;
    const TagValues kept = valuesOf(carriedTagsOf(path("odd.tif"), &warnings));
    EXPECT_THAT(keysOf(kept), ElementsAre(Pair(0, 33432), Pair(0, 65004), Pair(1, 42036)));
    EXPECT_EQ(std::get<2>(kept.at({0, 33432})), cstr("first"));
    for (const char* what : {"repeats 1 tags", "tag 65000", "tag 65001", "tag 65002", "tag 65003", "tag 400",
                             "tag 301", "tag 34853", "Exif tag 33434", "Interoperability directory"})
        EXPECT_THAT(warnings, Contains(HasSubstr(what)));
    EXPECT_EQ(warnings.size(), 10u) << testing::PrintToString(warnings);

    // A pointer to nowhere loses its directory, not the image's tags.
    writeFile(path("lost.tif"), rawTiff(false, {{34665, TIFF_LONG, 1, l(0xFFFFFF00)}, {274, TIFF_SHORT, 1, s(3)}}));
    EXPECT_EQ(valuesOf(carriedTagsOf(path("lost.tif"), &warnings)).size(), 1u);
    EXPECT_THAT(warnings, ElementsAre(HasSubstr("Exif directory left out")));
}

TEST_F(CarriedTags, OverTheirBudgetTheLargestTagsAreLeftOut) {
    const std::vector<uint8_t> xmp = noise(9 << 20, 3), photoshop = noise(8 << 20, 4);
    writeFile(path("big.tif"), rawTiff(false, {{700, TIFF_BYTE, uint32_t(xmp.size()), xmp},
                                               {34377, TIFF_BYTE, uint32_t(photoshop.size()), photoshop},
                                               {33432, TIFF_ASCII, 5, cstr("mine")}}));
    std::vector<std::string> warnings;
    const std::vector<uint8_t> blob = carriedTagsOf(path("big.tif"), &warnings);
    const TagValues kept = valuesOf(blob);
    EXPECT_THAT(warnings, ElementsAre(HasSubstr("tag 700")));
    EXPECT_EQ(std::get<2>(kept.at({0, 34377})), photoshop);
    EXPECT_EQ(std::get<2>(kept.at({0, 33432})), cstr("mine"));
    EXPECT_LT(blob.size(), kMaxCarriedTagBytes + 1024);
}

// Blobs written by hand, to the encoding's rules or just off them.
struct Blob {
    std::vector<uint8_t> b = bytes("KTAG") + std::vector<uint8_t>{1, 1};
    Blob& directory(int kind, int entries) { return add(number(kind, 1) + number(entries, 2)); }
    Blob& entry(int tag, int type, uint32_t count, const std::vector<uint8_t>& value) {
        return add(number(tag, 2) + number(type, 2) + number(count, 4) + value);
    }
    Blob& add(const std::vector<uint8_t>& more) { return b = b + more, *this; }
    Blob& set(std::size_t at, uint8_t v) { return b[at] = v, *this; }
};

TEST(CarriedTagBlobs, OnlyWellFormedBlobsOfCarriableTagsAreAccepted) {
    const std::vector<uint8_t> six = {6, 0};
    EXPECT_THAT(decodeCarriedTags({}), ElementsAre());
    const std::vector<uint8_t> good = Blob().directory(0, 2).entry(274, 3, 1, six).entry(65000, 5, 1, noise(8, 5)).b;
    ASSERT_EQ(decodeCarriedTags(good).size(), 2u);
    const Blob exif = Blob().set(5, 2).directory(0, 1).entry(274, 3, 1, six).directory(1, 1);
    EXPECT_EQ(errorText([&] { checkCarriedTags(Blob(exif).entry(256, 3, 1, six).b); }), "accepted");  // not structural there

    const std::pair<const char*, std::vector<uint8_t>> bad[] = {
        {"magic", Blob().set(0, 'X').directory(0, 1).entry(274, 3, 1, six).b},
        {"version", Blob().set(4, 2).directory(0, 1).entry(274, 3, 1, six).b},
        {"no directory", Blob().set(5, 0).b},
        {"five directories", Blob().set(5, 5).directory(0, 1).entry(274, 3, 1, six).b},
        {"unknown kind", Blob().directory(4, 1).entry(274, 3, 1, six).b},
        {"kinds out of order", Blob(exif).set(6, 1).set(19, 0).entry(274, 3, 1, six).b},
        {"empty directory", Blob().directory(0, 0).b},
        {"tags out of order", Blob().directory(0, 2).entry(274, 3, 1, six).entry(270, 2, 1, {0}).b},
        {"repeated tag", Blob().directory(0, 2).entry(274, 3, 1, six).entry(274, 3, 1, six).b},
        {"type 0", Blob().directory(0, 1).entry(274, 0, 1, six).b},
        {"IFD type", Blob().directory(0, 1).entry(65000, 13, 1, noise(4, 6)).b},
        {"LONG8 type", Blob().directory(0, 1).entry(65000, 16, 1, noise(8, 6)).b},
        {"no value", Blob().directory(0, 1).entry(274, 3, 0, {}).b},
        {"value past the end", Blob().directory(0, 1).entry(65000, 12, 0xFFFFFFFF, noise(16, 7)).b},
        {"structural tag", Blob().directory(0, 1).entry(273, 4, 1, noise(4, 8)).b},
        {"Exif pointer", Blob().directory(0, 1).entry(34665, 4, 1, noise(4, 8)).b},
        {"Interoperability pointer", Blob().directory(1, 1).entry(40965, 4, 1, noise(4, 8)).b},
        {"8-bit transfer function", Blob().directory(0, 1).entry(301, 3, 768, noise(1536, 9)).b},
        {"trailing byte", Blob().directory(0, 1).entry(274, 3, 1, six).add({0}).b},
        {"more entries than bytes", Blob().directory(0, 0xFFFF).entry(274, 3, 1, six).b},
    };
    for (const auto& [what, blob] : bad) {
        EXPECT_EQ(errorText([&] { checkCarriedTags(blob); }), kDamagedFileText) << what;
        std::vector<std::string> warnings;
        EXPECT_EQ(errorText([&] { appendCarriedTags(nullptr, blob, warnings); }), kDamagedFileText) << what;
    }
}

// Little-endian classic TIFF surgery: directories appended and entries pointed elsewhere.
uint32_t appendDirectory(std::vector<uint8_t>& f, const std::vector<std::array<uint32_t, 4>>& entries) {
    f.resize(f.size() + (f.size() & 1));
    const auto at = uint32_t(f.size());
    f = f + number(entries.size(), 2);
    for (const auto& [tag, type, count, value] : entries) f = f + number(tag, 2) + number(type, 2) + number(count, 4) + number(value, 4);
    f = f + number(0, 4);
    return at;
}
void pointEntry(std::vector<uint8_t>& f, uint32_t dir, uint16_t tag, uint32_t to) {
    for (uint32_t i = 0, n = f[dir] | f[dir + 1] << 8; i < n; ++i)
        if (std::size_t e = dir + 2 + 12 * i; (f[e] | f[e + 1] << 8) == tag) {
            const std::vector<uint8_t> v = number(to, 4);
            std::copy(v.begin(), v.end(), f.begin() + e + 8);
            return;
        }
    ADD_FAILURE() << "no tag " << tag;
}
std::vector<std::array<uint32_t, 4>> byteEntries(uint32_t n) {
    std::vector<std::array<uint32_t, 4>> e;
    for (uint32_t i = 0; i < n; ++i) e.push_back({1000 + i, 1, 1, i & 0xFF});
    return e;
}
std::set<int> directoriesOf(std::span<const uint8_t> blob) {
    std::set<int> kinds;
    for (const CarriedTag& t : decodeCarriedTags(blob)) kinds.insert(int(t.directory));
    return kinds;
}

// A directory that points back to one already read would come back as a stale copy of it; one of more entries than
// libtiff reads would make the expanded TIFF unreadable: both are left out with a warning.
TEST_F(CarriedTags, DirectoriesThatLibtiffCannotReadBackAreLeftOutWhenCaptured) {
    writePhoto(path("photo.tif"), "w");
    const std::vector<uint8_t> photo = readFile(path("photo.tif"));
    const auto main = uint32_t(getLe(photo, 4, 4));
    const std::function<void(std::vector<uint8_t>&)> forgeries[] = {
        [&](std::vector<uint8_t>& f) { pointEntry(f, main, 34665, main); },
        [&](std::vector<uint8_t>& f) {
            pointEntry(f, main, 34665, appendDirectory(f, {{36864, 7, 4, 0x31333230}, {40965, 4, 1, main}}));
        },
        [&](std::vector<uint8_t>& f) { pointEntry(f, main, 34665, appendDirectory(f, byteEntries(4100))); },
    };
    for (std::size_t i = 0; i < std::size(forgeries); ++i) {
        std::vector<uint8_t> f = photo;
        forgeries[i](f);
        writeFile(path("forged.tif"), f);
        std::vector<std::string> warnings;
        const std::vector<uint8_t> blob = carriedTagsOf(path("forged.tif"), &warnings);
        // The image and GPS directories as they were; an Exif directory only with its own one entry.
        const TagValues values = valuesOf(blob);
        EXPECT_EQ(directoriesOf(blob), (i == 1 ? std::set<int>{0, 1, 2} : std::set<int>{0, 2})) << i;
        EXPECT_EQ(std::ranges::count_if(keysOf(values), [](auto k) { return k.first == 1; }), i == 1 ? 1 : 0) << i;
        EXPECT_THAT(warnings, Contains(AnyOf(HasSubstr("points back"), HasSubstr("4100 entries")))) << i;
    }
}

// A container carrying such a directory (forged, or from before the limit) still expands to a TIFF that libtiff
// reads whole, the directory left out with a warning.
TEST_F(CarriedTags, OversizedCarriedDirectoriesNeverMakeAnUnreadableTiff) {
    const auto blobOf = [](int kind, uint32_t n) {
        Blob b = Blob().directory(kind, int(n));
        for (const auto& [tag, type, count, value] : byteEntries(n)) b.entry(int(tag), int(type), count, {uint8_t(value)});
        return b.b;
    };
    for (const auto& [kind, n] : {std::pair{0, 4100u}, {0, 4090u}, {1, 4100u}, {3, 4100u}}) {
        SCOPED_TRACE(std::to_string(kind) + " " + std::to_string(n));
        const std::vector<std::string> warnings = writeExpanded(path("out.tif"), blobOf(kind, n));
        EXPECT_THAT(warnings, Contains(HasSubstr("4096")));
        TIFF* tif = TIFFOpen(path("out.tif").c_str(), "r");
        ASSERT_NE(tif, nullptr);
        uint64_t exif = 0;
        if (TIFFGetField(tif, TIFFTAG_EXIFIFD, &exif) == 1) {
            EXPECT_EQ(TIFFReadEXIFDirectory(tif, exif), 1);
        }
        TIFFClose(tif);
        Opened back = openTiff(path("out.tif"));
        ASSERT_TRUE(back.tif);
        EXPECT_EQ(unreadableSubDirectory(back.tif.get()), "");
    }
}

}  // namespace
