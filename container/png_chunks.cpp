#include "container/png_chunks.h"

#include <cstring>

#include "container/messages.h"
#include "kirune/Error.h"

namespace kirune {

namespace {

constexpr uint8_t kVersion = 1;
constexpr uint8_t kColourVersion = 2;

void put(std::vector<uint8_t>& b, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void putBytes(std::vector<uint8_t>& b, const void* data, std::size_t n) {
    put(b, n, 4);
    const auto* p = static_cast<const uint8_t*>(data);
    b.insert(b.end(), p, p + n);
}

[[noreturn]] void damaged(const char* what) { throwDamaged(std::string("PNG chunks record: ") + what); }

// Reads forward through the record, never past its end.
struct Reader {
    std::span<const uint8_t> b;
    std::size_t at = 0;
    uint64_t number(int bytes) {
        if (b.size() - at < static_cast<std::size_t>(bytes)) damaged("it ends early");
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= uint64_t{b[at + i]} << (8 * i);
        at += bytes;
        return v;
    }
    std::span<const uint8_t> bytes() {
        const uint64_t n = number(4);
        if (b.size() - at < n) damaged("a length overruns it");
        const std::span<const uint8_t> s = b.subspan(at, n);
        at += n;
        return s;
    }
    std::string text() {
        const std::span<const uint8_t> s = bytes();
        return {s.begin(), s.end()};
    }
};

}  // namespace

std::vector<uint8_t> encodePngChunks(const PngChunks& c) {
    if (c.empty()) return {};
    // Version 1 unless there is more to say, so that what it held keeps its bytes.
    std::vector<uint8_t> b = {'K', 'P', 'N', 'G', c.colour.empty() ? kVersion : kColourVersion};
    putBytes(b, c.exif.data(), c.exif.size());
    put(b, c.texts.size(), 4);
    for (const PngText& t : c.texts) {
        b.push_back(t.kind);
        for (const std::string* s : {&t.keyword, &t.language, &t.translatedKeyword, &t.text})
            putBytes(b, s->data(), s->size());
    }
    if (c.colour.empty()) return b;
    put(b, c.colour.size(), 4);
    for (const PngColourChunk& k : c.colour) {
        b.insert(b.end(), k.type.begin(), k.type.end());
        putBytes(b, k.data.data(), k.data.size());
    }
    return b;
}

PngChunks decodePngChunks(std::span<const uint8_t> bytes) {
    PngChunks c;
    if (bytes.empty()) return c;
    Reader r{bytes};
    if (bytes.size() < 5 || std::memcmp(bytes.data(), "KPNG", 4) != 0) damaged("bad magic");
    r.at = 4;
    const uint64_t version = r.number(1);
    if (version != kVersion && version != kColourVersion) damaged("unknown version");
    const std::span<const uint8_t> exif = r.bytes();
    c.exif.assign(exif.begin(), exif.end());
    const uint64_t count = r.number(4);
    // Each text takes at least 17 bytes: a bound before anything is reserved.
    if (count > (bytes.size() - r.at) / 17) damaged("more texts than bytes");
    for (uint64_t i = 0; i < count; ++i) {
        PngText t;
        t.kind = static_cast<uint8_t>(r.number(1));
        if (t.kind > 3) damaged("unknown text kind");
        t.keyword = r.text();
        t.language = r.text();
        t.translatedKeyword = r.text();
        t.text = r.text();
        if (t.keyword.empty() || t.keyword.size() > 79) damaged("a keyword is empty or too long");
        c.texts.push_back(std::move(t));
    }
    if (version == kColourVersion) {
        const uint64_t chunks = r.number(4);
        if (chunks == 0 || chunks > 4) damaged("a colour chunk count out of range");
        for (uint64_t i = 0; i < chunks; ++i) {
            PngColourChunk k;
            for (int j = 0; j < 4; ++j) k.type.push_back(static_cast<char>(r.number(1)));
            const std::span<const uint8_t> data = r.bytes();
            k.data.assign(data.begin(), data.end());
            if (!isCarriedColourChunk(k.type, k.data.size())) damaged("a colour chunk of the wrong type or size");
            c.colour.push_back(std::move(k));
        }
    }
    if (r.at != bytes.size()) damaged("bytes after its end");
    return c;
}

bool isCarriedColourChunk(const std::string& type, std::size_t size) {
    return (type == "gAMA" && size == 4) || (type == "cHRM" && size == 32) || (type == "sRGB" && size == 1) ||
           (type == "bKGD" && (size == 2 || size == 6));
}

std::vector<uint8_t> xmpAsCarriedTags(const PngChunks& c) {
    for (const PngText& t : c.texts) {
        if (t.keyword != kXmpKeyword || t.kind < 2 || t.text.empty()) continue;
        // One image directory with one entry: XMLPacket, BYTE x length.
        std::vector<uint8_t> b = {'K', 'T', 'A', 'G', 1, 1, 0};
        put(b, 1, 2);
        put(b, 700, 2);
        put(b, 1, 2);
        put(b, t.text.size(), 4);
        b.insert(b.end(), t.text.begin(), t.text.end());
        return b;
    }
    return {};
}

}  // namespace kirune
