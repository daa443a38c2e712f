#include "lossless/page_arena.h"

#include <sys/mman.h>

#include "kirune/Error.h"

namespace kirune {

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define KIRUNE_ARENA_ALLOCATOR_ONLY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KIRUNE_ARENA_ALLOCATOR_ONLY 1
#endif
#endif

constexpr size_t kHugePage = size_t{2} << 20;
// Below this the ordinary allocator is cheaper than a mapping of its own.
// Under the address sanitizer every arena comes from the allocator, whose
// blocks the sanitizer guards.
#ifdef KIRUNE_ARENA_ALLOCATOR_ONLY
constexpr size_t kMappedFrom = ~size_t{0};
#else
constexpr size_t kMappedFrom = size_t{4} << 20;
#endif

}  // namespace

void PageArena::reset(size_t bytes) {
    release();
    if (bytes < kMappedFrom) {
        small_.reset(bytes);
        data_ = small_.data();
        size_ = bytes;
        return;
    }
    const size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    if (rounded < bytes) throw Error(kOutOfMemoryText);
    // Map one huge page more than needed and trim to a 2 MiB boundary.
    const size_t span = rounded + kHugePage;
    void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw Error(kOutOfMemoryText);
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
    if (aligned > start) munmap(p, aligned - start);
    const size_t tail = (start + span) - (aligned + rounded);
    if (tail) munmap(reinterpret_cast<void*>(aligned + rounded), tail);
    mapped_ = reinterpret_cast<void*>(aligned);
    mappedBytes_ = rounded;
    // Only advice: without huge pages the mapping still works.
    madvise(mapped_, mappedBytes_, MADV_HUGEPAGE);
    data_ = static_cast<uint8_t*>(mapped_);
    size_ = bytes;
}

void PageArena::release() noexcept {
    if (mapped_) munmap(mapped_, mappedBytes_);
    mapped_ = nullptr;
    mappedBytes_ = 0;
    small_.release();
    data_ = nullptr;
    size_ = 0;
}

}  // namespace kirune
