#pragma once
// Block-sorting transform of one block and its inverse. Rotations are sorted by
// the two-stage method: within each first-byte bucket the rising rotations
// (first byte <= second) are sorted by a stable comparison sort, the falling
// ones are placed by one induction pass.

#include <cstddef>
#include <cstdint>

#include "kirune/AlignedBuffer.h"

namespace kirune {

// Tables of the sort, sized once for the largest block of a call and held in
// one allocation (every fresh page costs a fault).
class SortWorkspace {
public:
    explicit SortWorkspace(uint32_t maxN);

    uint32_t* rotationTable() noexcept { return table_; }  // positions (low 24 bits) in sorted order
    uint64_t* keyedRows() noexcept { return keys_; }       // cached keys of one group
    uint64_t* keyScratch() noexcept { return scratch_; }   // radix passes of a group; the seed list
    uint32_t* pairStart() noexcept { return pairs_; }      // rows of the two-byte groups
    uint32_t* pairNext() noexcept { return pairs_ + 65536; }  // their fill marks

private:
    AlignedBuffer<uint8_t> arena_;
    uint64_t* keys_;
    uint64_t* scratch_;
    uint32_t* table_;
    uint32_t* pairs_;
};

// Keys (5 bytes each) the sort of an n-byte block may load before ranking by
// suffix sorting takes over; about what the ranking itself costs.
uint64_t defaultCompareBudget(uint32_t n);

// Sorts the rotations of text[0 .. n-1] (1 <= n < 2^24; text has room for 2n bytes),
// writes the last column to lastColumn[0 .. n-1] and returns the primary index.
// The order is the two-stage method's, built another way: about a third of the
// rotations are sorted by cached keys and the rest placed from them in two
// passes. A block with equal rotations, or one that needs more than
// compareBudget keys, is ranked by suffix sorting and merged by rank instead,
// which gives the table of a stable merge sort.
uint32_t twoStageSort(uint8_t* text, uint32_t n, uint8_t* lastColumn, SortWorkspace& work,
                      uint64_t compareBudget);

// Rebuilds the block from its last column, position 0 first (0 < n < 2^23).
// The column is used up (overwritten); links holds n entries and scratch
// inverseBwtScratchBytes(n) bytes.
void inverseBwt(uint8_t* out, uint8_t* lastColumn, uint32_t primaryIndex, uint32_t n,
                uint32_t* links, uint8_t* scratch);
size_t inverseBwtScratchBytes(uint32_t n);

}  // namespace kirune
