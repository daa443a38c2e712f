#include "encoder/search.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/block_ops.h"
#include "encoder/search_kernels.h"

namespace kirune {

namespace {

constexpr int kMaxCodebookSize = 256;  // 8-bit indices

// A codebook rewritten in each of its orders (the class order, then by
// component 1, 2, 3), so that a scan reads consecutive rows instead of
// following an order list. The zero rows past the end are the scans' overread.
struct OrderedCodebook {
    int16_t rows[4][kMaxCodebookSize + kCodewordOverread][4];
};

struct OrderedClasses {
    OrderedCodebook shape[kVqLevels], gain[kVqLevels];
};

void fillOrdered(const int16_t (*codes)[4], const uint8_t* orderLists, int size, OrderedCodebook& out) {
    for (int p = 0; p < 4; ++p)
        for (int pos = 0; pos < size; ++pos) {
            const int index = p == 0 ? pos : orderLists[(p - 1) * size + pos];
            std::memcpy(out.rows[p][pos], codes[index], sizeof out.rows[p][pos]);
        }
}

// The compiled classes, rewritten once for the whole process.
const OrderedClasses& orderedClasses() {
    static const std::unique_ptr<const OrderedClasses> tables = [] {
        auto t = std::make_unique<OrderedClasses>();
        for (int L = 0; L < kVqLevels; ++L) {
            const DictionaryClass& c = dictionaryClasses[L];
            fillOrdered(c.shape, c.shapeOrder, c.shapeSize, t->shape[L]);
            fillOrdered(c.gain, c.gainOrder, c.gainSize, t->gain[L]);
        }
        return t;
    }();
    return *tables;
}

// One codebook of a dictionary class with its per-component orders and the
// bucket bounds into them; `ordered` is its rewritten form, null for classes
// the trainer substitutes.
struct BucketedCodebook {
    const int16_t (*codes)[4];
    const uint8_t* orderLists;
    int size;
    const uint8_t* first;
    const uint8_t* last;
    const OrderedCodebook* ordered;
};

// The scan of positions first[b]..last[b] in the order of component p (the
// class order for p = 0) of a codebook with a rewritten form.
CodeScan bucketScan(const BucketedCodebook& c, int b, int p, const int16_t* y) {
    return {c.ordered->rows[p], c.first[b], c.last[b] < c.size ? c.last[b] + 1 : c.size, y};
}

// The codeword index at position `pos` of the order of component p; the
// class's first codeword stands in when the scan found none under 2^30.
int indexAt(const BucketedCodebook& c, int p, int pos) {
    if (pos < 0) return 0;
    return p == 0 ? pos : c.orderLists[(p - 1) * c.size + pos];
}

// Best codeword of positions first[b]..last[b] in the order of component p;
// the first of equal distances wins, and the class's first codeword stands
// in when none comes under 2^30.
int bestInBucket(const BucketedCodebook& c, int b, int p, const int16_t* y, const SearchKernels& kernels) {
    if (c.ordered) {
        const CodeScan s = bucketScan(c, b, p, y);
        return indexAt(c, p, kernels.nearestCode(s.rows, s.begin, s.end, s.y));
    }
    const uint8_t* order = p == 0 ? nullptr : c.orderLists + (p - 1) * c.size;
    const int begin = c.first[b], end = c.last[b] < c.size ? c.last[b] + 1 : c.size;
    if (begin >= end) return 0;
    // A class the trainer substitutes has no rewritten form: the bucket's
    // rows are copied out in order, followed by the scan's overread.
    int16_t rows[kMaxCodebookSize + kCodewordOverread][4] = {};
    const int n = std::min(end - begin, kMaxCodebookSize);
    for (int k = 0; k < n; ++k)
        std::memcpy(rows[k], c.codes[order ? order[begin + k] : begin + k], sizeof rows[0]);
    const int pos = kernels.nearestCode(rows, 0, n, y);
    return indexAt(c, p, pos < 0 ? pos : pos + begin);
}

inline int clampBucket(int b, int top) { return b < 0 ? 0 : b > top ? top : b; }

}  // namespace

namespace {

// A level's shape and gain codebooks with their rewritten forms and kernels,
// looked up once for the five searches of a stage.
struct LevelBooks {
    LevelBooks(const BlockDecision& d, int level)
        : c(d.setup.dictionaries[level]), kernels(searchKernels(d.setup.path)) {
        const bool compiled = &c == &dictionaryClasses[level];
        shape = {c.shape, c.shapeOrder, c.shapeSize, c.shapeFirst, c.shapeLast,
                 compiled ? &orderedClasses().shape[level] : nullptr};
        gain = {c.gain, c.gainOrder, c.gainSize, c.gainFirst, c.gainLast,
                compiled ? &orderedClasses().gain[level] : nullptr};
    }
    const DictionaryClass& c;
    const SearchKernels& kernels;
    BucketedCodebook shape, gain;
};

// The component and bucket a quarter (Q13) is searched in. Unit quarters
// reach buckets up to the top only; the clamp keeps anything else (a
// caller's unnormalised vector) inside the tables.
struct Bucket {
    int p, b;
};
// p: the quarter's component of largest magnitude.
Bucket shapeBucketAt(const int16_t quarter[4], int p) {
    return {p, clampBucket(shapeBucket(quarter[p]), kShapeBucketTop)};
}
Bucket shapeBucketOf(const int16_t quarter[4]) { return shapeBucketAt(quarter, rowLargestMagnitude(quarter)); }
Bucket gainBucketOf(const int16_t norms[4]) {
    const int p = rowLargest(norms);
    return {p, clampBucket(gainBucket(norms[p]), kGainBucketTop)};
}

const int16_t* shapeOf(const LevelBooks& books, BlockDecision& d, int level, int stage, int slot,
                       const int16_t quarter[4]) {
    const Bucket at = shapeBucketOf(quarter);
    const int index = bestInBucket(books.shape, at.b, at.p, quarter, books.kernels);
    d.vqIndex[level][stage][slot] = static_cast<uint32_t>(index);
    return books.c.shape[index];
}

const int16_t* gainOf(const LevelBooks& books, BlockDecision& d, int level, int stage, const int16_t norms[4]) {
    const Bucket at = gainBucketOf(norms);
    const int index = bestInBucket(books.gain, at.b, at.p, norms, books.kernels);
    d.vqIndex[level][stage][kGainSlot] = static_cast<uint32_t>(index);
    return books.c.gain[index];
}

// The five searches of a stage; those of compiled classes in one kernel
// call, side by side.
const int16_t* stageCodewords(const LevelBooks& books, BlockDecision& d, int level, int stage,
                              const BlockVec& quarters, const int16_t* shapes[4]) {
    if (!books.shape.ordered || !books.gain.ordered) {
        for (int i = 0; i < 4; ++i) shapes[i] = shapeOf(books, d, level, stage, i, quarters.lane + 4 * i);
        return gainOf(books, d, level, stage, d.quarterNorms);
    }
    CodeScan scans[kStageScans];
    Bucket at[kStageScans];
    int p[4];
    rowsLargestMagnitude(quarters, p);
    for (int i = 0; i < 4; ++i) {
        const int16_t* quarter = quarters.lane + 4 * i;
        at[i] = shapeBucketAt(quarter, p[i]);
        scans[i] = bucketScan(books.shape, at[i].b, at[i].p, quarter);
    }
    at[kGainSlot] = gainBucketOf(d.quarterNorms);
    scans[kGainSlot] = bucketScan(books.gain, at[kGainSlot].b, at[kGainSlot].p, d.quarterNorms);
    int pos[kStageScans];
    books.kernels.nearestCodes(scans, pos);
    // The rewritten rows are the codewords themselves: taking them from the
    // scan keeps the order lists off the way to the reconstruction.
    const auto row = [&](const BucketedCodebook& c, int k) {
        return pos[k] >= 0 ? scans[k].rows[pos[k]] : c.codes[0];
    };
    uint32_t* record = d.vqIndex[level][stage];
    for (int i = 0; i < 4; ++i) {
        shapes[i] = row(books.shape, i);
        record[i] = static_cast<uint32_t>(indexAt(books.shape, at[i].p, pos[i]));
    }
    record[kGainSlot] = static_cast<uint32_t>(indexAt(books.gain, at[kGainSlot].p, pos[kGainSlot]));
    return row(books.gain, kGainSlot);
}

}  // namespace

const int16_t* searchShape(BlockDecision& d, int level, int stage, int slot, const int16_t quarter[4]) {
    return shapeOf(LevelBooks(d, level), d, level, stage, slot, quarter);
}

const int16_t* searchGain(BlockDecision& d, int level, int stage, const int16_t norms[4]) {
    return gainOf(LevelBooks(d, level), d, level, stage, norms);
}

namespace {

// The gain level of x: the first of the bucket's levels from which the
// distance to x stops falling.
int searchGainLevel(int32_t x) {
    int32_t a = x >> 5;
    if (a < 0) a = -a;
    if (a > 521) a = 522;
    const int k0 = gainLevelBuckets[a], k1 = gainLevelBuckets[a + 1];
    // Starting from the bucket's first level (not from a) keeps the index a
    // gain level even when the first candidate is already 32768 away, as for
    // strongly negative gains.
    int32_t best = 32768;
    int result = k0;
    for (int k = k0; k <= k1; ++k) {
        const int32_t dist = std::abs(int32_t{gainLevels[k]} - x);
        if (dist >= best) break;  // levels increase: the distance only grows from here
        best = dist;
        result = k;
    }
    return result;
}

// The level of every 16-bit gain, searched once for the whole process: the
// gains spread over thousands of values, so one load replaces a loop whose
// length the branch predictor cannot know.
std::unique_ptr<const uint8_t[]> searchGainLevels() {
    auto t = std::make_unique<uint8_t[]>(65536);
    for (int32_t x = -32768; x < 32768; ++x)
        t[static_cast<std::size_t>(x + 32768)] = static_cast<uint8_t>(searchGainLevel(x));
    return t;
}

inline const uint8_t* gainLevelTable() {
    static const std::unique_ptr<const uint8_t[]> table = searchGainLevels();
    return table.get();
}

inline void quantiseGainBy(const uint8_t* table, BlockDecision& d, int level, int stage) {
    const int k = table[d.gainValue[level][stage] + 32768];
    d.gainValue[level][stage] = gainLevels[k];
    d.gainLevelIndex[level][stage] = static_cast<uint32_t>(k);
}

}  // namespace

void quantiseGain(BlockDecision& d, int level, int stage) { quantiseGainBy(gainLevelTable(), d, level, stage); }

namespace {

// A stage's reconstruction from its gain-scaled shapes `q` and quantised
// gain, what it leaves of `target`, and the energy of that.
VqResult stageResult(const BlockVec& q, int16_t gain, const BlockVec& target) {
    VqResult r;
    blockScale15(q, gain, r.recon);
    blockSub(target, r.recon, r.residual);
    r.error = blockEnergy(r.residual);
    return r;
}

}  // namespace

VqResult gainShapeSearch(BlockDecision& d, int level, int stage, const BlockVec& target, BlockVec& work,
                         int32_t normaliseQuarters) {
    if (normaliseQuarters != 0) quarterNormalize(work, d.quarterNorms);
    if (d.setup.observer) d.setup.observer->quantised(level, stage, work, d.quarterNorms);

    const int16_t* shapes[4];
    const int16_t* g = stageCodewords(LevelBooks(d, level), d, level, stage, work, shapes);

    BlockVec q;
    rowsScale13(shapes, g, q);
    d.gainValue[level][stage] = static_cast<int16_t>(blockDot(target, q) >> 12);
    quantiseGainBy(gainLevelTable(), d, level, stage);
    return stageResult(q, d.gainValue[level][stage], target);
}

VqResult rebuildVq(BlockDecision& d, int level, int stage, const BlockVec& target) {
    const DictionaryClass& c = d.setup.dictionaries[level];
    const uint32_t* index = d.vqIndex[level][stage];
    const int16_t* g = c.gain[index[kGainSlot]];
    const int16_t* shapes[4] = {c.shape[index[0]], c.shape[index[1]], c.shape[index[2]], c.shape[index[3]]};
    BlockVec q;
    rowsScale13(shapes, g, q);
    d.gainValue[level][stage] = gainLevels[d.gainLevelIndex[level][stage]];
    return stageResult(q, d.gainValue[level][stage], target);
}

int32_t searchPattern(BlockDecision& d, const BlockVec& target, BlockVec& recon) {
    int32_t dots[kPatternCount];
    searchKernels(d.setup.path).patternDots(target, dots);
    int32_t bestMagnitude = 0;
    int32_t bestError = int32_t{1} << 26;
    int chosen = -1;
    int32_t chosenGain = 0;
    for (int p = 0; p < kPatternCount; ++p) {
        const int32_t s = dots[p] >> 12;
        const int32_t magnitude = s < 0 ? -s : s;
        // Patterns weaker than the strongest so far are not evaluated.
        if (magnitude < bestMagnitude) continue;
        bestMagnitude = magnitude;
        BlockVec y;
        const int32_t err = blockDistance(target, blockScale15(patternBlock(p), s, y));
        if (err < bestError) {
            bestError = err;
            chosen = p;
            chosenGain = s;
        }
    }
    if (chosen < 0) {
        blockZero(recon);
        return kNoPattern;
    }
    d.vqIndex[0][0][0] = static_cast<uint32_t>(chosen);
    d.patternSign = chosenGain < 0 ? 1 : 0;
    d.gainValue[0][0] = static_cast<int16_t>(chosenGain);
    quantiseGain(d, 0, 0);
    int32_t g = gainLevels[d.gainLevelIndex[0][0]];
    if (d.patternSign) g = -g;
    return blockDistance(target, blockScale15(patternBlock(chosen), g, recon));
}

}  // namespace kirune
