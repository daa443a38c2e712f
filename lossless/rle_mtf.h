#pragma once
// Run-length and move-to-front stages of the block-sorting coder. Each reads
// one buffer and writes another (never overlapping) and keeps nothing between
// calls. Decoders bound their output and throw the damaged-file error instead
// of overrunning it.

#include <cstdint>

#include "kirune/vector_path.h"

namespace kirune {

// The run threshold the coder uses for the first stage.
inline constexpr uint32_t kRle1Threshold = 4;

// Largest output of rle1Encode for n input bytes (a run of exactly 4 gains a byte).
constexpr uint32_t rle1EncodeBound(uint32_t n) { return n + n / 4; }

// Runs of `threshold` or more equal bytes become threshold bytes and a count.
uint32_t rle1Encode(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t threshold);
uint32_t rle1Decode(uint8_t* out, uint32_t outCapacity, const uint8_t* in, uint32_t n,
                    uint32_t threshold);

// Move-to-front variant that moves a byte to the second place, and to the
// front only when it is met again at rank 1 right after a non-zero rank.
void mtfEncode(uint8_t* out, const uint8_t* in, uint32_t n);
// The same on a given vector path (one below it where the CPU lacks it);
// mtfEncode takes the process's.
void mtfEncode(uint8_t* out, const uint8_t* in, uint32_t n, VectorPath path);
#if KIRUNE_X86_DISPATCH
void mtfEncodeAvx512(uint8_t* out, const uint8_t* in, uint32_t n);
void mtfEncodeAvx2(uint8_t* out, const uint8_t* in, uint32_t n);
#endif

// Zero runs as base-2 digits, other runs of three or more with a count,
// escapes for ranks 254 and 255. out must hold 2 x n bytes.
uint32_t rle2Encode(uint8_t* out, const uint8_t* in, uint32_t n);

// Undoes rle2Encode and then mtfEncode in one pass, as expansion runs them.
uint32_t rle2MtfDecode(uint8_t* out, uint32_t outCapacity, const uint8_t* in, uint32_t n);
// The same on a given vector path: the AVX-512 one permutes the list's front
// in a register where the CPU has byte permutes, the others move it in memory.
uint32_t rle2MtfDecode(uint8_t* out, uint32_t outCapacity, const uint8_t* in, uint32_t n, VectorPath path);
// Whether this CPU has the byte permutes of the AVX-512 path's decoder.
bool mtfDecodeHasPermutes();

}  // namespace kirune
