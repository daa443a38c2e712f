// The eight fixed patterns (norm 16384, Q14) that a block can be coded as with
// one signed gain.

#include "codec/dictionary.h"

namespace kirune {

const int16_t patternDictionary[kPatternCount][16] = {
    // diagonal ramp, brightest at top left
    {7772, 5181, 2591, 0, 5181, 2591, 0, -2591, 2591, 0, -2591, -5181, 0, -2591, -5181, -7772},
    // vertical ramp, brightest row at top
    {5495, 5495, 5495, 5495, 1832, 1832, 1832, 1832, -1832, -1832, -1832, -1832, -5495, -5495, -5495, -5495},
    // horizontal ramp, brightest column at left
    {5495, 1832, -1832, -5495, 5495, 1832, -1832, -5495, 5495, 1832, -1832, -5495, 5495, 1832, -1832, -5495},
    // alternating rows
    {4096, 4096, 4096, 4096, -4096, -4096, -4096, -4096, 4096, 4096, 4096, 4096, -4096, -4096, -4096, -4096},
    // alternating columns
    {4096, -4096, 4096, -4096, 4096, -4096, 4096, -4096, 4096, -4096, 4096, -4096, 4096, -4096, 4096, -4096},
    // dark 2x2 centre in a bright ring
    {3344, 0, 3344, 3344, 3344, -6689, -6689, 0, 0, -6689, -6689, 3344, 3344, 3344, 0, 3344},
    // flat
    {4096, 4096, 4096, 4096, 4096, 4096, 4096, 4096, 4096, 4096, 4096, 4096, 4096, 4096, 4096, 4096},
    // diagonal ramp, brightest at top right
    {0, 2591, 5181, 7772, -2591, 0, 2591, 5181, -5181, -2591, 0, 2591, -7772, -5181, -2591, 0},
};

}  // namespace kirune
