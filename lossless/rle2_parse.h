#pragma once
// The reading side of the run-length stages, shared by the move-to-front
// decoders of every vector path. Internal linkage throughout: a file compiled
// for a wider instruction set must not hand its copies to the others.

#include <cstdint>

namespace kirune {

// Throws the damaged-file error; out of line in the baseline's file.
[[noreturn]] void rleStreamDamaged();

// The move-to-front decoder that permutes the list's front 64 bytes in one
// register (rle_mtf_avx512.cpp), for CPUs with AVX-512 byte permutes.
uint32_t rle2MtfDecodePermuting(uint8_t* out, uint32_t outCapacity, const uint8_t* in, uint32_t n);

namespace {

// Reads the count that follows a full run prefix; advances i.
inline uint32_t readCount(const uint8_t* in, uint32_t n, uint32_t& i) {
    if (i >= n) rleStreamDamaged();
    const uint32_t b = in[i++];
    if (b < 128) return b;
    if (i >= n) rleStreamDamaged();
    return 128 + (b & 127) * 256 + in[i++];
}

// Parses second-stage bytes and hands each run of one rank to sink.put(rank,
// count); the sink bounds its output.
template <class Sink>
inline void rle2Parse(Sink& sink, const uint8_t* in, uint32_t n) {
    uint32_t i = 0;
    while (i < n) {
        const uint8_t s = in[i];
        if (s == 255) {
            if (i + 1 >= n) rleStreamDamaged();
            sink.put(in[i + 1] != 0 ? 255 : 254, 1);
            i += 2;
        } else if (s >= 2) {
            uint32_t run = 1;
            ++i;
            while (run < 3 && i < n && in[i] == s) {
                ++run;
                ++i;
            }
            if (run == 3) run += readCount(in, n, i);
            sink.put(static_cast<uint8_t>(s - 1), run);
        } else {
            uint32_t j = i;
            while (j < n && in[j] <= 1) ++j;
            // More digits than 32 describe a run no buffer could hold.
            if (j - i > 32) rleStreamDamaged();
            uint64_t v = 1;
            for (uint32_t k = j; k > i; --k) v = 2 * v + in[k - 1];
            sink.put(0, v - 1);
            i = j;
        }
    }
}

}  // namespace

}  // namespace kirune
