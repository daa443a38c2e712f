#pragma once
// The quantisers the block encoder calls for one block: one stage of
// gain-shape vector quantisation at a VQ level, and one signed pattern. Both
// record their indices in the per-block decision state, from which the block
// encoder takes the winner's into the block header, and return the
// reconstruction and its squared error.
//
// Levels and stages are explicit arguments: the pattern search records into
// level 0, stage 0; stage-one VQ into stage 0 and stage two into stage 1 of
// the level being tried.

#include <cstddef>
#include <cstdint>

#include "codec/block_vec.h"
#include "codec/dictionary.h"
#include "kirune/vector_path.h"

namespace kirune {

inline constexpr int kVqStages = 2;
inline constexpr int kVqSlots = 5;  // shape indices of quarters 0..3, then the gain-dictionary index
inline constexpr int kGainSlot = 4;

// Told about every vector gainShapeSearch quantises: the normalised quarters
// (Q13, four rows of `quarters`) and the quarter norms (about Q14) of the
// block. The dictionary trainer collects them; production code leaves it null.
class VqObserver {
public:
    virtual void quantised(int level, int stage, const BlockVec& quarters, const int16_t norms[4]) = 0;

protected:
    ~VqObserver() = default;
};

struct BlockDecision;

// Told the outcome of each first-stage VQ search the cascade makes on a
// block's own correction (`energy` is what it normalised by), so that the
// rate-aware coder, which makes the same searches, can take them over.
class VqRecorder {
public:
    virtual void searched(std::size_t block, int level, int32_t energy, const BlockDecision& d) = 0;
    // The pattern search on the same correction (`found` false when no
    // pattern came under its bound).
    virtual void patterned(std::size_t /*block*/, int32_t /*energy*/, bool /*found*/, const BlockDecision& /*d*/) {}

protected:
    ~VqRecorder() = default;
};

// What the searches quantise against. The defaults are the compiled tables;
// the trainer substitutes its candidate classes and an observer. The block
// encoder takes one of these (optionally) and copies it into its decision state.
// `path` picks the vector kernels; every path gives the same results.
struct SearchSetup {
    const DictionaryClass* dictionaries = dictionaryClasses;
    VqObserver* observer = nullptr;
    VectorPath path = activeVectorPath();
    VqRecorder* recorder = nullptr;
};

// What the searches of one block record, for the block encoder to take the
// winning level's indices from. Overwritten block by block; only
// quarterNorms carries over between the stage-one calls of one block.
struct BlockDecision {
    // A pattern block keeps its number in vqIndex[0][0][0]
    // and its gain-level index in gainLevelIndex[0][0].
    uint32_t vqIndex[kVqLevels][kVqStages][kVqSlots] = {};
    int16_t gainValue[kVqLevels][kVqStages] = {};  // raw gain, then its quantised value
    uint32_t gainLevelIndex[kVqLevels][kVqStages] = {};
    int16_t quarterNorms[4] = {};
    uint8_t patternSign = 0;

    SearchSetup setup;
};

// One stage of gain-shape VQ of `target` at `level` (0..3), recorded into
// `stage` (0..1). `work` is target normalised to norm 16384; its quarters are
// normalised in place (and their norms kept in d.quarterNorms) when
// `normaliseQuarters` (the block's energy) is not 0, and reused as they stand
// when it is 0. Returns the reconstruction, target - reconstruction and the
// energy of the latter.
struct VqResult {
    BlockVec recon;
    BlockVec residual;
    int32_t error = 0;
};
VqResult gainShapeSearch(BlockDecision& d, int level, int stage, const BlockVec& target, BlockVec& work,
                         int32_t normaliseQuarters);

// What gainShapeSearch returned, rebuilt from the indices it recorded at
// `level`, `stage` (shapes, gain codeword, gain level) for the same target.
VqResult rebuildVq(BlockDecision& d, int level, int stage, const BlockVec& target);

// Returned by searchPattern when no pattern comes below 2^26: the attempt has
// failed and must not be taken whatever the limit.
inline constexpr int32_t kNoPattern = INT32_MAX;

// Best signed pattern for `target` (sample units). Records the pattern number,
// sign and gain-level index into level 0, stage 0, writes the reconstruction
// and returns its squared error, or kNoPattern (recon zeroed, nothing recorded).
int32_t searchPattern(BlockDecision& d, const BlockVec& target, BlockVec& recon);

// Nearest codeword of the level's shape class to a normalised quarter (Q13)
// within its bucket; records the index in `slot` (0..3). Returns the codeword.
const int16_t* searchShape(BlockDecision& d, int level, int stage, int slot, const int16_t quarter[4]);

// Nearest codeword of the level's gain class to the quarter norms (Q14)
// within its bucket; records the index in the gain slot. Returns the codeword.
const int16_t* searchGain(BlockDecision& d, int level, int stage, const int16_t norms[4]);

// Replaces gainValue[level][stage] by the nearest gain level (never negative)
// and records its index.
void quantiseGain(BlockDecision& d, int level, int stage);

}  // namespace kirune
