#pragma once
// Owning, aligned, fixed-size array of trivially copyable elements. Allocation
// failure throws Error("Out of Memory") instead of ending the process.

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "kirune/Error.h"

namespace kirune {

template <typename T, std::size_t Align = 64>
class AlignedBuffer {
    static_assert(std::is_trivially_copyable_v<T>);
    static_assert(Align >= alignof(T) && (Align & (Align - 1)) == 0);

public:
    AlignedBuffer() = default;
    explicit AlignedBuffer(std::size_t count, bool zeroed = false) { reset(count, zeroed); }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    AlignedBuffer(AlignedBuffer&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          mapped_(std::exchange(o.mapped_, 0)) {}
    AlignedBuffer& operator=(AlignedBuffer&& o) noexcept {
        if (this != &o) {
            release();
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            mapped_ = std::exchange(o.mapped_, 0);
        }
        return *this;
    }
    ~AlignedBuffer() { release(); }

    // Replaces the contents with `count` elements (uninitialised unless
    // zeroed).
    void reset(std::size_t count, bool zeroed = false) {
        release();
        if (count == 0) return;
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T))
            throw Error(kOutOfMemoryText);
        const std::size_t bytes = count * sizeof(T);
        if (kMapLargeBuffers && bytes >= kMapThreshold) {
            mapPages(bytes);
            size_ = count;
            return;
        }
        void* p = ::operator new(bytes, std::align_val_t{Align}, std::nothrow);
        if (!p) throw Error(kOutOfMemoryText);
        if (zeroed) std::memset(p, 0, bytes);
        data_ = static_cast<T*>(p);
        size_ = count;
    }

    void release() noexcept {
        if (mapped_)
            ::munmap(data_, mapped_);
        else if (data_)
            ::operator delete(data_, std::align_val_t{Align});
        data_ = nullptr;
        size_ = 0;
        mapped_ = 0;
    }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

private:
    // Large buffers (strip planes, stream buffers) are mapped afresh: their
    // pages read as zero without a pass to clear them, and a buffer of which
    // a strip writes only the start costs only what is written. Huge pages
    // are not asked for: where a virtual machine hands free memory back to
    // its host, they come from what was handed back, and clearing them took
    // a sixth of a compression run after other programs.
    // Under AddressSanitizer they stay on the heap, where overruns are caught.
    static constexpr std::size_t kMapThreshold = std::size_t{512} << 10;
#if defined(__SANITIZE_ADDRESS__)
    static constexpr bool kMapLargeBuffers = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    static constexpr bool kMapLargeBuffers = false;
#else
    static constexpr bool kMapLargeBuffers = true;
#endif
#else
    static constexpr bool kMapLargeBuffers = true;
#endif

    void mapPages(std::size_t bytes) {
        void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw Error(kOutOfMemoryText);
        data_ = static_cast<T*>(p);
        mapped_ = bytes;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;  // bytes mapped, when the buffer came from mmap
};

}  // namespace kirune
