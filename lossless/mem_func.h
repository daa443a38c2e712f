#pragma once
// Byte streams of the block-sorting coder: a memory buffer or a stdio stream,
// behind one set of operations so the coder never cares which it has.

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace kirune {

// A memory byte stream over a caller's buffer.
struct MemStream {
    uint8_t* base = nullptr;
    size_t size = 0;  // capacity in bytes
    size_t pos = 0;   // next byte to read or write
};

// Copies up to size x count bytes, clamped to what is left; returns bytes copied.
size_t memRead(MemStream& m, void* dst, size_t size, size_t count) noexcept;
size_t memWrite(MemStream& m, const void* src, size_t size, size_t count) noexcept;
// Next byte, or EOF when the buffer is used up (so truncation can be told apart).
int memGetc(MemStream& m) noexcept;
// Stores the low 8 bits and returns them; returns EOF and drops the byte when full.
int memPutc(MemStream& m, int c) noexcept;
size_t memTell(const MemStream& m) noexcept;
// Offsets past the end stop at the end and return 1; otherwise 0.
int memSeek(MemStream& m, size_t offset) noexcept;

// One side of a call: a file stream, or memory when `file` is null.
class ByteStream {
public:
    static ByteStream overFile(std::FILE* f) noexcept;
    static ByteStream overMemory(uint8_t* base, size_t size) noexcept;

    bool isMemory() const noexcept { return file_ == nullptr; }
    const MemStream& memory() const noexcept { return mem_; }
    MemStream& memory() noexcept { return mem_; }

    size_t streamRead(void* dst, size_t size, size_t count) noexcept;
    size_t streamWrite(const void* src, size_t size, size_t count) noexcept;
    int streamGetc() noexcept;
    int streamPutc(int c) noexcept;
    // Current position; -1 when a file stream cannot tell (a pipe).
    long long streamTell() const noexcept;
    // Moves to an absolute position; false when that is impossible.
    bool streamSeek(long long offset) noexcept;

private:
    std::FILE* file_ = nullptr;
    MemStream mem_;
};

// Writes n raw bytes of `src`, from position inStart, to the sink's current
// position. The stored fallback of compression uses it; throws Error when the
// source ends early, cannot go back, or the sink refuses bytes.
void copyStored(ByteStream& src, long long inStart, ByteStream& sink, size_t n);
// Copies n bytes from the source's current position to the sink's (expansion
// of a stored stream). A source that ends early is damaged data.
void copyThrough(ByteStream& src, ByteStream& sink, size_t n);

// Reads exactly n bytes or throws the damaged-file error.
void readExactly(ByteStream& src, void* dst, size_t n);
// Writes exactly n bytes or throws a write error.
void writeExactly(ByteStream& sink, const void* src, size_t n);

}  // namespace kirune
