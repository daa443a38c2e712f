#pragma once
// Linear-time suffix sorting (induced sorting), used to rank rotations when
// comparing them byte by byte would take too long.

#include <cstdint>

namespace kirune {

// Suffix array of s[0 .. n-1], whose last value is 0 and occurs nowhere else;
// every value is below alphabet. sa receives n entries.
void buildSuffixArray(const int32_t* s, int32_t* sa, int32_t n, int32_t alphabet);

// rank[p] for each cyclic rotation p of text[0 .. n-1] (n >= 1): rotations
// compare as their ranks do, and equal rotations get equal ranks.
void rotationRanks(const uint8_t* text, uint32_t n, uint32_t* rank);

}  // namespace kirune
