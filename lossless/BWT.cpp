#include "lossless/BWT.h"

#include <algorithm>
#include <memory>
#include <new>

#include "kirune/Error.h"
#include "lossless/mem_func.h"
#include "lossless/messages.h"
#include "lossless/page_arena.h"
#include "lossless/range_coder.h"
#include "lossless/rle_mtf.h"
#include "lossless/rotation_sort.h"

namespace kirune {

namespace {

constexpr uint32_t kBlockHeaderBytes = 6;
constexpr uint32_t kMaxField24 = (1u << 24) - 1;

uint32_t blockSizeOf(uint32_t factor) { return factor << 19; }
// 1.25 x blockSize: the largest output of the first run-length stage, and the
// largest second run-length and payload buffers a decoder of the format holds.
uint32_t bufferSizeOf(uint32_t factor) { return (factor << 17) + (factor << 19); }

void putField24(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
}

uint32_t getField24(const uint8_t* p) {
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

[[noreturn]] void damaged() { throw Error(kDamagedFileText); }

// Places buffers one after another in a single arena, 64-byte aligned.
class Layout {
public:
    size_t add(size_t bytes) {
        const size_t at = size_;
        size_ += (bytes + 63) & ~size_t{63};
        return at;
    }
    size_t size() const { return size_; }

private:
    size_t size_ = 0;
};

// Working memory of one compression, sized for the largest block it will see.
// Buffers whose lives do not overlap share room: the second-stage output goes
// where the sorted text was, the payload where the last column was.
struct CompressBuffers {
    uint32_t cap1;  // first-stage output of a block
    PageArena arena;
    uint8_t* raw;     // one raw block
    uint8_t* text;    // first-stage output, doubled for the sort; then second-stage output
    uint8_t* column;  // last column; then the payload
    uint8_t* ranks;   // move-to-front output
    SortWorkspace sort;
    RangeModels models;

    explicit CompressBuffers(uint32_t rawBlock) : cap1(rle1EncodeBound(rawBlock)), sort(cap1) {
        Layout layout;
        const size_t atRaw = layout.add(rawBlock);
        const size_t atText = layout.add(2 * size_t{cap1});
        const size_t atColumn = layout.add(cap1);
        const size_t atRanks = layout.add(cap1);
        arena.reset(layout.size());
        raw = arena.data() + atRaw;
        text = arena.data() + atText;
        column = arena.data() + atColumn;
        ranks = arena.data() + atRanks;
    }
};

// Codes one raw block; returns the payload length, or 0 when the block cannot
// be kept as coded (payload over payloadLimit, or a stage output the format's
// fixed buffers could not hold).
uint32_t codeBlock(CompressBuffers& b, uint32_t n, uint32_t bufferSize, uint32_t payloadLimit,
                   uint32_t& primaryIndex) {
    const uint32_t len1 = rle1Encode(b.text, b.raw, n, kRle1Threshold);
    primaryIndex = twoStageSort(b.text, len1, b.column, b.sort, defaultCompareBudget(len1));
    mtfEncode(b.ranks, b.column, len1);
    uint8_t* packed = b.text;
    const uint32_t len2 = rle2Encode(packed, b.ranks, len1);
    if (len2 > bufferSize) return 0;
    const uint32_t limit = std::min({payloadLimit, bufferSize, b.cap1, kMaxField24});
    return rangeEncode(b.column, limit, packed, len2, b.models);
}

uint32_t bwtCompress(ByteStream& src, ByteStream& sink, uint32_t rawLength) {
    const long long inStart = src.streamTell();
    const uint32_t blockSize = blockSizeOf(kBwtBlockFactor);
    const uint32_t bufferSize = bufferSizeOf(kBwtBlockFactor);

    // The coded form is collected first and reaches the sink only once it is
    // sure to be kept, so a stored stream leaves nothing else behind.
    std::vector<uint8_t> coded;
    bool keep = rawLength > 0;
    if (keep) {
        auto buffers = std::make_unique<CompressBuffers>(std::min(rawLength, blockSize));
        coded.push_back(static_cast<uint8_t>(kBwtBlockFactor));
        uint32_t produced = 0;
        uint32_t left = rawLength;
        while (left > 0) {
            const uint32_t n = std::min(left, blockSize);
            if (src.streamRead(buffers->raw, 1, n) != n) throw Error(kShortSourceText);
            left -= n;
            uint32_t primaryIndex = 0;
            // The sum of payloads must stay below the raw length.
            const uint32_t len3 =
                codeBlock(*buffers, n, bufferSize, rawLength - produced - 1, primaryIndex);
            if (len3 == 0) {
                keep = false;
                break;
            }
            produced += len3;
            uint8_t header[kBlockHeaderBytes];
            putField24(header, primaryIndex);
            putField24(header + 3, len3);
            coded.insert(coded.end(), header, header + kBlockHeaderBytes);
            coded.insert(coded.end(), buffers->column, buffers->column + len3);
        }
        if (keep) {
            writeExactly(sink, coded.data(), coded.size());
            return produced;
        }
    }
    copyStored(src, inStart, sink, rawLength);
    return rawLength;
}

// Working memory of one expansion. Sizes follow the stream's block factor but
// never exceed what the expected raw length can need, so a forged factor or
// length cannot make a small stream allocate much. The inverse transform's
// scratch takes the room of the payload and the second-stage output, which
// are used up by then; a raw block for a file sink takes the room of the
// links.
struct ExpandBuffers {
    uint32_t capPayload, capPacked, capRanks, capRaw;
    PageArena arena;
    uint8_t* payload;
    uint8_t* packed;
    uint8_t* scratch;
    uint32_t* links;
    uint8_t* raw;
    uint8_t* ranks;
    uint8_t* column;
    RangeModels models;

    ExpandBuffers(uint32_t factor, uint32_t rawLength, uint32_t recordedSize)
        : capPayload(std::min(bufferSizeOf(factor), recordedSize)),
          capRanks(std::min(bufferSizeOf(factor),
                            rle1EncodeBound(std::min(blockSizeOf(factor), rawLength)))),
          capRaw(std::min(blockSizeOf(factor), rawLength)) {
        // Second-stage output is at most twice the first-stage input.
        capPacked = std::min(bufferSizeOf(factor), 2 * capRanks + 2);
        Layout layout;
        const size_t atPayload = layout.add(
            std::max(inverseBwtScratchBytes(capRanks), size_t{capPayload} + 64 + capPacked));
        const size_t atLinks = layout.add(4 * size_t{capRanks});
        const size_t atRanks = layout.add(capRanks);
        const size_t atColumn = layout.add(capRanks);
        arena.reset(layout.size());
        uint8_t* base = arena.data();
        payload = base + atPayload;
        packed = payload + ((size_t{capPayload} + 63) & ~size_t{63});
        scratch = base + atPayload;
        links = reinterpret_cast<uint32_t*>(base + atLinks);
        raw = base + atLinks;
        ranks = base + atRanks;
        column = base + atColumn;
    }
};

uint32_t bwtExpand(ByteStream& src, ByteStream& sink, uint32_t recordedSize, uint32_t rawLength) {
    if (recordedSize == rawLength) {
        copyThrough(src, sink, rawLength);
        return rawLength;
    }
    // A coded stream always records less than its raw length.
    if (recordedSize > rawLength) damaged();

    const int factor = src.streamGetc();
    if (factor < 1 || factor > static_cast<int>(kBwtMaxBlockFactor)) damaged();
    const uint32_t blockSize = blockSizeOf(static_cast<uint32_t>(factor));
    auto b =
        std::make_unique<ExpandBuffers>(static_cast<uint32_t>(factor), rawLength, recordedSize);

    uint32_t total = 0;
    uint32_t payloadSum = 0;
    while (total < rawLength) {
        uint8_t header[kBlockHeaderBytes];
        readExactly(src, header, kBlockHeaderBytes);
        const uint32_t primaryIndex = getField24(header);
        const uint32_t payloadLength = getField24(header + 3);
        if (payloadLength > b->capPayload || payloadLength > recordedSize - payloadSum) damaged();
        payloadSum += payloadLength;
        readExactly(src, b->payload, payloadLength);

        const uint32_t len2 =
            rangeDecode(b->packed, b->capPacked, b->payload, payloadLength, b->models);
        const uint32_t n = rle2MtfDecode(b->column, b->capRanks, b->packed, len2);
        if (n == 0 || primaryIndex >= n) damaged();
        inverseBwt(b->ranks, b->column, primaryIndex, n, b->links, b->scratch);
        const uint32_t capacity = std::min(blockSize, rawLength - total);
        // A memory sink takes the block in place; a file sink through a buffer.
        uint8_t* dst = sink.isMemory() ? sink.memory().base + sink.memory().pos : b->raw;
        const uint32_t m = rle1Decode(dst, capacity, b->ranks, n, kRle1Threshold);
        if (sink.isMemory()) {
            sink.memory().pos += m;
        } else {
            writeExactly(sink, b->raw, m);
        }
        total += m;
        // Only the last block may be short; a stream that stops short of the
        // raw length is damaged.
        if (m < blockSize && total < rawLength) damaged();
    }
    if (payloadSum != recordedSize) damaged();
    return total;
}

// Out-of-memory from the standard library becomes the project's error.
template <class F>
auto guarded(F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        throw Error(kOutOfMemoryText);
    }
}

}  // namespace

uint32_t bwtCode(BwtMode mode, BwtSource& in, BwtSink& out, uint32_t inSize, uint32_t outSize) {
    ByteStream src = in.file ? ByteStream::overFile(in.file)
                             : ByteStream::overMemory(const_cast<uint8_t*>(in.data), in.size);
    ByteStream sink =
        out.file ? ByteStream::overFile(out.file) : ByteStream::overMemory(out.data, out.capacity);
    if (mode == BwtMode::Expand && sink.isMemory() && out.capacity < outSize)
        throw Error(kSinkTooSmallText);
    if (mode == BwtMode::Compress && src.isMemory() && in.size < inSize)
        throw Error(kShortSourceText);

    // Memory counts are reported even when the call fails part way.
    struct Report {
        BwtSource& in;
        BwtSink& out;
        ByteStream& src;
        ByteStream& sink;
        ~Report() {
            if (src.isMemory()) in.consumed = src.memory().pos;
            if (sink.isMemory()) out.written = sink.memory().pos;
        }
    } report{in, out, src, sink};

    return guarded([&] {
        return mode == BwtMode::Compress ? bwtCompress(src, sink, inSize)
                                         : bwtExpand(src, sink, inSize, outSize);
    });
}

size_t bwtCompressBound(uint32_t n) noexcept {
    // A coded stream is kept only while its payloads sum below n, so at most
    // n - 1 payload bytes, the factor byte and a header per block.
    const size_t blocks = (size_t{n} + kBwtBlockSize - 1) / kBwtBlockSize;
    return std::max<size_t>(n, n == 0 ? 0 : size_t{n} + kBlockHeaderBytes * blocks);
}

uint32_t bwtCompressToVector(const uint8_t* in, uint32_t n, std::vector<uint8_t>& out) {
    out.assign(bwtCompressBound(n), 0);
    BwtSource src = BwtSource::fromMemory(in, n);
    BwtSink sink = BwtSink::toMemory(out.data(), out.size());
    const uint32_t recorded = bwtCode(BwtMode::Compress, src, sink, n, 0);
    out.resize(sink.written);
    return recorded;
}

uint32_t bwtCompressToFile(const uint8_t* in, uint32_t n, std::FILE* out) {
    BwtSource src = BwtSource::fromMemory(in, n);
    BwtSink sink = BwtSink::toFile(out);
    return bwtCode(BwtMode::Compress, src, sink, n, 0);
}

void bwtExpandFromMemory(const uint8_t* in, size_t available, uint32_t recordedSize, uint8_t* out,
                         uint32_t rawLength, size_t* consumed) {
    BwtSource src = BwtSource::fromMemory(in, available);
    BwtSink sink = BwtSink::toMemory(out, rawLength);
    bwtCode(BwtMode::Expand, src, sink, recordedSize, rawLength);
    if (consumed) *consumed = src.consumed;
}

void bwtExpandFromFile(std::FILE* in, uint32_t recordedSize, uint8_t* out, uint32_t rawLength) {
    BwtSource src = BwtSource::fromFile(in);
    BwtSink sink = BwtSink::toMemory(out, rawLength);
    bwtCode(BwtMode::Expand, src, sink, recordedSize, rawLength);
}

}  // namespace kirune
