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
    // zeroed). A sparse buffer, of which usually only a small start is
    // written, is mapped in small pages so that it costs what is written.
    void reset(std::size_t count, bool zeroed = false, bool sparse = false) {
        release();
        if (count == 0) return;
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T))
            throw Error(kOutOfMemoryText);
        const std::size_t bytes = count * sizeof(T);
        if (kMapLargeBuffers && bytes >= kMapThreshold) {
            mapPages(bytes, !sparse);
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
    // Large buffers (strip planes; stream buffers in small pages) are mapped on a 2 MiB
    // boundary with huge pages advised: first touches then cost one fault per
    // 2 MiB rather than per 4 KiB, and fresh pages already read as zero.
    // Under AddressSanitizer they stay on the heap, where overruns are caught.
    static constexpr std::size_t kMapThreshold = std::size_t{512} << 10;
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;
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

    void mapPages(std::size_t bytes, bool hugePages) {
        const std::size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
        if (rounded < bytes || rounded > std::numeric_limits<std::size_t>::max() - kHugePage)
            throw Error(kOutOfMemoryText);
        // One huge page more than needed, trimmed to a 2 MiB boundary.
        const std::size_t span = rounded + kHugePage;
        void* p = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw Error(kOutOfMemoryText);
        const auto start = reinterpret_cast<std::uintptr_t>(p);
        const std::uintptr_t aligned = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
        if (aligned > start) ::munmap(p, aligned - start);
        const std::size_t tail = (start + span) - (aligned + rounded);
        if (tail) ::munmap(reinterpret_cast<void*>(aligned + rounded), tail);
        if (hugePages) ::madvise(reinterpret_cast<void*>(aligned), rounded, MADV_HUGEPAGE);  // advice only
        data_ = reinterpret_cast<T*>(aligned);
        mapped_ = rounded;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;  // bytes mapped, when the buffer came from mmap
};

}  // namespace kirune
