#pragma once
// Working memory of one coder call. Large arenas are mapped on 2 MiB
// boundaries and offered to the kernel for huge pages: the coder touches
// megabytes of fresh memory per call and walks it at random, so 4 KiB pages
// cost a fault each and a TLB miss on almost every step. Small arenas use the
// ordinary allocator.

#include <cstddef>
#include <cstdint>

#include "kirune/AlignedBuffer.h"

namespace kirune {

class PageArena {
public:
    PageArena() = default;
    explicit PageArena(size_t bytes) { reset(bytes); }
    PageArena(const PageArena&) = delete;
    PageArena& operator=(const PageArena&) = delete;
    ~PageArena() { release(); }

    // Replaces the contents with `bytes` uninitialised bytes, 64-byte aligned.
    // Throws Error("Out of Memory") when the memory cannot be had.
    void reset(size_t bytes);
    void release() noexcept;

    uint8_t* data() noexcept { return data_; }
    size_t size() const noexcept { return size_; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    void* mapped_ = nullptr;
    size_t mappedBytes_ = 0;
    AlignedBuffer<uint8_t> small_;
};

}  // namespace kirune
