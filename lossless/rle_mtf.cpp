#include "lossless/rle_mtf.h"

#include <cstring>

#include "kirune/Error.h"

namespace kirune {

namespace {

// A count above 127 takes two bytes: 128 + high part, then the low byte.
constexpr uint32_t kLongCountMax = 128 + 32767;

[[noreturn]] void damaged() { throw Error(kDamagedFileText); }

// Reads the count that follows a full run prefix; advances i.
uint32_t readCount(const uint8_t* in, uint32_t n, uint32_t& i) {
    if (i >= n) damaged();
    const uint32_t b = in[i++];
    if (b < 128) return b;
    if (i >= n) damaged();
    return 128 + (b & 127) * 256 + in[i++];
}

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

// The list update of move-to-front decoding (encoding folds it into its search).
inline void mtfMove(uint8_t* list, uint32_t r, uint32_t prev) {
    if (r == 1) {
        if (prev != 0) std::swap(list[0], list[1]);
    } else if (r >= 2) {
        const uint8_t c = list[r];
        std::memmove(list + 2, list + 1, r - 1);
        list[1] = c;
    }
}

void initList(uint8_t* list) {
    for (uint32_t i = 0; i < 256; ++i) list[i] = static_cast<uint8_t>(i);
}

}  // namespace

uint32_t rle1Encode(uint8_t* out, const uint8_t* in, uint32_t n, uint32_t threshold) {
    const uint32_t maxRun = threshold + kLongCountMax;
    uint8_t* o = out;
    uint32_t i = 0;
    while (i < n) {
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
        const uint8_t c = in[i++];
        uint32_t run = 1;
        while (run < threshold && i < n && in[i] == c) {
            ++run;
            ++i;
        }
        if (run == threshold) run += readCount(in, n, i);
        if (run > outCapacity - o) damaged();
        std::memset(out + o, c, run);
        o += run;
    }
    return o;
}

void mtfEncode(uint8_t* out, const uint8_t* in, uint32_t n) {
    uint8_t list[256];
    initList(list);
    uint32_t prev = 1;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t c = in[i];
        uint32_t r = 0;
        if (list[1] == c) {
            r = 1;
            if (prev != 0) std::swap(list[0], list[1]);
        } else if (list[0] != c) {
            // Search and shift in one pass: entries from place 1 on move one
            // place on until c is met, then c takes place 1.
            uint8_t carry = list[1];
            r = 2;
            for (;;) {
                const uint8_t here = list[r];
                list[r] = carry;
                if (here == c) break;
                carry = here;
                ++r;
            }
            list[1] = c;
        }
        out[i] = static_cast<uint8_t>(r);
        prev = r;
    }
}

void mtfDecode(uint8_t* out, const uint8_t* in, uint32_t n) {
    uint8_t list[256];
    initList(list);
    uint32_t prev = 1;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t r = in[i];
        out[i] = list[r];
        mtfMove(list, r, prev);
        prev = r;
    }
}

uint32_t rle2Encode(uint8_t* out, const uint8_t* in, uint32_t n) {
    constexpr uint32_t kMaxRun = 3 + kLongCountMax;
    uint8_t* o = out;
    uint32_t i = 0;
    while (i < n) {
        const uint8_t s = in[i];
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

// Parses second-stage bytes and hands each run of one rank to sink.put(rank,
// count); the sink bounds its output.
template <class Sink>
void rle2Parse(Sink& sink, const uint8_t* in, uint32_t n) {
    uint32_t i = 0;
    while (i < n) {
        const uint8_t s = in[i];
        if (s == 255) {
            if (i + 1 >= n) damaged();
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
            if (j - i > 32) damaged();
            uint64_t v = 1;
            for (uint32_t k = j; k > i; --k) v = 2 * v + in[k - 1];
            sink.put(0, v - 1);
            i = j;
        }
    }
}

class RankSink {
public:
    RankSink(uint8_t* out, uint32_t capacity) : out_(out), capacity_(capacity) {}
    void put(uint8_t rank, uint64_t count) {
        if (count > capacity_ - o_) damaged();
        std::memset(out_ + o_, rank, static_cast<size_t>(count));
        o_ += static_cast<uint32_t>(count);
    }
    uint32_t size() const { return o_; }

private:
    uint8_t* out_;
    uint32_t capacity_;
    uint32_t o_ = 0;
};

// Turns ranks into bytes as they come: a zero run repeats the front byte.
class MtfSink {
public:
    MtfSink(uint8_t* out, uint32_t capacity) : out_(out), capacity_(capacity) { initList(list_); }
    void put(uint8_t rank, uint64_t count) {
        if (count > capacity_ - o_) damaged();
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
    alignas(16) uint8_t list_[256];
};

}  // namespace

uint32_t rle2Decode(uint8_t* out, uint32_t outCapacity, const uint8_t* in, uint32_t n) {
    RankSink sink(out, outCapacity);
    rle2Parse(sink, in, n);
    return sink.size();
}

uint32_t rle2MtfDecode(uint8_t* out, uint32_t outCapacity, const uint8_t* in, uint32_t n) {
    MtfSink sink(out, outCapacity);
    rle2Parse(sink, in, n);
    return sink.size();
}

}  // namespace kirune
