#include "container/rpx_container.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>
#include <system_error>

#include "codec/stream_syntax.h"
#include "container/input_file.h"
#include "container/messages.h"
#include "kirune/Error.h"
#include "kirune/Parallel.h"
#include "lossless/block_sort_coder.h"

namespace kirune {

StripSection::StripSection() : coders(std::make_shared<BlockSortWorkspaces>()) {}

std::size_t StripSection::size() const {
    std::size_t n = kStreamTableBytes;
    for (const auto& r : recorded) n += r.size();
    return n;
}

namespace {

// Streams 4 and 5 (indexBitsLow, indexBitsHigh) are stored as they are.
bool storedVerbatim(int stream) { return stream == StreamIndexBitsLow || stream == StreamIndexBitsHigh; }
bool bitPacked(int stream) {
    return stream == StreamDcSignBits || stream == StreamHeaderBits || stream == StreamIndexBitsLow ||
           stream == StreamIndexBitsHigh;
}

void putU16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void putU32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void putF32(std::vector<uint8_t>& b, float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    putU32(b, v);
}
uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t getU32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
float getF32(const uint8_t* p) {
    const uint32_t v = getU32(p);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}

// A text's bytes up to its first NUL (all of them when it has none).
std::string textUpToNul(const uint8_t* p, std::size_t n) {
    const void* nul = std::memchr(p, 0, n);
    return std::string(reinterpret_cast<const char*>(p),
                       nul ? static_cast<const uint8_t*>(nul) - p : n);
}

std::array<const std::optional<std::string>*, 5> carriedTexts(const ImageMetadata& m) {
    return {&m.make, &m.model, &m.software, &m.dateTime, &m.artist};
}
std::array<std::optional<std::string>*, 5> carriedTexts(ImageMetadata& m) {
    return {&m.make, &m.model, &m.software, &m.dateTime, &m.artist};
}

[[noreturn]] void damagedHeader(const std::string& what) { throw Error(UserMessage{kDamagedHeaderText, {what}}); }

}  // namespace

std::vector<uint8_t> encodeContainerHeader(const FileCoding& c, const ImageMetadata& meta) {
    std::vector<uint8_t> b;
    for (char c : std::string_view(kContainerMagic)) b.push_back(static_cast<uint8_t>(c) ^ kMagicXor);
    b.push_back(0);
    for (char c : std::string_view(kContainerVersion)) b.push_back(static_cast<uint8_t>(c + 1));
    b.push_back(0);
    putU32(b, static_cast<uint32_t>(c.layout.width));
    putU32(b, static_cast<uint32_t>(c.layout.height));
    putU32(b, static_cast<uint32_t>(c.quality.qualityLevel));
    putU32(b, static_cast<uint32_t>(c.colourSampling));
    putU32(b, static_cast<uint32_t>(c.layout.stripBudgetLog2));
    putU32(b, kDescriptionBytes);

    // The text up to its NUL, at most 31 bytes so that a NUL always follows;
    // a byte equal to the XOR value becomes 0 and ends the text for a reader.
    uint8_t description[kDescriptionBytes] = {};
    const std::string text = textUpToNul(reinterpret_cast<const uint8_t*>(meta.description.data()),
                                         meta.description.size());
    const std::size_t n = std::min<std::size_t>(text.size(), kDescriptionBytes - 1);
    for (std::size_t i = 0; i < n; ++i) description[i] = static_cast<uint8_t>(text[i]) ^ kDescriptionXor;
    b.insert(b.end(), description, description + kDescriptionBytes);

    putU16(b, meta.resolutionUnit);
    putF32(b, meta.xResolution);
    putF32(b, meta.yResolution);
    if (meta.iccProfile.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        throw Error("ICC profile of " + std::to_string(meta.iccProfile.size()) + " bytes is too large");
    putU32(b, static_cast<uint32_t>(meta.iccProfile.size()));
    b.insert(b.end(), meta.iccProfile.begin(), meta.iccProfile.end());

    for (const std::optional<std::string>* t : carriedTexts(meta)) {
        if (!*t) {
            putU32(b, 0);
            continue;
        }
        const std::string value = textUpToNul(reinterpret_cast<const uint8_t*>((*t)->data()), (*t)->size());
        putU32(b, static_cast<uint32_t>(value.size() + 1));
        b.insert(b.end(), value.begin(), value.end());
        b.push_back(0);
    }
    return b;
}

// ---- writing ----------------------------------------------------------------

void ContainerWriter::commit() {
    // A stored stream never leaves more than its raw bytes, but cutting the
    // file at the end of the last strip keeps that true whatever happened.
    out_.truncate(end_);
    out_.commit();
}

void ContainerWriter::append(std::span<const std::span<const uint8_t>> parts) {
    std::FILE* f = out_.stream();
    if (fseeko(f, end_, SEEK_SET) != 0) out_.fail(kCannotWriteOutputText, errno);
    for (const auto& bytes : parts) {
        if (bytes.empty()) continue;
        if (std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) out_.fail(kCannotWriteOutputText, errno);
        out_.checkStream();
        written_.add(bytes.data(), bytes.size());
        end_ += static_cast<int64_t>(bytes.size());
    }
}

void writeContainerHeader(ContainerWriter& out, const FileCoding& c, const ImageMetadata& meta) {
    if (out.end_ != 0) throw Error("the container header is written first, once");
    out.append(encodeContainerHeader(c, meta));
}

void appendTrailer(ContainerWriter& out, Trailer trailer) {
    trailer.container = out.written_.digest();  // taken before the trailer's own bytes
    out.append(encodeTrailer(trailer));
}

namespace {

// A section holding just its stream table, in the file's byte order.
void beginSection(StripSection& sec, const StreamTable& table) {
    sec.table = table;
    sec.bytes.resize(kStreamTableBytes);
    for (std::size_t i = 0; i < table.size(); ++i)
        for (int k = 0; k < 4; ++k) {
            sec.bytes[8 * i + k] = static_cast<uint8_t>(table[i].rawLength >> (8 * k));
            sec.bytes[8 * i + 4 + k] = static_cast<uint8_t>(table[i].recordedSize >> (8 * k));
        }
}

}  // namespace

void encodeStripSection(const SideStreams& st, StripSection& sec, int threads, const std::function<void()>& alongside) {
    auto& coded = sec.coded;
    StreamTable table{};
    for (int i = 0; i < kStreamCount; ++i)
        if (st.rawLength[i] > streamBuffer(st, i).size())
            throw Error("stream " + std::to_string(i + 1) + " claims " + std::to_string(st.rawLength[i]) +
                        " bytes, beyond its buffer");
    parallelFor(kStreamCount + (alongside ? 1 : 0), threads, [&](int i) {
        if (i == kStreamCount) return alongside();
        const uint32_t raw = st.rawLength[i];
        uint32_t recorded = raw;
        if (!storedVerbatim(i)) {
            BlockSortWorkspaces::Lease work = sec.coders->take();
            recorded = blockSortCompress({streamBuffer(st, i).data(), raw}, coded[static_cast<std::size_t>(i)], *work);
            if (recorded > raw)
                throw Error("block-sorting coder recorded " + std::to_string(recorded) + " bytes for " +
                            std::to_string(raw));
        }
        if (recorded == raw) coded[static_cast<std::size_t>(i)].clear();  // stored: the raw bytes themselves
        table[static_cast<std::size_t>(i)] = {raw, recorded};
    });

    beginSection(sec, table);
    for (int i = 0; i < kStreamCount; ++i) {
        const auto u = static_cast<std::size_t>(i);
        sec.recorded[u] = table[u].recordedSize == table[u].rawLength
                              ? std::span<const uint8_t>(streamBuffer(st, i).data(), table[u].rawLength)
                              : std::span<const uint8_t>(coded[u]);
    }
}

void appendStripSection(ContainerWriter& out, const StripSection& sec) {
    if (sec.bytes.size() < kStreamTableBytes) throw Error("a strip section is written before it is coded");
    std::array<std::span<const uint8_t>, kStreamCount + 1> parts;
    parts[0] = {sec.bytes.data(), kStreamTableBytes};
    std::copy(sec.recorded.begin(), sec.recorded.end(), parts.begin() + 1);
    out.append(parts);
    out.out_.startWriteback();
}

StreamTable encodeAndAppendStripSection(ContainerWriter& out, const SideStreams& st) {
    StripSection sec;
    encodeStripSection(st, sec);
    appendStripSection(out, sec);
    return sec.table;
}

// ---- reading ----------------------------------------------------------------

ContainerReader::ContainerReader(const std::string& path) : path_(path) {
    struct stat st {};
    UniqueFd fd = openRegularFile(path, st);
    file_ = ::fdopen(fd.get(), "rb");
    if (!file_)
        throw Error(kCannotOpenInputText, systemReason(errno));
    fd.release();
    status_ = st;
    size_ = static_cast<int64_t>(st.st_size);
}

ContainerReader::~ContainerReader() {
    if (file_) std::fclose(file_);
}

void ContainerReader::read(void* dst, std::size_t n, const char* failText) {
    if (static_cast<uint64_t>(remaining()) < n) throw Error(failText);
    if (n && std::fread(dst, 1, n, file_) != n) throw Error(failText);
    pos_ += static_cast<int64_t>(n);
}

void ContainerReader::skip(uint64_t n, const char* failText) {
    if (static_cast<uint64_t>(remaining()) < n) throw Error(failText);
    uint8_t scratch[4096];
    while (n) {
        const std::size_t k = static_cast<std::size_t>(std::min<uint64_t>(n, sizeof scratch));
        read(scratch, k, failText);
        n -= k;
    }
}

void ContainerReader::truncatedInStrip() const {
    throw Error(UserMessage{kTruncatedStripText, {std::to_string(stripsBegun_), std::to_string(stripCount_)}});
}

void ContainerReader::syncPosition(const char* failText) {
    const int64_t p = ftello(file_);
    if (p < pos_ || p > size_) throw Error(failText);
    pos_ = p;
}

// The header's length-prefixed texts (make, model, ...) into `meta`.
static void readHeaderTexts(ContainerReader& in, ImageMetadata& meta) {
    for (std::optional<std::string>* t : carriedTexts(meta)) {
        uint8_t lengthBytes[4];
        in.read(lengthBytes, 4, kTruncatedHeaderText);
        const uint32_t n = getU32(lengthBytes);
        if (n == 0) {
            t->reset();
            continue;
        }
        if (n > static_cast<uint64_t>(in.remaining())) throw Error(kTruncatedHeaderText);
        std::vector<uint8_t> bytes(n);
        in.read(bytes.data(), n, kTruncatedHeaderText);
        *t = textUpToNul(bytes.data(), n);
    }
}

FileCoding readContainerHeader(ContainerReader& in, ImageMetadata& meta) {
    uint8_t magic[4];
    in.read(magic, 4, kBadMagicText);  // too short to be one
    for (int i = 0; i < 3; ++i) magic[i] ^= kMagicXor;
    if (std::memcmp(magic, kContainerMagic, 4) != 0) throw Error(kBadMagicText);  // compares the NUL too
    uint8_t version[6];
    in.read(version, 6, kTruncatedHeaderText);
    for (int i = 0; i < 5; ++i) version[i] = static_cast<uint8_t>(version[i] - 1);
    if (std::memcmp(version, kContainerVersion, 6) != 0) throw Error(kUnsupportedVersionText);

    uint8_t fields[24];
    in.read(fields, sizeof fields, kTruncatedHeaderText);
    const uint32_t width = getU32(fields);
    const uint32_t height = getU32(fields + 4);
    const auto level = static_cast<int32_t>(getU32(fields + 8));
    const auto sampling = static_cast<int32_t>(getU32(fields + 12));
    const auto budgetLog2 = static_cast<int32_t>(getU32(fields + 16));
    const auto descriptionLength = static_cast<int32_t>(getU32(fields + 20));

    const auto maxDimension = static_cast<uint32_t>(std::numeric_limits<int32_t>::max());
    if (width < 1 || height < 1 || width > maxDimension || height > maxDimension)
        damagedHeader("image size " + std::to_string(width) + " x " + std::to_string(height));
    // Levels beyond kMaxQualityLevel would overflow the limit K * 256.
    if (level < 1 || level > kMaxQualityLevel) damagedHeader("quality level " + std::to_string(level));
    if (sampling != Sampling420 && sampling != Sampling422 && sampling != Sampling444)
        damagedHeader("colour sampling " + std::to_string(sampling));
    // This system only writes kStripBudgetLog2; larger budgets would make a strip's buffers
    // grow beyond what the expansion is meant to need.
    if (budgetLog2 < kMinStripBudgetLog2 || budgetLog2 > kStripBudgetLog2)
        damagedHeader("strip budget 2^" + std::to_string(budgetLog2));
    if (descriptionLength < 0) damagedHeader("description length " + std::to_string(descriptionLength));
    // A length beyond the file's end is most likely a file cut short.
    if (descriptionLength > in.remaining()) throw Error(kTruncatedHeaderText);

    std::vector<uint8_t> description(static_cast<std::size_t>(descriptionLength));
    in.read(description.data(), description.size(), kTruncatedHeaderText);
    std::size_t textLength = 0;
    while (textLength < description.size() && description[textLength] != 0)
        description[textLength++] ^= kDescriptionXor;
    meta.description.assign(reinterpret_cast<const char*>(description.data()), textLength);

    uint8_t resolution[14];
    in.read(resolution, sizeof resolution, kTruncatedHeaderText);
    meta.resolutionUnit = getU16(resolution);
    meta.xResolution = getF32(resolution + 2);
    meta.yResolution = getF32(resolution + 6);
    const auto iccLength = static_cast<int32_t>(getU32(resolution + 10));
    if (iccLength < 0) damagedHeader("ICC profile length " + std::to_string(iccLength));
    if (iccLength > in.remaining()) throw Error(kTruncatedHeaderText);
    meta.iccProfile.assign(static_cast<std::size_t>(iccLength), 0);
    in.read(meta.iccProfile.data(), meta.iccProfile.size(), kTruncatedHeaderText);

    readHeaderTexts(in, meta);

    FileCoding c;
    c.quality = codecParams(level);
    c.colourSampling = sampling;
    try {
        c.layout = computeStripLayout(static_cast<int32_t>(width), static_cast<int32_t>(height), budgetLog2);
    } catch (const Error& e) {
        damagedHeader(e.what());  // a width beyond the strip budget, or a height beyond 32 bits
    }
    // Every strip needs at least its table: a size the file cannot hold is
    // refused before any strip buffer is allocated for it.
    if (int64_t{c.layout.stripCount} * kStreamTableBytes > in.remaining())
        throw Error(kTooShortForStripsText);
    in.expectStrips(c.layout.stripCount);
    return c;
}

void checkContainerChecksum(const OpenedContainer& c) {
    if (c.trailer && c.trailer->container &&
        checksumOfFile(c.reader->fd(), c.trailer->offset) != *c.trailer->container)
        throwDamaged("container checksum does not match");
}

OpenedContainer openContainer(const std::string& path) {
    OpenedContainer c;
    c.reader = std::make_unique<ContainerReader>(path);
    ContainerReader& in = *c.reader;
    c.coding = readContainerHeader(in, c.meta);
    c.trailer = readTrailer(in.fd(), in.size());
    if (c.trailer) {
        in.setEnd(c.trailer->offset);
        c.meta.carriedTags = c.trailer->carriedTags;
        c.meta.pngChunks = c.trailer->pngChunks;
        if (c.trailer->grey) {
            const bool eight = c.trailer->source && c.trailer->source->bitsPerSample == 8;
            c.meta.grey = GreyFormat{c.trailer->grey->photometric, static_cast<uint8_t>(eight ? 8 : 16)};
        }
    }
    return c;
}

namespace {

// Reads the streams behind a section's table onto `bytes` and notes where
// each starts; their framing tells how long each is. The read takes what the
// longest framing of the table's lengths could need, never more than the file
// has left, and then steps back to where the last stream ends.
void readSectionStreams(ContainerReader& in, const StreamTable& table, std::vector<uint8_t>& bytes,
                        std::array<std::size_t, kStreamCount + 1>& offset) {
    uint64_t limit = 0;
    for (const StreamEntry& e : table) limit += blockSortFootprintLimit(e.recordedSize, e.rawLength);
    const int64_t start = in.position();
    const auto room = static_cast<std::size_t>(std::min(limit, static_cast<uint64_t>(in.remaining())));
    const std::size_t first = bytes.size();
    bytes.resize(first + room);
    if (room && std::fread(bytes.data() + first, 1, room, in.stream()) != room) throwDamaged();
    std::size_t end = first;
    for (std::size_t i = 0; i < table.size(); ++i) {
        offset[i] = end;
        end += blockSortFootprint(std::span<const uint8_t>(bytes).subspan(end), table[i].recordedSize,
                                  table[i].rawLength);
    }
    offset[table.size()] = end;
    bytes.resize(end);
    if (fseeko(in.stream(), static_cast<off_t>(start + static_cast<int64_t>(end - first)), SEEK_SET) != 0)
        throwDamaged();
    in.syncPosition(kDamagedFileText);
}

// `st`, when given, bounds each raw length by its stream buffer; damage found
// so is told apart from a file that ends before the streams' bytes.
StreamTable readStreamTable(ContainerReader& in, const SideStreams* st) {
    uint8_t bytes[kStreamTableBytes];
    in.beginStrip();
    if (in.remaining() < kStreamTableBytes) in.truncatedInStrip();
    in.read(bytes, sizeof bytes, kDamagedFileText);
    StreamTable table{};
    uint64_t footprint = 0;
    for (std::size_t i = 0; i < table.size(); ++i) {
        table[i] = {getU32(bytes + 8 * i), getU32(bytes + 8 * i + 4)};
        // A coded stream is shorter than its raw bytes and carries at least
        // the factor byte and one block header besides its payload.
        if (table[i].recordedSize > table[i].rawLength) throwDamaged();
        // The decoder's 16-bit window reads one byte past the data.
        const uint32_t raw = table[i].rawLength;
        if (st && raw > 0 && raw >= streamBuffer(*st, static_cast<int>(i)).size()) throwDamaged();
        footprint += table[i].recordedSize == table[i].rawLength ? table[i].rawLength
                                                                 : uint64_t{table[i].recordedSize} + 7;
    }
    if (footprint > static_cast<uint64_t>(in.remaining())) in.truncatedInStrip();
    return table;
}

}  // namespace

void readStripSection(ContainerReader& in, const SideStreams& st, StripSection& sec) {
    const int64_t start = in.position();
    sec.table = readStreamTable(in, &st);
    beginSection(sec, sec.table);
    readSectionStreams(in, sec.table, sec.bytes, sec.offset);
    if (in.position() - start != static_cast<int64_t>(sec.bytes.size())) throwDamaged();
    for (std::size_t u = 0; u < kStreamCount; ++u)
        sec.recorded[u] = {sec.bytes.data() + sec.offset[u], sec.offset[u + 1] - sec.offset[u]};
}

void expandStripSection(const StripSection& sec, SideStreams& st, int threads) {
    for (int i = 0; i < kStreamCount; ++i) {
        const uint32_t raw = sec.table[static_cast<std::size_t>(i)].rawLength;
        if (raw > 0 && raw >= streamBuffer(st, i).size()) throwDamaged();
    }
    parallelFor(kStreamCount, threads, [&](int i) {
        const auto u = static_cast<std::size_t>(i);
        const StreamEntry e = sec.table[u];
        const uint8_t* data = sec.bytes.data() + sec.offset[u];
        const std::size_t n = sec.offset[u + 1] - sec.offset[u];
        StreamBuffer& buf = streamBuffer(st, i);
        BlockSortWorkspaces::Lease work = sec.coders->take();
        if (blockSortExpand({data, n}, e.recordedSize, {buf.data(), e.rawLength}, *work) != n) throwDamaged();
        if (bitPacked(i) && e.rawLength < buf.size()) buf[e.rawLength] = 0;
    });
    for (int i = 0; i < kStreamCount; ++i) st.rawLength[i] = sec.table[static_cast<std::size_t>(i)].rawLength;
}

StreamTable readAndExpandStripSection(ContainerReader& in, SideStreams& st) {
    StripSection sec;
    readStripSection(in, st, sec);
    expandStripSection(sec, st);
    return sec.table;
}

StreamTable skipStripSection(ContainerReader& in) {
    const StreamTable table = readStreamTable(in, nullptr);
    std::vector<uint8_t> bytes;
    std::array<std::size_t, kStreamCount + 1> offset{};
    readSectionStreams(in, table, bytes, offset);
    return table;
}

}  // namespace kirune
