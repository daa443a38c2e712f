#include "lossless/block_sort_coder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "kirune/AlignedBuffer.h"
#include "kirune/Error.h"
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

// Places buffers one after another in a single allocation, 64-byte aligned.
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

// The byte buffers a compression of blocks of cap1 first-stage bytes lays out.
struct CompressLayout {
    size_t text, column, ranks, size;
    explicit CompressLayout(uint32_t cap1) {
        Layout layout;
        text = layout.add(2 * size_t{cap1});
        column = layout.add(cap1);
        ranks = layout.add(cap1);
        size = layout.size();
    }
};

// A strip's streams differ in length, so memory grown to each new longest
// one would be mapped and cleared afresh several times a strip. Past an
// eighth of what a whole block needs, it grows to that at once; only the
// pages a call writes are ever touched.
template <class T>
T grownSize(T need, T wholeBlock) {
    return need > wholeBlock / 8 ? std::max(need, wholeBlock) : need;
}

}  // namespace

struct BlockSortWorkspace::Memory {
    AlignedBuffer<uint8_t> arena;  // the byte buffers of the call at work
    std::unique_ptr<SortWorkspace> sort;
    uint32_t sortRows = 0;
    RangeModels models;

    uint8_t* bytes(size_t n) {
        if (arena.size() < n)
            arena.reset(grownSize(n, CompressLayout(rle1EncodeBound(kBlockSortBlockSize)).size));
        return arena.data();
    }
    SortWorkspace& sortFor(uint32_t rows) {
        if (!sort || sortRows < rows) {
            sort.reset();
            sortRows = 0;
            rows = grownSize(rows, rle1EncodeBound(kBlockSortBlockSize));
            sort = std::make_unique<SortWorkspace>(rows);
            sortRows = rows;
        }
        return *sort;
    }
};

BlockSortWorkspace::BlockSortWorkspace() : memory_(std::make_unique<Memory>()) {}
BlockSortWorkspace::~BlockSortWorkspace() = default;

BlockSortWorkspaces::Lease BlockSortWorkspaces::take() {
    {
        std::unique_lock lock(m_);
        returned_.wait(lock, [&] { return !free_.empty() || limit_ <= 0 || made_ < limit_; });
        if (!free_.empty()) {
            std::unique_ptr<BlockSortWorkspace> w = std::move(free_.back());
            free_.pop_back();
            return Lease(*this, std::move(w));
        }
        ++made_;
    }
    try {
        return Lease(*this, std::make_unique<BlockSortWorkspace>());
    } catch (...) {
        {
            std::lock_guard lock(m_);
            --made_;
        }
        returned_.notify_one();
        throw;
    }
}

void BlockSortWorkspaces::giveBack(std::unique_ptr<BlockSortWorkspace> w) noexcept {
    {
        std::lock_guard lock(m_);
        try {
            free_.push_back(std::move(w));
        } catch (...) {  // not kept: the next call makes a new one
            --made_;
        }
    }
    returned_.notify_one();
}

namespace {

// The buffers of one compression, in a workspace's memory and sized for the
// largest block it will see; the limits follow this call's blocks alone, so
// the coded bytes do not depend on the memory left by earlier calls. Buffers
// whose lives do not overlap share memory: the second-stage output goes where
// the sorted text was, the payload where the last column was.
struct CompressBuffers {
    uint32_t cap1;    // first-stage output of a block
    uint8_t* text;    // first-stage output, doubled for the sort; then second-stage output
    uint8_t* column;  // last column; then the payload
    uint8_t* ranks;   // move-to-front output
    SortWorkspace& sort;
    RangeModels& models;

    CompressBuffers(BlockSortWorkspace::Memory& memory, uint32_t rawBlock)
        : cap1(rle1EncodeBound(rawBlock)), sort(memory.sortFor(cap1)), models(memory.models) {
        const CompressLayout layout(cap1);
        uint8_t* base = memory.bytes(layout.size);
        text = base + layout.text;
        column = base + layout.column;
        ranks = base + layout.ranks;
    }
};

// Codes one raw block; returns the payload length, or 0 when the block cannot
// be kept as coded (payload over payloadLimit, or a stage output the format's
// fixed buffers could not hold).
uint32_t codeBlock(CompressBuffers& b, const uint8_t* raw, uint32_t n, uint32_t payloadLimit,
                   uint32_t& primaryIndex) {
    const uint32_t bufferSize = bufferSizeOf(kBlockSortFactor);
    const uint32_t len1 = rle1Encode(b.text, raw, n, kRle1Threshold);
    primaryIndex = twoStageSort(b.text, len1, b.column, b.sort, defaultCompareBudget(len1));
    mtfEncode(b.ranks, b.column, len1);
    uint8_t* packed = b.text;
    const uint32_t len2 = rle2Encode(packed, b.ranks, len1);
    if (len2 > bufferSize) return 0;
    const uint32_t limit = std::min({payloadLimit, bufferSize, b.cap1, kMaxField24});
    return rangeEncode(b.column, limit, packed, len2, b.models);
}

// The coded stream of raw into out; false when it would not be shorter than
// the raw bytes (out then holds an abandoned attempt).
bool codeStream(std::span<const uint8_t> raw, std::vector<uint8_t>& out, uint32_t& recorded,
                BlockSortWorkspace::Memory& memory) {
    const auto rawLength = static_cast<uint32_t>(raw.size());
    auto buffers = std::make_unique<CompressBuffers>(memory, std::min(rawLength, kBlockSortBlockSize));
    out.assign(1, static_cast<uint8_t>(kBlockSortFactor));
    uint32_t produced = 0;
    for (uint32_t at = 0; at < rawLength;) {
        const uint32_t n = std::min(rawLength - at, kBlockSortBlockSize);
        uint32_t primaryIndex = 0;
        // The sum of payloads must stay below the raw length.
        const uint32_t len3 =
            codeBlock(*buffers, raw.data() + at, n, rawLength - produced - 1, primaryIndex);
        if (len3 == 0) return false;
        at += n;
        produced += len3;
        uint8_t header[kBlockHeaderBytes];
        putField24(header, primaryIndex);
        putField24(header + 3, len3);
        out.insert(out.end(), header, header + kBlockHeaderBytes);
        out.insert(out.end(), buffers->column, buffers->column + len3);
    }
    recorded = produced;
    return true;
}

// The buffers of one expansion, in a workspace's memory. Sizes follow the
// stream's block factor but never exceed what the expected raw length can
// need, so a forged factor or length cannot make a small stream allocate much;
// they are also the limits the decoding checks, whatever memory earlier calls
// left. The inverse transform's scratch takes the memory of the second-stage
// output, which is used up by then. Payloads are decoded where they lie in
// the stream.
struct ExpandBuffers {
    uint32_t capPayload, capPacked, capRanks;
    uint8_t* packed;
    uint8_t* scratch;
    uint32_t* links;
    uint8_t* ranks;
    uint8_t* column;
    RangeModels& models;

    ExpandBuffers(BlockSortWorkspace::Memory& memory, uint32_t factor, uint32_t rawLength, uint32_t recordedSize)
        : capPayload(std::min(bufferSizeOf(factor), recordedSize)),
          capRanks(std::min(bufferSizeOf(factor),
                            rle1EncodeBound(std::min(blockSizeOf(factor), rawLength)))),
          models(memory.models) {
        // Second-stage output is at most twice the first-stage input.
        capPacked = std::min(bufferSizeOf(factor), 2 * capRanks + 2);
        Layout layout;
        const size_t atPacked =
            layout.add(std::max(inverseBwtScratchBytes(capRanks), size_t{capPacked}));
        const size_t atLinks = layout.add(4 * size_t{capRanks});
        const size_t atRanks = layout.add(capRanks);
        const size_t atColumn = layout.add(capRanks);
        uint8_t* base = memory.bytes(layout.size());
        packed = base + atPacked;
        scratch = base + atPacked;
        links = reinterpret_cast<uint32_t*>(base + atLinks);
        ranks = base + atRanks;
        column = base + atColumn;
    }
};

// Reads a coded stream's parts in order; running past the end is damage.
class FrameReader {
public:
    explicit FrameReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    const uint8_t* take(size_t n) {
        if (n > bytes_.size() - pos_) throwDamaged();
        const uint8_t* p = bytes_.data() + pos_;
        pos_ += n;
        return p;
    }
    // The factor byte, checked as the expander accepts it.
    uint32_t factor() {
        const uint32_t f = *take(1);
        if (f < 1 || f > kBlockSortMaxFactor) throwDamaged();
        return f;
    }
    size_t position() const { return pos_; }

private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
};

// Expands one block of payloadLength bytes into out (memory for capacity
// bytes); returns the bytes written.
uint32_t expandBlock(ExpandBuffers& b, const uint8_t* payload, uint32_t payloadLength,
                     uint32_t primaryIndex, uint8_t* out, uint32_t capacity) {
    const uint32_t len2 = rangeDecode(b.packed, b.capPacked, payload, payloadLength, b.models);
    const uint32_t n = rle2MtfDecode(b.column, b.capRanks, b.packed, len2);
    if (n == 0 || primaryIndex >= n) throwDamaged();
    inverseBwt(b.ranks, b.column, primaryIndex, n, b.links, b.scratch);
    return rle1Decode(out, capacity, b.ranks, n, kRle1Threshold);
}

size_t expandCoded(std::span<const uint8_t> stream, uint32_t recordedSize,
                   std::span<uint8_t> out, BlockSortWorkspace::Memory& memory) {
    const auto rawLength = static_cast<uint32_t>(out.size());
    FrameReader in(stream);
    const uint32_t factor = in.factor();
    const uint32_t blockSize = blockSizeOf(factor);
    auto b = std::make_unique<ExpandBuffers>(memory, factor, rawLength, recordedSize);

    uint32_t total = 0;
    uint32_t payloadSum = 0;
    while (total < rawLength) {
        const uint8_t* header = in.take(kBlockHeaderBytes);
        const uint32_t primaryIndex = getField24(header);
        const uint32_t payloadLength = getField24(header + 3);
        if (payloadLength > b->capPayload || payloadLength > recordedSize - payloadSum)
            throwDamaged();
        payloadSum += payloadLength;
        const uint8_t* payload = in.take(payloadLength);
        const uint32_t capacity = std::min(blockSize, rawLength - total);
        const uint32_t m =
            expandBlock(*b, payload, payloadLength, primaryIndex, out.data() + total, capacity);
        total += m;
        // Only the last block may be short; a stream that stops short of the
        // raw length is damaged.
        if (m < blockSize && total < rawLength) throwDamaged();
    }
    if (payloadSum != recordedSize) throwDamaged();
    return in.position();
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

uint32_t blockSortCompress(std::span<const uint8_t> raw, std::vector<uint8_t>& out) {
    BlockSortWorkspace work;
    return blockSortCompress(raw, out, work);
}

uint32_t blockSortCompress(std::span<const uint8_t> raw, std::vector<uint8_t>& out, BlockSortWorkspace& work) {
    return guarded([&] {
        uint32_t recorded = 0;
        if (!raw.empty() && codeStream(raw, out, recorded, work.memory())) return recorded;
        out.assign(raw.begin(), raw.end());
        return static_cast<uint32_t>(raw.size());
    });
}

size_t blockSortFootprint(std::span<const uint8_t> bytes, uint32_t recordedSize,
                          uint32_t rawLength) {
    if (recordedSize == rawLength) {
        if (bytes.size() < rawLength) throwDamaged();
        return rawLength;
    }
    // A coded stream always records less than its raw length.
    if (recordedSize > rawLength) throwDamaged();
    FrameReader in(bytes);
    const uint32_t blockSize = blockSizeOf(in.factor());
    const uint32_t maxBlocks = (rawLength - 1) / blockSize + 1;
    uint64_t payload = 0;
    uint32_t blocks = 0;
    do {
        if (++blocks > maxBlocks) throwDamaged();
        const uint32_t length = getField24(in.take(kBlockHeaderBytes) + 3);
        in.take(length);
        payload += length;
    } while (payload < recordedSize);
    if (payload != recordedSize) throwDamaged();
    return in.position();
}

size_t blockSortExpand(std::span<const uint8_t> stream, uint32_t recordedSize,
                       std::span<uint8_t> out) {
    BlockSortWorkspace work;
    return blockSortExpand(stream, recordedSize, out, work);
}

size_t blockSortExpand(std::span<const uint8_t> stream, uint32_t recordedSize,
                       std::span<uint8_t> out, BlockSortWorkspace& work) {
    const size_t rawLength = out.size();
    if (recordedSize == rawLength) {
        if (stream.size() < rawLength) throwDamaged();
        if (rawLength) std::memcpy(out.data(), stream.data(), rawLength);
        return rawLength;
    }
    if (recordedSize > rawLength) throwDamaged();
    return guarded([&] { return expandCoded(stream, recordedSize, out, work.memory()); });
}

}  // namespace kirune
