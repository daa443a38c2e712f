#include <gtest/gtest.h>

#include <cstring>

#include "codec/block_ops.h"
#include "codec/dictionary.h"
#include "codec/strip_decoder.h"

using namespace kirune;

// A VQ stage as the plain block arithmetic builds it: each shape row scaled
// by its row gain, then the block by the gain level. The decoder's vector
// form must give the same bits for every codeword, row gain and gain level.
TEST(VqStages, EveryCodewordAndGainAsThePlainArithmetic) {
    int mismatches = 0;
    for (int level = 0; level < kVqLevels; ++level) {
        const DictionaryClass& cls = dictionaryClasses[level];
        for (int gain = 0; gain < cls.gainSize; ++gain) {
            for (int gainByte = 0; gainByte <= kMaxGainByte; ++gainByte) {
                BlockHeader info;
                info.vqLevel = static_cast<uint8_t>(level);
                info.gainIndex[1] = static_cast<uint8_t>(gain);
                info.gainByte[1] = static_cast<uint8_t>(gainByte);
                for (int j = 0; j < 4; ++j)
                    info.shapeIndex[1][j] = static_cast<uint8_t>((gainByte * 4 + j * 37 + gain) % cls.shapeSize);
                BlockVec shape, want, got, gotShape;
                for (int j = 0; j < 4; ++j)
                    scalar::rowScale13(cls.shape[info.shapeIndex[1][j]], cls.gain[gain][j], &shape.lane[4 * j]);
                scalar::blockScale15(shape, gainLevels[gainByte], want);
                stageShape(info, 1, gotShape);
                stageBlock(info, 1, got);
                mismatches += std::memcmp(&shape, &gotShape, sizeof shape) != 0;
                mismatches += std::memcmp(&want, &got, sizeof want) != 0;
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}
