#pragma once
// Block-sorting coder: compresses one byte stream into the coded stream format
// (run-length, rotation sort, move-to-front, run-length, range coder per block)
// or a stored copy when coding does not shrink it, and expands it again.
//
// The coded and stored forms of a stream, and the (rawLength, recordedSize)
// pair the caller keeps for it, are mapped in docs/format.md.
//
// Every failure throws kirune::Error: damaged data (kDamagedFileText, with
// what was found as its detail) or exhausted memory (kOutOfMemoryText).
// Calls keep all their state in the call, so streams may be coded on several
// threads at once.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace kirune {

// Raw bytes per block of the coded streams this coder writes (factor 2).
inline constexpr uint32_t kBlockSortFactor = 2;
inline constexpr uint32_t kBlockSortBlockSize = kBlockSortFactor << 19;
// Largest factor byte the expander accepts; larger ones are damaged data.
inline constexpr uint32_t kBlockSortMaxFactor = 9;

// Working memory of the coder kept from call to call, so that a run of
// streams maps and clears its pages once rather than per call. It grows to
// the largest stream met and never changes a coded byte. One call at a time.
class BlockSortWorkspace {
public:
    BlockSortWorkspace();
    ~BlockSortWorkspace();
    BlockSortWorkspace(const BlockSortWorkspace&) = delete;
    BlockSortWorkspace& operator=(const BlockSortWorkspace&) = delete;

    struct Memory;
    Memory& memory() { return *memory_; }

private:
    std::unique_ptr<Memory> memory_;
};

// Workspaces for streams coded side by side: each call takes one no other
// call holds and gives it back for the next. With a limit, no more than that
// many are ever made: a call beyond them waits for one to come back rather
// than map and clear a workspace of its own. A caller holds one lease at a
// time, so the wait always ends.
class BlockSortWorkspaces {
public:
    explicit BlockSortWorkspaces(int limit = 0) : limit_(limit) {}

    class Lease {
    public:
        Lease(BlockSortWorkspaces& pool, std::unique_ptr<BlockSortWorkspace> w)
            : pool_(pool), w_(std::move(w)) {}
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() { pool_.giveBack(std::move(w_)); }
        BlockSortWorkspace& operator*() { return *w_; }

    private:
        BlockSortWorkspaces& pool_;
        std::unique_ptr<BlockSortWorkspace> w_;
    };
    Lease take();

private:
    void giveBack(std::unique_ptr<BlockSortWorkspace> w) noexcept;
    std::mutex m_;
    std::condition_variable returned_;
    std::vector<std::unique_ptr<BlockSortWorkspace>> free_;
    const int limit_;  // 0: none
    int made_ = 0;     // workspaces in existence, free or leased
};

// Compresses `raw` (below 2^32 bytes) into `out`, which it replaces with the
// coded stream, or with the raw bytes when coding does not shrink them.
// Returns recordedSize; out.size() is the stream's footprint.
uint32_t blockSortCompress(std::span<const uint8_t> raw, std::vector<uint8_t>& out);
uint32_t blockSortCompress(std::span<const uint8_t> raw, std::vector<uint8_t>& out, BlockSortWorkspace& work);

// Bytes the stream at the start of `bytes` occupies, read from its framing
// (the factor byte and each block header; payloads are not decoded). Throws
// the damaged-file error when the framing runs past `bytes`, names a factor
// the expander refuses, holds more blocks than rawLength can fill, or its
// payloads do not add up to recordedSize.
size_t blockSortFootprint(std::span<const uint8_t> bytes, uint32_t recordedSize,
                          uint32_t rawLength);

// No stream of these lengths occupies more bytes than this, whatever its
// factor, so reading that much (or what is left) is enough for
// blockSortFootprint.
constexpr uint64_t blockSortFootprintLimit(uint32_t recordedSize, uint32_t rawLength) {
    if (recordedSize >= rawLength) return rawLength;
    const uint64_t smallestBlock = uint64_t{1} << 19;
    return uint64_t{recordedSize} + 1 + 6 * ((rawLength + smallestBlock - 1) / smallestBlock);
}

// Expands the stream at the start of `stream` into out, whose size is the
// raw length; writes exactly out.size() bytes. Returns the bytes of `stream`
// the stream occupied, so several streams held back to back can be walked.
size_t blockSortExpand(std::span<const uint8_t> stream, uint32_t recordedSize,
                       std::span<uint8_t> out);
size_t blockSortExpand(std::span<const uint8_t> stream, uint32_t recordedSize,
                       std::span<uint8_t> out, BlockSortWorkspace& work);

}  // namespace kirune
