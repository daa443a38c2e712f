#include "lossless/rle_mtf.h"

#include <cstring>

#include "kirune/Error.h"
#include "kirune/simd.h"
#include "kirune/vector_path.h"
#include "lossless/rle2_parse.h"

#if KIRUNE_SSE2
#include <emmintrin.h>
#endif

namespace kirune {

namespace {

// A count above 127 takes two bytes: 128 + high part, then the low byte.
constexpr uint32_t kLongCountMax = 128 + 32767;

uint8_t* writeCount(uint8_t* o, uint32_t e) {
    if (e < 128) {
        *o++ = static_cast<uint8_t>(e);
    } else {
        const uint32_t e2 = e - 128;
        *o++ = static_cast<uint8_t>((e2 >> 8) + 128);
        *o++ = static_cast<uint8_t>(e2 & 255);
    }
    return o;
}

// Moves list[1 .. r-1] one place on (r >= 2). A call to memmove per byte
// costs more than the move: 16 bytes at a time from the top, each chunk read
// before the store that overlaps it. The lowest chunk may reach below the
// list into its 16 bytes of padding and over list[0], which is put back.
inline void shiftUp(uint8_t* list, uint32_t r) {
    const uint8_t front = list[0];
    for (int32_t top = static_cast<int32_t>(r) - 16; top > -15; top -= 16) {
        uint8_t chunk[16];
        std::memcpy(chunk, list + top, 16);
        std::memcpy(list + top + 1, chunk, 16);
    }
    list[0] = front;
}

// Decoding moves mostly within the list's front 16 bytes. Done in one
// aligned vector, the next move's load finds its bytes in one store; after
// byte stores or an unaligned store it would wait for them to retire. (The
// encoder's search measured faster with the chunked shift.)
#if KIRUNE_SSE2
inline __m128i laneIndex() { return _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15); }
inline __m128i select(__m128i mask, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}
#endif

// Swaps list[0] and list[1] (16-byte aligned).
inline void swapFront(uint8_t* list) {
#if KIRUNE_SSE2
    auto* at = reinterpret_cast<__m128i*>(list);
    const __m128i v = _mm_load_si128(at);
    const __m128i swapped = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
    _mm_store_si128(at, select(_mm_cmplt_epi8(laneIndex(), _mm_set1_epi8(2)), swapped, v));
#else
    std::swap(list[0], list[1]);
#endif
}

#if KIRUNE_SSE2
// moveToSecond for 2 <= r < 64, in the list's first four aligned vectors:
// each takes its left neighbour (the top byte of the vector below coming in)
// in its lanes that lie in 2 .. r. One form for all these ranks, as which of
// them comes next follows the data and a branch on it mispredicts often.
inline void moveToSecond64(uint8_t* list, uint32_t r, uint8_t c) {
    auto* at = reinterpret_cast<__m128i*>(list);
    const __m128i k = laneIndex();
    const __m128i v0 = _mm_load_si128(at), v1 = _mm_load_si128(at + 1);
    const __m128i v2 = _mm_load_si128(at + 2), v3 = _mm_load_si128(at + 3);
    // Lanes at most r - 16j, in vector j.
    const auto upTo = [&](int j) {
        return _mm_cmplt_epi8(k, _mm_set1_epi8(static_cast<char>(static_cast<int>(r) - 16 * j + 1)));
    };
    const auto carried = [](__m128i v, __m128i below) {
        return _mm_or_si128(_mm_slli_si128(v, 1), _mm_srli_si128(below, 15));
    };
    const __m128i moved0 = _mm_and_si128(_mm_cmpgt_epi8(k, _mm_set1_epi8(1)), upTo(0));
    const __m128i out0 = select(moved0, _mm_slli_si128(v0, 1), v0);
    _mm_store_si128(at, select(_mm_cmpeq_epi8(k, _mm_set1_epi8(1)), _mm_set1_epi8(static_cast<char>(c)), out0));
    _mm_store_si128(at + 1, select(upTo(1), carried(v1, v0), v1));
    _mm_store_si128(at + 2, select(upTo(2), carried(v2, v1), v2));
    _mm_store_si128(at + 3, select(upTo(3), carried(v3, v2), v3));
}
#endif

// Puts c (the byte at rank r >= 2) second, moving list[1 .. r-1] one on.
inline void moveToSecond(uint8_t* list, uint32_t r, uint8_t c) {
#if KIRUNE_SSE2
    if (r < 64) {
        moveToSecond64(list, r, c);
        return;
    }
#endif
    shiftUp(list, r);
    list[1] = c;
}

// The list update of move-to-front decoding (encoding folds it into its search).
inline void mtfMove(uint8_t* list, uint32_t r, uint32_t prev) {
    if (r == 1) {
        if (prev != 0) swapFront(list);
    } else if (r >= 2) {
        moveToSecond(list, r, list[r]);
    }
}

// A move-to-front list behind 16 bytes of padding for shiftUp.
struct MtfList {
    alignas(16) uint8_t room[16 + 256];
    uint8_t* list() { return room + 16; }
};

#if KIRUNE_SSE2
// Where the byte that fills key sits in the list. Every byte is in the list
// once, so the search ends within it. 64 bytes a step: nearly every rank of a
// side stream is found in the first, so the loop's exit is seldom
// mispredicted.
inline uint32_t rankOfKey(const uint8_t* list, __m128i key) {
    const auto hitsAt = [&](uint32_t at) {
        const __m128i chunk = _mm_load_si128(reinterpret_cast<const __m128i*>(list + at));
        return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, key))));
    };
    for (uint32_t at = 0;; at += 64) {
        const uint64_t hits = hitsAt(at) | hitsAt(at + 16) << 16 | hitsAt(at + 32) << 32 | hitsAt(at + 48) << 48;
        if (hits) return at + static_cast<uint32_t>(__builtin_ctzll(hits));
    }
}
#else
// Where c sits in the list.
inline uint32_t rankOf(const uint8_t* list, uint8_t c) {
    uint32_t r = 0;
    while (list[r] != c) ++r;
    return r;
}
#endif

void initList(uint8_t* list) {
    for (uint32_t i = 0; i < 256; ++i) list[i] = static_cast<uint8_t>(i);
}

// Whether none of the 16 positions from p starts four equal bytes (reads
// p[0 .. 18]). Such a stretch, entered at a token boundary, is 16 literal
// bytes in both run-length forms, and the next boundary is p + 16: a run
// crossing it is at most three bytes and decodes the same either way.
inline bool noRunStarts16(const uint8_t* p) {
#if KIRUNE_SSE2
    const auto at = [p](int k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k)); };
    const __m128i a = at(0), b = at(1), c = at(2), d = at(3);
    const __m128i four = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(a, b), _mm_cmpeq_epi8(b, c)), _mm_cmpeq_epi8(c, d));
    return _mm_movemask_epi8(four) == 0;
#else
    for (int k = 0; k < 16; ++k)
        if (p[k] == p[k + 1] && p[k + 1] == p[k + 2] && p[k + 2] == p[k + 3]) return false;
    return true;
#endif
}

}  // namespace

uint32_t rle1Encode(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t threshold) {
    const uint32_t maxRun = threshold + kLongCountMax;
    uint8_t* o = out;
    uint32_t i = 0;
    while (i < n) {
        // Most of a side stream has no runs: copied 16 bytes at a time.
        if (threshold == 4 && n - i >= 19 && noRunStarts16(in + i)) {
            std::memcpy(o, in + i, 16);
            o += 16;
            i += 16;
            continue;
        }
        const uint8_t c = in[i];
        uint32_t r = 1;
        while (i + r < n && r < maxRun && in[i + r] == c) ++r;
        if (r < threshold) {
            std::memset(o, c, r);
            o += r;
        } else {
            std::memset(o, c, threshold);
            o = writeCount(o + threshold, r - threshold);
        }
        i += r;
    }
    return static_cast<uint32_t>(o - out);
}

uint32_t rle1Decode(uint8_t* out, uint32_t outCapacity, const uint8_t* in, uint32_t n,
                    uint32_t threshold) {
    uint32_t o = 0;
    uint32_t i = 0;
    while (i < n) {
        if (threshold == 4 && n - i >= 19 && outCapacity - o >= 16 && noRunStarts16(in + i)) {
            std::memcpy(out + o, in + i, 16);
            o += 16;
            i += 16;
            continue;
        }
        const uint8_t c = in[i++];
        uint32_t run = 1;
        while (run < threshold && i < n && in[i] == c) {
            ++run;
            ++i;
        }
        if (run == threshold) run += readCount(in, n, i);
        if (run > outCapacity - o) throwDamaged();
        // Most runs are short: bytes one by one rather than a call each.
        if (run <= 8) {
            for (uint32_t k = 0; k < run; ++k) out[o + k] = c;
        } else {
            std::memset(out + o, c, run);
        }
        o += run;
    }
    return o;
}

#if KIRUNE_SSE2
namespace {

// Lanes ins + 1 to r of the list's front 64 bytes (0xff), for ins 0 or 1
// and r below 64: the bytes one move shifts one place on.
struct MovedLanes {
    alignas(64) uint8_t mask[2][64][64];
    alignas(16) uint8_t place[2][16];  // lane ins alone
    constexpr MovedLanes() : mask(), place() {
        for (unsigned ins = 0; ins < 2; ++ins) {
            for (unsigned r = 0; r < 64; ++r)
                for (unsigned j = 0; j < 64; ++j) mask[ins][r][j] = j > ins && j <= r ? 0xff : 0;
            place[ins][ins] = 0xff;
        }
    }
};
inline constexpr MovedLanes kMovedLanes;

// The encoder's list update for ranks below 64, where nearly all ranks of a
// side stream fall: the front 64 bytes are rebuilt in aligned vectors, so the
// next search's loads find their bytes in whole earlier stores, and no branch
// on the rank (which follows the data) picks among the cases. Lanes ins + 1 to
// r take their left neighbour and lane ins takes c (ins is 0 for a move to
// the front, 1 for a move to the second place); with r <= ins nothing but
// lane ins, which already holds c, changes.
inline void mtfMoveFront64(uint8_t* list, uint32_t r, uint32_t ins, __m128i c) {
    auto* at = reinterpret_cast<__m128i*>(list);
    const auto* moved = reinterpret_cast<const __m128i*>(kMovedLanes.mask[ins][r]);
    __m128i carry = _mm_setzero_si128();
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_load_si128(at + k);
        const __m128i shifted = _mm_or_si128(_mm_slli_si128(v, 1), _mm_srli_si128(carry, 15));
        __m128i out = _mm_xor_si128(v, _mm_and_si128(_mm_xor_si128(v, shifted), _mm_load_si128(moved + k)));
        if (k == 0) out = select(_mm_load_si128(reinterpret_cast<const __m128i*>(kMovedLanes.place[ins])), c, out);
        _mm_store_si128(at + k, out);
        carry = v;
    }
}

// Where the byte at rank r goes: 0 (the front) for rank 0 and for rank 1
// after a non-zero rank, otherwise 1 (second place; no move for rank 1
// after rank 0).
inline uint32_t mtfPlace(uint32_t r, uint32_t prev) { return r == 0 || (r == 1 && prev != 0) ? 0 : 1; }

}  // namespace
#endif

void mtfEncode(uint8_t* out, const uint8_t* in, uint32_t n) { mtfEncode(out, in, n, activeVectorPath()); }

void mtfEncode(uint8_t* out, const uint8_t* in, uint32_t n, VectorPath path) {
#if KIRUNE_X86_DISPATCH
    switch (usableVectorPath(path)) {
        case VectorPath::Avx512:
            mtfEncodeAvx512(out, in, n);
            return;
        case VectorPath::Avx2:
            mtfEncodeAvx2(out, in, n);
            return;
        default:
            break;
    }
#else
    (void)path;
#endif
    MtfList room{};
    uint8_t* list = room.list();
    initList(list);
    if (n == 0) return;
#if KIRUNE_SSE2
    // Finding a rank, then moving the list, then finding the next rank in the
    // moved list is one long chain per byte. The next byte is looked up in
    // the list before the current move instead, and its rank corrected for
    // that move (the bytes from place ins to r - 1 moved one on, the byte at
    // r went to ins), so the search overlaps the move.
    __m128i key = _mm_set1_epi8(static_cast<char>(in[0]));
    uint32_t r = rankOfKey(list, key);
    uint32_t ins = mtfPlace(r, 1);
    for (uint32_t i = 0;; ++i) {
        const uint8_t c = in[i];
        out[i] = static_cast<uint8_t>(r);
        if (i + 1 == n) break;
        const uint8_t next = in[i + 1];
        const __m128i nextKey = _mm_set1_epi8(static_cast<char>(next));
        const uint32_t before = rankOfKey(list, nextKey);
        if (r < 64) [[likely]] {
            mtfMoveFront64(list, r, ins, key);
        } else {
            shiftUp(list, r);
            list[1] = c;
        }
        const uint32_t moved = before >= ins && before < r ? 1 : 0;
        const uint32_t rn = next == c ? ins : before + moved;
        ins = mtfPlace(rn, r);
        r = rn;
        key = nextKey;
    }
#else
    uint32_t prev = 1;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t c = in[i];
        uint32_t r = 0;
        if (list[1] == c) {
            r = 1;
            if (prev != 0) std::swap(list[0], list[1]);
        } else if (list[0] != c) {
            r = rankOf(list, c);
            shiftUp(list, r);
            list[1] = c;
        }
        out[i] = static_cast<uint8_t>(r);
        prev = r;
    }
#endif
}

uint32_t rle2Encode(uint8_t* out, const uint8_t* in, uint32_t n) {
    constexpr uint32_t kMaxRun = 3 + kLongCountMax;
    uint8_t* o = out;
    uint32_t i = 0;
    while (i < n) {
        const uint8_t s = in[i];
        // Most ranks are a lone rank from 1 to 253: one test instead of
        // three branches, each of which follows the data.
        if (static_cast<uint8_t>(s - 1) < 253 && (i + 1 == n || in[i + 1] != s)) {
            *o++ = static_cast<uint8_t>(s + 1);
            ++i;
            continue;
        }
        if (s == 0) {
            uint32_t len = 1;
            while (i + len < n && in[i + len] == 0) ++len;
            // Digits of len + 1, least significant first, without the leading 1.
            for (uint32_t v = len + 1; v != 1; v >>= 1) *o++ = static_cast<uint8_t>(v & 1);
            i += len;
        } else if (s >= 254) {
            *o++ = 255;
            *o++ = static_cast<uint8_t>(s - 254);
            ++i;
        } else {
            uint32_t r = 1;
            while (i + r < n && r < kMaxRun && in[i + r] == s) ++r;
            const uint8_t b = static_cast<uint8_t>(s + 1);
            if (r < 3) {
                for (uint32_t k = 0; k < r; ++k) *o++ = b;
            } else {
                o[0] = o[1] = o[2] = b;
                o = writeCount(o + 3, r - 3);
            }
            i += r;
        }
    }
    return static_cast<uint32_t>(o - out);
}

namespace {

// Turns ranks into bytes as they come: a zero run repeats the front byte.
class MtfSink {
public:
    MtfSink(uint8_t* out, uint32_t capacity) : out_(out), capacity_(capacity) { initList(list_); }
    MtfSink(const MtfSink&) = delete;
    void put(uint8_t rank, uint64_t count) {
        if (count > capacity_ - o_) throwDamaged();
        if (count == 0) return;
        if (rank == 0) {
            std::memset(out_ + o_, list_[0], static_cast<size_t>(count));
            o_ += static_cast<uint32_t>(count);
        } else {
            for (uint64_t k = 0; k < count; ++k) {
                out_[o_++] = list_[rank];
                mtfMove(list_, rank, prev_);
                prev_ = rank;
            }
        }
        prev_ = rank;
    }
    uint32_t size() const { return o_; }

private:
    uint8_t* out_;
    uint32_t capacity_;
    uint32_t o_ = 0;
    uint32_t prev_ = 1;
    MtfList room_{};
    uint8_t* list_ = room_.list();
};

}  // namespace

void rleStreamDamaged() { throwDamaged(); }

bool mtfDecodeHasPermutes() {
#if KIRUNE_X86_DISPATCH
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vbmi");
    }();
    return has;
#else
    return false;
#endif
}

uint32_t rle2MtfDecode(uint8_t* out, uint32_t outCapacity, const uint8_t* in, uint32_t n) {
    return rle2MtfDecode(out, outCapacity, in, n, activeVectorPath());
}

uint32_t rle2MtfDecode(uint8_t* out, uint32_t outCapacity, const uint8_t* in, uint32_t n, VectorPath path) {
#if KIRUNE_X86_DISPATCH
    if (path == VectorPath::Avx512 && mtfDecodeHasPermutes())
        return rle2MtfDecodePermuting(out, outCapacity, in, n);
#else
    (void)path;
#endif
    MtfSink sink(out, outCapacity);
    rle2Parse(sink, in, n);
    return sink.size();
}

}  // namespace kirune
