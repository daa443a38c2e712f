// Move-to-front decoding with the list's front 64 bytes in one AVX-512
// register: a rank below 64 (about 95% of a side stream's) reads its byte and
// moves the list with one byte permute each, so consecutive symbols no longer
// wait on stores and loads of the list. Compiled for AVX-512 with byte
// permutes; reached only where the CPU has them.

#include "kirune/simd.h"

#if KIRUNE_X86_DISPATCH

#include <immintrin.h>

#include <cstring>

#include "lossless/rle2_parse.h"

namespace kirune {

namespace {

// For each rank r below 64, where each place of the front takes its byte
// from: for r >= 2 the byte at r goes second and those at 1 .. r-1 one place
// on; entry 1 swaps the first two; entry 0 leaves the list (rank 0, and rank
// 1 right after rank 0).
struct FrontMoves {
    alignas(64) uint8_t from[64][64];
    constexpr FrontMoves() : from() {
        for (unsigned r = 0; r < 64; ++r)
            for (unsigned i = 0; i < 64; ++i)
                from[r][i] = static_cast<uint8_t>(r == 1                     ? (i < 2 ? 1 - i : i)
                                                  : r < 2 || i == 0 || i > r ? i
                                                  : i == 1                   ? r
                                                                             : i - 1);
    }
};
constexpr FrontMoves kFrontMoves;

class PermutingSink {
public:
    PermutingSink(uint8_t* out, uint32_t capacity) : out_(out), capacity_(capacity) {
        for (unsigned i = 0; i < 256; ++i) list_[i] = static_cast<uint8_t>(i);
        front_ = _mm512_load_si512(list_);
    }
    PermutingSink(const PermutingSink&) = delete;

    void put(uint8_t rank, uint64_t count) {
        if (count > capacity_ - o_) rleStreamDamaged();
        if (count == 0) return;
        if (rank == 0) {
            std::memset(out_ + o_, byteAt(0), static_cast<size_t>(count));
            o_ += static_cast<uint32_t>(count);
        } else {
            for (uint64_t k = 0; k < count; ++k) {
                putOne(rank);
                prev_ = rank;
            }
        }
        prev_ = rank;
    }
    uint32_t size() const { return o_; }

private:
    uint8_t byteAt(uint32_t r) const {
        const __m512i at = _mm512_permutexvar_epi8(_mm512_set1_epi8(static_cast<char>(r)), front_);
        return static_cast<uint8_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(at)));
    }

    void putOne(uint32_t r) {
        if (r < 64) [[likely]] {
            out_[o_++] = byteAt(r);
            const uint32_t move = r == 1 && prev_ == 0 ? 0 : r;
            front_ = _mm512_permutexvar_epi8(_mm512_load_si512(kFrontMoves.from[move]), front_);
            return;
        }
        // Deeper ranks move the list in memory, the front included.
        _mm512_store_si512(list_, front_);
        const uint8_t c = list_[r];
        out_[o_++] = c;
        std::memmove(list_ + 2, list_ + 1, r - 1);
        list_[1] = c;
        front_ = _mm512_load_si512(list_);
    }

    uint8_t* out_;
    uint32_t capacity_;
    uint32_t o_ = 0;
    uint32_t prev_ = 1;
    __m512i front_;
    alignas(64) uint8_t list_[256];
};

}  // namespace

uint32_t rle2MtfDecodePermuting(uint8_t* out, uint32_t outCapacity, const uint8_t* in, uint32_t n) {
    PermutingSink sink(out, outCapacity);
    rle2Parse(sink, in, n);
    return sink.size();
}

}  // namespace kirune

#endif
