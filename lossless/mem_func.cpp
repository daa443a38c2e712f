#include "lossless/mem_func.h"

#include <algorithm>
#include <cstring>

#include "kirune/AlignedBuffer.h"
#include "kirune/Error.h"
#include "lossless/messages.h"

namespace kirune {

namespace {

size_t clampCount(const MemStream& m, size_t size, size_t count) noexcept {
    if (size == 0 || count == 0 || m.pos >= m.size) return 0;
    const size_t left = m.size - m.pos;
    if (count > left / size) return left;
    return size * count;
}

}  // namespace

size_t memRead(MemStream& m, void* dst, size_t size, size_t count) noexcept {
    const size_t n = clampCount(m, size, count);
    if (n) std::memcpy(dst, m.base + m.pos, n);
    m.pos += n;
    return n;
}

size_t memWrite(MemStream& m, const void* src, size_t size, size_t count) noexcept {
    const size_t n = clampCount(m, size, count);
    if (n) std::memcpy(m.base + m.pos, src, n);
    m.pos += n;
    return n;
}

int memGetc(MemStream& m) noexcept {
    if (m.pos >= m.size) return EOF;
    return m.base[m.pos++];
}

int memPutc(MemStream& m, int c) noexcept {
    if (m.pos >= m.size) return EOF;
    m.base[m.pos++] = static_cast<uint8_t>(c);
    return c & 0xff;
}

size_t memTell(const MemStream& m) noexcept { return m.pos; }

int memSeek(MemStream& m, size_t offset) noexcept {
    if (offset > m.size) {
        m.pos = m.size;
        return 1;
    }
    m.pos = offset;
    return 0;
}

ByteStream ByteStream::overFile(std::FILE* f) noexcept {
    ByteStream s;
    s.file_ = f;
    return s;
}

ByteStream ByteStream::overMemory(uint8_t* base, size_t size) noexcept {
    ByteStream s;
    s.mem_ = MemStream{base, base ? size : 0, 0};
    return s;
}

size_t ByteStream::streamRead(void* dst, size_t size, size_t count) noexcept {
    if (file_) return std::fread(dst, 1, size * count, file_);
    return memRead(mem_, dst, size, count);
}

size_t ByteStream::streamWrite(const void* src, size_t size, size_t count) noexcept {
    if (file_) return std::fwrite(src, 1, size * count, file_);
    return memWrite(mem_, src, size, count);
}

int ByteStream::streamGetc() noexcept { return file_ ? std::getc(file_) : memGetc(mem_); }

int ByteStream::streamPutc(int c) noexcept {
    return file_ ? std::putc(c, file_) : memPutc(mem_, c);
}

long long ByteStream::streamTell() const noexcept {
    if (file_) return static_cast<long long>(ftello(file_));
    return static_cast<long long>(memTell(mem_));
}

bool ByteStream::streamSeek(long long offset) noexcept {
    if (offset < 0) return false;
    if (file_) return fseeko(file_, static_cast<off_t>(offset), SEEK_SET) == 0;
    return memSeek(mem_, static_cast<size_t>(offset)) == 0;
}

void readExactly(ByteStream& src, void* dst, size_t n) {
    if (n && src.streamRead(dst, 1, n) != n) throw Error(kDamagedFileText);
}

void writeExactly(ByteStream& sink, const void* src, size_t n) {
    // A full memory sink is the caller's sizing, not a device fault.
    if (n && sink.streamWrite(src, 1, n) != n)
        throw Error(sink.isMemory() ? kSinkTooSmallText : kWriteFailedText);
}

namespace {

// Chunked copy through a bounded scratch buffer, so a stored stream of any
// length costs little memory.
void copyChunks(ByteStream& src, ByteStream& sink, size_t n, const char* shortText) {
    constexpr size_t kChunk = size_t{1} << 16;
    AlignedBuffer<uint8_t> scratch(std::min(n, kChunk));
    while (n) {
        const size_t k = std::min(n, kChunk);
        if (src.streamRead(scratch.data(), 1, k) != k) throw Error(shortText);
        writeExactly(sink, scratch.data(), k);
        n -= k;
    }
}

}  // namespace

void copyStored(ByteStream& src, long long inStart, ByteStream& sink, size_t n) {
    if (n == 0) return;
    if (src.isMemory()) {
        // Straight from the caller's buffer; the source position stays.
        const MemStream& m = src.memory();
        const size_t start = static_cast<size_t>(inStart);
        if (inStart < 0 || start > m.size || m.size - start < n) throw Error(kShortSourceText);
        writeExactly(sink, m.base + start, n);
        return;
    }
    if (!src.streamSeek(inStart)) throw Error(kSeekFailedText);
    copyChunks(src, sink, n, kShortSourceText);
}

void copyThrough(ByteStream& src, ByteStream& sink, size_t n) {
    if (n == 0) return;
    if (src.isMemory()) {
        MemStream& m = src.memory();
        if (m.size - m.pos < n) throw Error(kDamagedFileText);
        writeExactly(sink, m.base + m.pos, n);
        m.pos += n;
        return;
    }
    copyChunks(src, sink, n, kDamagedFileText);
}

}  // namespace kirune
