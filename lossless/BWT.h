#pragma once
// Block-sorting coder: compresses one byte stream into the coded stream format
// (run-length, rotation sort, move-to-front, run-length, range coder per block)
// or a stored copy when coding does not shrink it, and expands it again.
//
// Coded stream: one factor byte (2), then per block a 24-bit primary index, a
// 24-bit payload length (both most significant byte first) and the payload.
// A stored stream is the raw bytes alone. The caller keeps (rawLength,
// recordedSize) per stream: recordedSize == rawLength means stored; otherwise
// the stream occupies recordedSize + 1 + 6 x blocks bytes.
//
// Every failure throws kirune::Error: damaged data (kDamagedFileText or
// "RangeCoder : decode error N"), exhausted memory (kOutOfMemoryText), a source
// that ends early, a sink that refuses bytes. Calls keep all their state in the
// call, so streams may be coded on several threads at once.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace kirune {

// Raw bytes per block of the coded streams this coder writes (factor 2).
inline constexpr uint32_t kBwtBlockFactor = 2;
inline constexpr uint32_t kBwtBlockSize = kBwtBlockFactor << 19;
// Largest factor byte the expander accepts; larger ones are damaged data.
inline constexpr uint32_t kBwtMaxBlockFactor = 9;

enum class BwtMode : int { Expand = 0, Compress = 1 };

// Source of one call: a stdio stream opened in binary mode, read from its
// current position, or a memory buffer read from its start. After the call,
// `consumed` holds the bytes taken from a memory buffer.
struct BwtSource {
    std::FILE* file = nullptr;
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t consumed = 0;

    static BwtSource fromFile(std::FILE* f) noexcept { return BwtSource{f, nullptr, 0, 0}; }
    static BwtSource fromMemory(const uint8_t* p, size_t n) noexcept {
        return BwtSource{nullptr, p, n, 0};
    }
};

// Sink of one call: a stdio stream opened in binary mode, written from its
// current position, or a memory buffer of `capacity` bytes written from its
// start. After the call, `written` holds the bytes stored into a memory buffer.
struct BwtSink {
    std::FILE* file = nullptr;
    uint8_t* data = nullptr;
    size_t capacity = 0;
    size_t written = 0;

    static BwtSink toFile(std::FILE* f) noexcept { return BwtSink{f, nullptr, 0, 0}; }
    static BwtSink toMemory(uint8_t* p, size_t n) noexcept { return BwtSink{nullptr, p, n, 0}; }
};

// The one entry, in both directions and for every file/memory combination.
//   Compress: reads inSize raw bytes (a memory source must hold them), writes
//             the coded or stored stream and returns recordedSize; outSize is
//             unused (pass 0). Nothing of an abandoned coding attempt reaches
//             the sink: a stored stream leaves exactly its raw bytes behind
//             the start position. A file source is read again for a stored
//             copy, so it must be seekable. A memory sink needs at most
//             bwtCompressBound(inSize) bytes.
//   Expand:   inSize is the recordedSize that compression returned, outSize
//             the expected raw length (a memory sink must hold it); writes
//             exactly outSize bytes, returns outSize, and reads exactly the
//             stream's bytes (a file source is left directly behind the
//             stream). A file sink may hold earlier blocks when a later one
//             turns out damaged.
uint32_t bwtCode(BwtMode mode, BwtSource& in, BwtSink& out, uint32_t inSize, uint32_t outSize);

// Largest number of bytes a compressed stream of n raw bytes can occupy.
size_t bwtCompressBound(uint32_t n) noexcept;

// Compresses n bytes from memory into `out` (replaced); out.size() is the
// stream's footprint. Returns recordedSize.
uint32_t bwtCompressToVector(const uint8_t* in, uint32_t n, std::vector<uint8_t>& out);

// Compresses n bytes from memory to a binary stdio stream at its current
// position. Returns recordedSize.
uint32_t bwtCompressToFile(const uint8_t* in, uint32_t n, std::FILE* out);

// Expands the stream at the start of `in` (of `available` readable bytes) into
// out[0 .. rawLength). If consumed is given it receives the stream's byte
// count, so several streams held back to back can be walked.
void bwtExpandFromMemory(const uint8_t* in, size_t available, uint32_t recordedSize, uint8_t* out,
                         uint32_t rawLength, size_t* consumed = nullptr);

// Expands the stream at the current position of a binary stdio stream into
// out[0 .. rawLength), leaving the stream positioned directly behind it.
void bwtExpandFromFile(std::FILE* in, uint32_t recordedSize, uint8_t* out, uint32_t rawLength);

}  // namespace kirune
