#pragma once
// The inner loops of the searches, one table per vector path (scalar, SSE2,
// AVX2, AVX-512), chosen at run time. Each loop runs over many codewords or
// blocks per call, so one indirect call buys a whole scan in the widest units
// the CPU has. Every table gives the same results as the scalar one.
//
// Each path's kernels live in a file of their own (search_kernels_<path>.cpp)
// compiled for that instruction set; nothing in them is reached but through
// their table, which searchKernels hands out only when the CPU has the set.

#include <climits>
#include <cstdint>

#include "codec/block_vec.h"
#include "kirune/vector_path.h"

namespace kirune {

// Codewords a nearest-codeword scan may read past its end: tables it scans
// carry this many more rows.
inline constexpr int kCodewordOverread = 16;

// One block row of match candidates, scanned from column `first` down to
// column `last` (nearest first). A candidate is measured when its energy is
// not 0 and lies in [lo, hi].
struct MatchRow {
    const BlockVec* x;         // the block being matched
    const BlockVec* blocks;    // the row's corrections, by column
    const int32_t* energies;   // the row's correction energies, by column
    int32_t first, last;
    int32_t lo, hi;
    int64_t T;                 // a candidate under T ends the search
};

// The match search's state across rows: a candidate is taken when under T or
// under the best so far; `taken` is the column of the last taken in this row.
struct MatchScan {
    int64_t best;
    int32_t taken = -1;
    bool done = false;
};

// What windowRow finds: bit k of `under` is set when block k's distance is
// under the limit; `least` is the least distance of the row.
struct WindowRow {
    uint64_t under = 0;
    int32_t least = INT32_MAX;
};

// One nearest-codeword scan: rows[begin..end) against y, as nearestCode
// takes it.
struct CodeScan {
    const int16_t (*rows)[4];
    int32_t begin, end;
    const int16_t* y;
};

// The scans of one VQ stage: the four quarters' shapes, then the gain.
inline constexpr int kStageScans = 5;

struct SearchKernels {
    // Position of the first of the codewords codes[begin..end) nearest to y
    // by rowDistance, or -1 when none comes under 2^30 (an empty range
    // included). Reads up to kCodewordOverread rows past `end`.
    int (*nearestCode)(const int16_t (*codes)[4], int begin, int end, const int16_t* y);
    // nearestCode of each of the kStageScans scans into out[k]. The scans
    // are independent, so a wide path runs them side by side.
    void (*nearestCodes)(const CodeScan* scans, int* out);
    // Scans one row of match candidates into `s`.
    void (*scanMatchRow)(const MatchRow& row, MatchScan& s);
    // blockDot(target, pattern k) into dots[k] for the kPatternCount patterns.
    void (*patternDots)(const BlockVec& target, int32_t* dots);
    // One row of the rate-aware coder's match window, which measures every
    // candidate: blockDistance(x, blocks[k]) into out[k] for k < count
    // (1..64), their least and the mask of those under `limit`.
    WindowRow (*windowRow)(const BlockVec& x, const BlockVec* blocks, int32_t count, int32_t limit, int32_t* out);
};

// The table of `path`, or of the best path below it this CPU has.
const SearchKernels& searchKernels(VectorPath path);

namespace detail {
// Every path's table, defined in that path's file; the wider ones exist only
// in builds that dispatch on x86-64.
extern const SearchKernels scalarSearchKernels;
extern const SearchKernels sse2SearchKernels;
extern const SearchKernels avx2SearchKernels;
extern const SearchKernels avx512SearchKernels;

// The reference scan of match columns c down to row.last, one at a time:
// every path's tail. Compiled for the baseline, so any path may call it.
void scanMatchFrom(const MatchRow& row, MatchScan& s, int32_t c);
// The AVX2 match scan and pattern products, which the AVX-512 table shares.
void scanMatchRowAvx2(const MatchRow& row, MatchScan& s);
void patternDotsAvx2(const BlockVec& target, int32_t* dots);
WindowRow windowRowAvx2(const BlockVec& x, const BlockVec* blocks, int32_t count, int32_t limit, int32_t* out);
}  // namespace detail

}  // namespace kirune
