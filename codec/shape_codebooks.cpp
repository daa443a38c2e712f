// Shape codebooks (unit 4-vectors in Q13) by VQ level, their order lists and
// bucket tables, and the per-level descriptor rows. Level 0 is fixed by the
// format; levels 1..3 are trained and generated into shape_codebooks.inc.

#include "codec/dictionary.h"

namespace kirune {

const int16_t shapeClass16[16][4] = {
    {7822, -237, -2422, 87},    {5432, 5356, 2170, -2049},   {4989, 2632, -3272, -4958},
    {4348, 3973, 3879, 4167},   {2293, -7173, 3223, 71},     {1791, -4353, -6579, 1290},
    {1389, -2157, -5165, -5818}, {230, 2501, 964, -7738},    {-230, -2501, -964, 7738},
    {-1389, 2157, 5165, 5818},  {-1791, 4353, 6579, -1290},  {-2293, 7173, -3223, -71},
    {-4348, -3973, -3879, -4167}, {-4989, -2632, 3272, 4958}, {-5432, -5356, -2170, 2049},
    {-7822, 237, 2422, -87},
};

const uint8_t shapeOrder16[3 * 16] = {
    11, 1, 10, 3, 2, 7, 9, 15, 0, 6, 8, 13, 12, 5, 14, 4,   // by component 1
    10, 9, 3, 13, 4, 15, 1, 7, 8, 14, 0, 11, 2, 12, 6, 5,   // by component 2
    8, 9, 13, 3, 14, 5, 0, 4, 11, 15, 10, 1, 12, 2, 6, 7,   // by component 3
};

const uint8_t shapeFirst16[kShapeBucketEntries] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                   0, 0, 0, 0, 4, 2, 2, 6, 6, 9};
const uint8_t shapeLast16[kShapeBucketEntries] = {6,  8,  9,  13, 13, 11, 15, 15, 15, 15, 15,
                                                  15, 15, 15, 15, 15, 15, 15, 15, 15, 15};

#include "codec/shape_codebooks.inc"

const DictionaryClass dictionaryClasses[kVqLevels] = {
    {shapeClass16, gainClass64, 16, 64, shapeFirst16, shapeLast16, gainFirst64, gainLast64, shapeOrder16,
     gainOrder64},
    {shapeClass64, gainClass64, 64, 64, shapeFirst64, shapeLast64, gainFirst64, gainLast64, shapeOrder64,
     gainOrder64},
    {shapeClass128, gainClass128, 128, 128, shapeFirst128, shapeLast128, gainFirst128, gainLast128,
     shapeOrder128, gainOrder128},
    {shapeClass256, gainClass256, 256, 256, shapeFirst256, shapeLast256, gainFirst256, gainLast256,
     shapeOrder256, gainOrder256},
};

// Energy / quality-level bounds at which stage one starts at levels 1, 2, 3.
const int32_t levelStartBounds[3] = {10179, 59723, 152823};

}  // namespace kirune
