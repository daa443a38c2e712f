#include "container/trailer.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include <xxhash.h>

#include "codec/codec_state.h"
#include "container/png_chunks.h"
#include "kirune/Error.h"

namespace kirune {

namespace {

constexpr char kHeadMagic[4] = {'R', 'P', 'X', 'T'};
constexpr char kFootMagic[8] = {'R', 'P', 'X', 'T', 'R', 'A', 'I', 'L'};
constexpr int kHeadBytes = 8;
constexpr int kRecordHeadBytes = 8;
constexpr std::size_t kNameRecordTimeBytes = 12;

void put(std::vector<uint8_t>& b, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint64_t get(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t{p[i]} << (8 * i);
    return v;
}

[[noreturn]] void damaged(const char* why) { throwDamaged(std::string("trailer ") + why); }

Checksum128 toChecksum(XXH128_hash_t h) { return {h.low64, h.high64}; }

void putChecksum(std::vector<uint8_t>& b, const Checksum128& c) {
    put(b, c.low, 8);
    put(b, c.high, 8);
}
Checksum128 getChecksum(const uint8_t* p) { return {get(p, 8), get(p + 8, 8)}; }

void addRecord(std::vector<uint8_t>& b, TrailerRecord type, std::span<const uint8_t> bytes) {
    put(b, static_cast<uint16_t>(type), 2);
    put(b, 0, 2);
    put(b, bytes.size(), 4);
    b.insert(b.end(), bytes.begin(), bytes.end());
}

// Reads exactly n bytes at `offset`, or throws.
void readAt(int fd, void* dst, std::size_t n, int64_t offset) {
    auto* p = static_cast<uint8_t*>(dst);
    while (n > 0) {
        const ssize_t k = ::pread(fd, p, n, static_cast<off_t>(offset));
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) damaged("cannot be read");
        p += k, n -= static_cast<std::size_t>(k), offset += k;
    }
}

}  // namespace

std::string Checksum128::hex() const {
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(high),
                  static_cast<unsigned long long>(low));
    return text;
}

Checksummer::Checksummer() : state_(XXH3_createState()) {
    if (!state_) throw std::bad_alloc();
    XXH3_128bits_reset(state_);
}
Checksummer::~Checksummer() { XXH3_freeState(state_); }
void Checksummer::add(const void* data, std::size_t n) { XXH3_128bits_update(state_, data, n); }
Checksum128 Checksummer::digest() const { return toChecksum(XXH3_128bits_digest(state_)); }

std::vector<uint8_t> encodeTrailer(const Trailer& t) {
    std::vector<uint8_t> b(kHeadMagic, kHeadMagic + 4);
    put(b, kTrailerVersion, 2);
    const int count = int{t.container.has_value()} + int{t.pixels.has_value()} + int{!t.carriedTags.empty()} +
                      int{t.inputName.has_value()} + int{t.source.has_value()} + int{!t.pngChunks.empty()} +
                      int{t.grey.has_value()};
    put(b, static_cast<uint64_t>(count), 2);
    std::vector<uint8_t> sum;
    if (t.container) {
        putChecksum(sum, *t.container);
        addRecord(b, TrailerRecord::ContainerChecksum, sum);
    }
    if (t.pixels) {
        sum.clear();
        putChecksum(sum, *t.pixels);
        addRecord(b, TrailerRecord::PixelChecksum, sum);
    }
    if (!t.carriedTags.empty()) addRecord(b, TrailerRecord::CarriedTags, t.carriedTags);
    // Last, so that every record before it keeps its place and bytes.
    if (t.inputName) {
        std::vector<uint8_t> record;
        put(record, static_cast<uint64_t>(t.inputName->modifiedSeconds), 8);
        put(record, t.inputName->modifiedNanoseconds, 4);
        record.insert(record.end(), t.inputName->name.begin(), t.inputName->name.end());
        addRecord(b, TrailerRecord::InputName, record);
    }
    if (t.source) {
        const uint8_t record[] = {static_cast<uint8_t>(t.source->format), t.source->bitsPerSample};
        addRecord(b, TrailerRecord::SourceImage, record);
    }
    if (!t.pngChunks.empty()) addRecord(b, TrailerRecord::PngChunks, t.pngChunks);
    if (t.grey) {
        std::vector<uint8_t> record{t.grey->photometric};
        putChecksum(record, t.grey->pixels);
        addRecord(b, TrailerRecord::Greyscale, record);
    }
    const Checksum128 own = toChecksum(XXH3_128bits(b.data(), b.size()));
    put(b, b.size() + kTrailerFooterBytes, 8);
    putChecksum(b, own);
    b.insert(b.end(), kFootMagic, kFootMagic + 8);
    return b;
}

std::optional<Trailer> readTrailer(int fd, int64_t size) {
    if (size < kTrailerFooterBytes) return std::nullopt;
    uint8_t foot[kTrailerFooterBytes];
    readAt(fd, foot, sizeof foot, size - kTrailerFooterBytes);
    if (std::memcmp(foot + 24, kFootMagic, 8) != 0) return std::nullopt;
    const uint64_t length = get(foot, 8);
    if (length < kHeadBytes + kTrailerFooterBytes || length > static_cast<uint64_t>(kMaxTrailerBytes) ||
        length > static_cast<uint64_t>(size))
        damaged("length is impossible");
    Trailer t;
    t.offset = size - static_cast<int64_t>(length);
    std::vector<uint8_t> b(static_cast<std::size_t>(length) - kTrailerFooterBytes);
    readAt(fd, b.data(), b.size(), t.offset);
    if (toChecksum(XXH3_128bits(b.data(), b.size())) != getChecksum(foot + 8)) damaged("checksum does not match");
    if (std::memcmp(b.data(), kHeadMagic, 4) != 0) damaged("magic is wrong");
    if (get(b.data() + 4, 2) != kTrailerVersion) damaged("version is unknown");
    const auto count = static_cast<std::size_t>(get(b.data() + 6, 2));
    std::size_t at = kHeadBytes;
    for (std::size_t i = 0; i < count; ++i) {
        if (b.size() - at < kRecordHeadBytes) damaged("records overrun it");
        const auto type = static_cast<uint16_t>(get(&b[at], 2));
        const auto length32 = static_cast<uint32_t>(get(&b[at + 4], 4));
        at += kRecordHeadBytes;
        if (b.size() - at < length32) damaged("records overrun it");
        const std::span<const uint8_t> bytes(&b[at], length32);
        at += length32;
        t.records.push_back({type, length32});
        switch (static_cast<TrailerRecord>(type)) {
            case TrailerRecord::ContainerChecksum:
            case TrailerRecord::PixelChecksum: {
                if (bytes.size() != 16) damaged("checksum record has the wrong size");
                auto& slot = type == static_cast<uint16_t>(TrailerRecord::ContainerChecksum) ? t.container : t.pixels;
                if (slot) damaged("repeats a record");
                slot = getChecksum(bytes.data());
                break;
            }
            case TrailerRecord::CarriedTags:
                if (!t.carriedTags.empty() || bytes.empty()) damaged("metadata record is repeated or empty");
                t.carriedTags.assign(bytes.begin(), bytes.end());
                break;
            case TrailerRecord::InputName: {
                if (t.inputName) damaged("repeats a record");
                if (bytes.size() < kNameRecordTimeBytes) damaged("name record is too short");
                InputName n;
                n.modifiedSeconds = static_cast<int64_t>(get(bytes.data(), 8));
                n.modifiedNanoseconds = static_cast<uint32_t>(get(bytes.data() + 8, 4));
                if (n.modifiedNanoseconds >= 1'000'000'000u) damaged("name record's time is impossible");
                n.name.assign(bytes.begin() + kNameRecordTimeBytes, bytes.end());
                t.inputName = std::move(n);
                break;
            }
            case TrailerRecord::SourceImage:
                if (t.source) damaged("repeats a record");
                if (bytes.size() < 2) damaged("source record is too short");
                t.source = SourceImage{static_cast<SourceFormat>(bytes[0]), bytes[1]};
                break;
            case TrailerRecord::PngChunks:
                if (!t.pngChunks.empty() || bytes.empty()) damaged("PNG chunks record is repeated or empty");
                decodePngChunks(bytes);
                t.pngChunks.assign(bytes.begin(), bytes.end());
                break;
            case TrailerRecord::Greyscale:
                if (t.grey) damaged("repeats a record");
                if (bytes.size() != 17 || bytes[0] > 1) damaged("greyscale record is malformed");
                t.grey = GreySource{bytes[0], getChecksum(bytes.data() + 1)};
                break;
            default:
                break;  // a later version's record: listed, not used
        }
    }
    if (at != b.size()) damaged("records do not fill it");
    return t;
}

void addSamples(Checksummer& sum, const uint16_t* samples, std::size_t count) {
    if constexpr (std::endian::native == std::endian::little) {
        sum.add(samples, count * 2);
    } else {
        std::vector<uint16_t> swapped(samples, samples + count);
        for (uint16_t& v : swapped) v = static_cast<uint16_t>(v << 8 | v >> 8);
        sum.add(swapped.data(), count * 2);
    }
}

Checksum128 stripPixelChecksum(const ImageLayout& layout, int32_t stripIndex, const StripWork& w) {
    const StripGeometry g = beginStrip(layout, stripIndex);
    const int32_t B = layout.paddedWidth / 4;
    const auto blocks = static_cast<std::size_t>(B) * static_cast<std::size_t>(layout.stripHeight / 4);
    if (w.rPlane.size() < blocks || w.gPlane.size() < blocks || w.bPlane.size() < blocks || layout.width > layout.paddedWidth)
        throw Error("output planes are not allocated for this strip");
    const int32_t rows = g.imageRows;
    // A block row at a time: its four image rows are gathered in one pass
    // over the blocks, which the planes hold together, then summed in order.
    const std::size_t lineSamples = static_cast<std::size_t>(layout.width) * 3;
    std::vector<uint16_t> lines(lineSamples * 4);
    Checksummer sum;
    for (int32_t top = 0; top < rows; top += 4) {
        // Strip rows top..top+3 lie in buffer rows sh-1-top down to sh-4-top,
        // one block row, since the strip height is a multiple of 4.
        const int32_t yFirst = layout.stripHeight - 4 - top;
        const std::size_t rowStart = static_cast<std::size_t>(yFirst >> 2) * B;
        const BlockVec* R = w.rPlane.data() + rowStart;
        const BlockVec* G = w.gPlane.data() + rowStart;
        const BlockVec* Bl = w.bPlane.data() + rowStart;
        for (int32_t x = 0; x < layout.width; ++x) {
            const std::size_t b = static_cast<std::size_t>(x >> 2);
            for (int k = 0; k < 4; ++k) {  // strip row top + k is lane row 3 - k
                const int i = (3 - k) * 4 + (x & 3);
                uint16_t* out = &lines[lineSamples * k + 3 * static_cast<std::size_t>(x)];
                out[0] = static_cast<uint16_t>(R[b].lane[i]);
                out[1] = static_cast<uint16_t>(G[b].lane[i]);
                out[2] = static_cast<uint16_t>(Bl[b].lane[i]);
            }
        }
        const int32_t count = std::min(4, rows - top);
        addSamples(sum, lines.data(), lineSamples * static_cast<std::size_t>(count));
    }
    return sum.digest();
}

Checksum128 greyStripPlanes(const ImageLayout& layout, int32_t stripIndex, StripWork& w) {
    const StripGeometry g = beginStrip(layout, stripIndex);
    const int32_t B = layout.paddedWidth / 4;
    const auto blocks = static_cast<std::size_t>(B) * static_cast<std::size_t>(layout.stripHeight / 4);
    if (w.rPlane.size() < blocks || w.gPlane.size() < blocks || w.bPlane.size() < blocks || layout.width > layout.paddedWidth)
        throw Error("output planes are not allocated for this strip");
    std::vector<uint16_t> line(static_cast<std::size_t>(layout.width));
    Checksummer sum;
    for (int32_t r = 0; r < g.imageRows; ++r) {
        const int32_t y = layout.stripHeight - 1 - r;
        const std::size_t rowStart = static_cast<std::size_t>(y >> 2) * B;
        const int laneRow = (y & 3) * 4;
        for (int32_t x = 0; x < layout.width; ++x) {
            const std::size_t b = rowStart + static_cast<std::size_t>(x >> 2);
            const int i = laneRow + (x & 3);
            int16_t& R = w.rPlane[b].lane[i];
            int16_t& G = w.gPlane[b].lane[i];
            int16_t& Bl = w.bPlane[b].lane[i];
            const uint32_t total = uint32_t{static_cast<uint16_t>(R)} + static_cast<uint16_t>(G) + static_cast<uint16_t>(Bl);
            const auto grey = static_cast<uint16_t>((total + 1) / 3);
            R = G = Bl = static_cast<int16_t>(grey);
            line[static_cast<std::size_t>(x)] = grey;
        }
        addSamples(sum, line.data(), line.size());
    }
    return sum.digest();
}

Checksum128 pixelChecksum(const std::vector<Checksum128>& strips) {
    std::vector<uint8_t> b;
    for (const Checksum128& c : strips) putChecksum(b, c);
    return toChecksum(XXH3_128bits(b.data(), b.size()));
}

Checksum128 checksumOfFile(int fd, int64_t length) {
    Checksummer sum;
    std::vector<uint8_t> chunk(std::size_t{1} << 20);
    for (int64_t at = 0; at < length;) {
        const auto n = static_cast<std::size_t>(std::min<int64_t>(length - at, static_cast<int64_t>(chunk.size())));
        readAt(fd, chunk.data(), n, at);
        sum.add(chunk.data(), n);
        at += static_cast<int64_t>(n);
    }
    return sum.digest();
}

}  // namespace kirune
