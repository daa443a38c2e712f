#include "encoder/rate_aware_encoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "codec/block_ops.h"
#include "codec/dictionary.h"
#include "codec/stream_syntax.h"
#include "codec/strip_decoder.h"
#include "codec/transforms.h"
#include "encoder/block_encoder.h"
#include "encoder/search.h"
#include "encoder/search_kernels.h"
#include "encoder/strip_encoder.h"
#include "kirune/Error.h"

namespace kirune {

namespace {

// Lambda at level 1, and how it grows with the level: the cascade's PSNR
// falls about 2.2 dB per doubling of the level, a rate-aware choice's about
// 3 dB per doubling of lambda, so lambda grows as level^0.77 for each level
// to keep its PSNR while spending fewer bytes.
constexpr double kLambdaAtLevelOne = 22.8;
constexpr double kLambdaExponent = 0.77;

// log2 of the counts most models reach, std::log2's own results, built
// once for the whole process.
constexpr uint32_t kTabledLog2s = 1u << 16;
const double* log2Table() {
    static const std::unique_ptr<const double[]> table = [] {
        auto t = std::make_unique<double[]>(kTabledLog2s);
        for (uint32_t k = 0; k < kTabledLog2s; ++k) t[k] = std::log2(static_cast<double>(k));
        return std::unique_ptr<const double[]>(std::move(t));
    }();
    return table.get();
}

// Running symbol statistics of a block-sorted stream: the cost of a symbol
// is estimated from how often it has been written so far in the plane. The
// logarithms are kept, as costs are asked for far more often than symbols
// added.
template <int N>
class SymbolCostModel {
public:
    SymbolCostModel() {
        std::fill(std::begin(count_), std::end(count_), 1u);
        std::fill(std::begin(logCount_), std::end(logCount_), 0.0);
    }
    double bits(int s) const { return logTotal_ - logCount_[s]; }
    // What the commonest symbol costs: no symbol costs less.
    double leastBits() const { return logTotal_ - logMost_; }
    void add(int s) {
        logCount_[s] = log2Of(++count_[s]);
        logMost_ = std::max(logMost_, logCount_[s]);
        logTotal_ = log2Of(++total_);
    }
    double log2Of(uint32_t n) const {
        return n < kTabledLog2s ? log2s_[n] : std::log2(static_cast<double>(n));
    }

private:
    uint32_t count_[N];
    double logCount_[N];
    uint32_t total_ = N;
    double logTotal_ = std::log2(static_cast<double>(N));
    double logMost_ = 0.0;
    const double* const log2s_ = log2Table();
};
using ByteCostModel = SymbolCostModel<256>;

// Block headers by what they announce: flat, smooth, the four special
// kinds, then VQ and VQ on a match by stages and level. The header stream
// is block-sorted, so a header costs about what its kind's frequency says,
// not its raw bits.
constexpr int kHeaderKinds = 6 + 2 * 2 * kVqLevels;
constexpr int vqHeaderKind(bool onMatch, int stages, int level) {
    return 6 + (onMatch ? 2 * kVqLevels : 0) + (stages - 1) * kVqLevels + level;
}
int headerKind(const BlockHeader& h) {
    switch (h.type) {
    case BlockFlat:
        return 0;
    case BlockSpecial:
        return 2 + h.subtype;
    case BlockVq:
        return 6 + (h.stageCount - 1) * kVqLevels + h.vqLevel;
    default:
        return h.smoothFlag ? 1 : 6 + 2 * kVqLevels + (h.stageCount - 1) * kVqLevels + h.vqLevel;
    }
}

enum ChoiceKind { KindFlat, KindSmooth, KindMatch, KindPattern, KindMatchPattern, KindVq, KindMatchVq, KindRaw };

// One way of coding the current block: what its header announces, the
// correction the decoder will hold and the samples it will rebuild.
struct Candidate {
    BlockHeader h;
    BlockVec corr;
    BlockVec recon;
    double cost = std::numeric_limits<double>::infinity();
    ChoiceKind kind = KindFlat;
};

// The block being coded: samples, correction, mean value, match source.
struct CurrentBlock {
    std::size_t n = 0;
    int32_t row = 0, col = 0;
    BlockVec samples;
    BlockVec x;
    int16_t d0 = 0;
    uint32_t matchOffset = 0;  // closest earlier correction, 0 for none
    int32_t matchDistance = 0;  // its distance from x
    bool meanMoved = false;     // x is no longer the correction the cascade saw
};

// The cascade's first-stage VQ searches on each block's own correction,
// kept while it codes a plane for the rate-aware coder that follows, which
// makes the same searches (the target depends on the block alone).
class CascadeSearches final : public VqRecorder {
public:
    explicit CascadeSearches(const PlaneRegion& r)
        : first_(static_cast<std::size_t>(r.firstRow) * static_cast<std::size_t>(r.blocksPerRow)), found_(r.blocks()) {}

    void searched(std::size_t block, int level, int32_t energy, const BlockDecision& d) override {
        Found& f = at(block);
        if (f.levels != 0 && f.energy != energy) return;
        f.energy = energy;
        f.levels = static_cast<uint8_t>(f.levels | 1u << level);
        for (int j = 0; j < kVqSlots; ++j) f.index[level][j] = static_cast<uint8_t>(d.vqIndex[level][0][j]);
        f.gainLevel[level] = static_cast<uint8_t>(d.gainLevelIndex[level][0]);
    }
    void patterned(std::size_t block, int32_t energy, bool found, const BlockDecision& d) override {
        Found& f = at(block);
        f.patternEnergy = energy;
        f.pattern = found ? static_cast<uint8_t>(d.vqIndex[0][0][0] | (d.patternSign ? kPatternSigned : 0))
                          : kNoPatternFound;
        f.patternGain = static_cast<uint8_t>(d.gainLevelIndex[0][0]);
    }
    // Puts the outcome of the pattern search into `d` and its reconstruction
    // into `recon`, as searchPattern would have, when the cascade made it on
    // a target of the same energy; kNoPattern when it found none, 0 when it
    // made no such search.
    int32_t recallPattern(std::size_t block, int32_t energy, BlockDecision& d, BlockVec& recon) const {
        const Found& f = found_[block - first_];
        if (f.pattern == kNotSearched || f.patternEnergy != energy) return 0;
        if (f.pattern == kNoPatternFound) {
            blockZero(recon);
            return kNoPattern;
        }
        const int chosen = f.pattern & ~kPatternSigned;
        d.vqIndex[0][0][0] = static_cast<uint32_t>(chosen);
        d.patternSign = f.pattern & kPatternSigned ? 1 : 0;
        d.gainLevelIndex[0][0] = f.patternGain;
        d.gainValue[0][0] = gainLevels[f.patternGain];
        blockScale15(patternBlock(chosen), d.patternSign ? -gainLevels[f.patternGain] : gainLevels[f.patternGain], recon);
        return 1;
    }
    // Puts the indices of the search at `level` into `d`, as the search would
    // have, when the cascade made it on a target of the same energy.
    bool recall(std::size_t block, int level, int32_t energy, BlockDecision& d) const {
        const Found& f = found_[block - first_];
        if ((f.levels >> level & 1u) == 0 || f.energy != energy) return false;
        for (int j = 0; j < kVqSlots; ++j) d.vqIndex[level][0][j] = f.index[level][j];
        d.gainLevelIndex[level][0] = f.gainLevel[level];
        return true;
    }

private:
    // Shape and gain indices fit a byte (codebooks of at most 256, 128 gain levels).
    static constexpr uint8_t kPatternSigned = 0x80, kNoPatternFound = 0xFE, kNotSearched = 0xFF;
    struct Found {
        int32_t energy = 0;
        int32_t patternEnergy = 0;
        uint8_t pattern = kNotSearched;  // number, kPatternSigned for a negative gain
        uint8_t patternGain = 0;
        uint8_t levels = 0;
        uint8_t gainLevel[kVqLevels];
        uint8_t index[kVqLevels][kVqSlots];
    };
    Found& at(std::size_t block) {
        if (block < first_ || block - first_ >= found_.size()) throw Error("cascade search outside its plane");
        return found_[block - first_];
    }
    std::size_t first_;
    std::vector<Found> found_;
};

// The least share of its target's energy a VQ stage leaves at each level,
// on a block's own correction [0] or on what a match leaves of it [1]: one
// search in a few hundred comes lower. A level's error is also at least
// kLeastNextLevel of the level below's, a second stage's kLeastSecondStage
// of the first's. Searches that cannot win even then are not made.
constexpr double kLeastFirstStage[2][kVqLevels] = {{0.044, 0.018, 0.009, 0.006}, {0.075, 0.038, 0.021, 0.014}};
constexpr double kLeastNextLevel[2][kVqLevels] = {{0.0, 0.174, 0.213, 0.243}, {0.0, 0.177, 0.25, 0.243}};
constexpr double kLeastSecondStage[2][kVqLevels] = {{0.114, 0.050, 0.032, 0.021}, {0.126, 0.057, 0.033, 0.020}};

class RatePlaneCoder {
public:
    RatePlaneCoder(const QualityParams& q, SideStreams& st, const PlaneRegion& region, double weight,
                   double lambdaScale, const CascadeSearches* searches = nullptr)
        : q_(q), st_(st), r_(region), weight_(weight), lambda_(rateLambda(q) * lambdaScale),
          rowsUp_(matchRowsUp(region.blocksPerRow)), kernels_(searchKernels(d_.setup.path)), searches_(searches) {
        fillMatchBytes();
        // Small mean differences are the common ones from the start: a model
        // that starts flat would price a difference of 0 as high as any
        // other until one had been coded, and never move a mean to make one.
        for (int d = 0; d < 6; ++d)
            for (int k = 0; k < 64 >> d; ++k) meanBytes_.add(d);
    }

    ChoiceKind codeBlock(int32_t row, int32_t col);
    void setLambdaScale(double scale) { lambda_ = rateLambda(q_) * scale; }
    // Weighted squared error of the last block coded.
    double lastError() const { return weight_ * blockDistance(best_.recon, cur_.samples); }

private:
    // Whether a coding of at least `bits` could still beat the best so far:
    // its error is never negative, so lambda times its bits bounds its cost.
    // The bound is shaded by a part in 10^12, so that rounding in how its
    // bits were summed can never drop a coding that would have won.
    // The same with a weighted error of at least `error` besides the bits.
    bool mayWin(double error, double bits) const { return error + lambda_ * bits * (1.0 - 1e-12) < best_.cost; }
    bool worthTrying(double bits) const { return lambda_ * bits * (1.0 - 1e-12) < best_.cost; }
    static int vqIndexBits(int level) { return 4 * shapeIndexBits[level] + gainIndexBits[level]; }
    double matchBits(uint32_t offset) const { return match_.bits(matchByte(offset, r_.blocksPerRow)); }
    std::size_t regionIndex() const {
        return static_cast<std::size_t>(cur_.row) * static_cast<std::size_t>(r_.blocksPerRow) +
               static_cast<std::size_t>(cur_.col);
    }
    // The match byte of every place in the window, by rows up and columns
    // back, so that the scan needs no division per candidate.
    void fillMatchBytes();
    uint8_t matchByteAt(int32_t up, int32_t back) const {
        return windowBytes_[static_cast<std::size_t>(up)][static_cast<std::size_t>(back + kMatchColumns)];
    }

    // Takes `c` as the best so far when its cost is lower; fills in its
    // cost (with its header's, beside `bits`) and, for kinds rebuilt from
    // their correction, its samples.
    void offer(Candidate& c, double bits);
    void offerFlatAndSmooth();
    void scanMatches();
    void scanMatchRow(int32_t& closest, int32_t cr, int32_t cFirst, int32_t cLast);
    void offerRaw();
    void offerPattern(const BlockVec* source);
    void offerVq(const BlockVec* source);
    void offerVqStage(const BlockVec* source, int level, int stages, const BlockVec& shiftedCorr);
    void commit();
    void searchCandidates();
    void offerGainSteps(const Candidate& c, double bits, const BlockVec* source);
    void setMean(uint8_t m);
    bool meanMayMove() const;
    double meanBits(int m) const;
    void tryMovedMean();
    void tryMeanAt(int m);
    void searchLike(const Candidate& kept);

    const QualityParams q_;
    SideStreams& st_;
    const PlaneRegion& r_;
    const double weight_;
    double lambda_;
    const int32_t rowsUp_;
    ByteCostModel gain_, match_;
    SymbolCostModel<kHeaderKinds> header_;
    // Magnitudes of the mean differences. Their signs cost a bit each
    // whatever they are (the block sort finds nothing in them), so they
    // never decide.
    ByteCostModel meanBytes_;
    // Which blocks were coded smooth: their samples were rebuilt from their
    // neighbours' mean bytes, which therefore may no longer move.
    std::vector<uint8_t> smooth_ = std::vector<uint8_t>(r_.blocks());
    BlockDecision d_;
    const SearchKernels& kernels_;
    uint8_t windowBytes_[kMatchRowsUp + 1][2 * kMatchColumns + 1] = {};
    const CascadeSearches* const searches_;
    CurrentBlock cur_;
    Candidate best_;
};

void RatePlaneCoder::fillMatchBytes() {
    const int32_t W = r_.blocksPerRow;
    for (int32_t up = 0; up <= rowsUp_; ++up)
        for (int32_t back = -kMatchColumns; back <= kMatchColumns; ++back) {
            const int32_t offset = up * W + back;
            if (offset > 0) windowBytes_[up][back + kMatchColumns] = matchByte(static_cast<uint32_t>(offset), W);
        }
}

void RatePlaneCoder::offer(Candidate& c, double bits) {
    // No error is negative: when the bits alone cannot win, neither can the
    // coding, and its samples need not be rebuilt.
    const double rate = lambda_ * (bits + header_.bits(headerKind(c.h)));
    if (!(rate < best_.cost)) return;
    // Smooth and raw blocks come with their samples; the decoder rebuilds
    // every other kind as the mean value plus the correction.
    if (c.kind != KindSmooth && c.kind != KindRaw) {
        blockFill(c.recon, cur_.d0);
        blockAdd(c.recon, c.corr, c.recon);
    }
    c.cost = weight_ * blockDistance(c.recon, cur_.samples) + rate;
    if (c.cost < best_.cost) best_ = c;
}

void RatePlaneCoder::offerFlatAndSmooth() {
    Candidate flat;
    flat.kind = KindFlat;
    blockZero(flat.corr);
    offer(flat, 0.0);

    // Its bits are its header's alone: when they cannot win, offer() would
    // refuse it, so its samples need not be interpolated.
    if (!(lambda_ * (0.0 + header_.bits(1)) < best_.cost)) return;
    Candidate smooth;
    smooth.kind = KindSmooth;
    smooth.h.type = BlockPredicted;
    smooth.h.smoothFlag = 1;
    interpolateFromMeans(r_, cur_.row, cur_.col, q_.meanLevel, smooth.recon);
    blockSubScalar(smooth.recon, cur_.d0, smooth.corr);
    offer(smooth, 0.0);
}

// Every earlier block of the match window as a plain match; the closest
// one is kept as the source of the refinements.
void RatePlaneCoder::scanMatches() {
    cur_.matchOffset = 0;
    // Every coding relative to a match costs at least a header and a match
    // byte.
    double header = std::min(header_.bits(2 + SpecialMatch), header_.bits(2 + SpecialMatchPattern));
    for (int stages = 1; stages <= 2; ++stages)
        for (int L = 0; L < kVqLevels; ++L) header = std::min(header, header_.bits(vqHeaderKind(true, stages, L)));
    if (!worthTrying(header + match_.leastBits())) return;
    const int32_t W = r_.blocksPerRow;
    const int32_t lastRow = std::max(cur_.row - rowsUp_, 0);
    int32_t closest = std::numeric_limits<int32_t>::max();
    for (int32_t cr = cur_.row; cr >= lastRow; --cr) {
        const int32_t cFirst = cr == cur_.row ? cur_.col - 1 : std::min(cur_.col + kMatchColumns, W - 1);
        const int32_t cLast = std::max(cur_.col - kMatchColumns, 0);
        if (cFirst >= cLast) scanMatchRow(closest, cr, cFirst, cLast);
    }
    cur_.matchDistance = closest;
}

// Columns cFirst down to cLast of region row cr, nearest first. Distances
// are measured for the whole row first, four blocks at a time.
void RatePlaneCoder::scanMatchRow(int32_t& closest, int32_t cr, int32_t cFirst, int32_t cLast) {
    const int32_t count = cFirst - cLast + 1;
    const std::size_t base = static_cast<std::size_t>(r_.firstRow + cr) * static_cast<std::size_t>(r_.blocksPerRow) +
                             static_cast<std::size_t>(cLast);
    const BlockVec* row = r_.resid + base;
    // No match costs less than its header and the commonest match byte: a
    // distance at or above the reach cannot win, whatever its byte.
    const double matchHeader = header_.bits(2 + SpecialMatch);
    const double leastBits = matchHeader + match_.leastBits();
    const auto reach = [&] {
        return static_cast<int32_t>(std::clamp(std::ceil((best_.cost - lambda_ * leastBits) / weight_), 0.0, 2147483647.0));
    };
    int32_t limit = reach();
    int32_t dist[2 * kMatchColumns + 1];
    const WindowRow measured = kernels_.windowRow(cur_.x, row, count, limit, dist);
    if (measured.least < closest) {
        int32_t i = count - 1;
        while (dist[i] != measured.least) --i;
        closest = measured.least;
        cur_.matchOffset = static_cast<uint32_t>(cur_.n - (base + static_cast<std::size_t>(i)));
    }
    const int32_t up = cur_.row - cr, back = cur_.col - cLast;
    // Nearest first; the reach only shrinks as better codings are found.
    for (uint64_t rest = measured.under; rest != 0;) {
        const int32_t i = 63 - std::countl_zero(rest);
        rest &= ~(uint64_t{1} << i);
        const int32_t d = dist[i];
        if (d >= limit) continue;
        const auto offset = static_cast<uint32_t>(cur_.n - (base + static_cast<std::size_t>(i)));
        // The reconstruction error of a match is its distance.
        const double bits = match_.bits(matchByteAt(up, back - i));
        if (weight_ * d + lambda_ * (matchHeader + bits) >= best_.cost) continue;
        Candidate m;
        m.kind = KindMatch;
        m.h.type = BlockSpecial;
        m.h.subtype = SpecialMatch;
        m.h.matchOffset = static_cast<int32_t>(offset);
        blockCopy(row[i], m.corr);
        offer(m, bits);
        limit = reach();
    }
}

void RatePlaneCoder::offerRaw() {
    Candidate raw;
    raw.kind = KindRaw;
    raw.h.type = BlockSpecial;
    raw.h.subtype = SpecialRaw;
    // Sixteen sample bytes cost at least sixteen of the commonest.
    if (!worthTrying(header_.bits(2 + SpecialRaw) + 16 * match_.leastBits())) return;
    double bits = 0.0;
    for (int i = 0; i < 16; ++i) {
        const uint8_t b = rawSampleByte(cur_.samples.lane[i]);
        bits += match_.bits(b);
        raw.recon.lane[i] = rawSampleValue(b);
    }
    blockSubScalar(raw.recon, cur_.d0, raw.corr);
    offer(raw, bits);
}

// Shift mode codes corrections at reduced precision: the searches see the
// target shifted down, the candidates hold it shifted back up.
void RatePlaneCoder::offerPattern(const BlockVec* source) {
    const double matchBitsHere = source ? matchBits(cur_.matchOffset) : 0.0;
    if (!worthTrying(header_.bits(2 + (source ? SpecialMatchPattern : SpecialPattern)) + 4 + gain_.leastBits() +
                     matchBitsHere))
        return;
    BlockVec target, pattern;
    if (source)
        blockSub(cur_.x, *source, target);
    else
        blockCopy(cur_.x, target);
    if (q_.shiftedCorrections) blockShiftDown(target, q_.residualShift);
    // The cascade searched the block's own correction already, when it got
    // as far as patterns.
    int32_t found = 0;
    if (!source && !cur_.meanMoved && searches_) found = searches_->recallPattern(cur_.n, blockEnergy(target), d_, pattern);
    if (found == 0) found = searchPattern(d_, target, pattern);
    if (found == kNoPattern) return;
    Candidate c;
    c.kind = source ? KindMatchPattern : KindPattern;
    c.h.type = BlockSpecial;
    c.h.subtype = source ? SpecialMatchPattern : SpecialPattern;
    c.h.pattern = static_cast<uint8_t>(d_.vqIndex[0][0][0]);
    c.h.patternSign = d_.patternSign;
    c.h.gainByte[0] = static_cast<uint8_t>(d_.gainLevelIndex[0][0]);
    if (q_.shiftedCorrections) blockShiftUp(pattern, q_.residualShift);
    if (source) {
        blockAdd(pattern, *source, pattern);
        c.h.matchOffset = static_cast<int32_t>(cur_.matchOffset);
    }
    blockCopy(pattern, c.corr);
    double bits = 4 + gain_.bits(c.h.gainByte[0]);
    if (source) bits += matchBits(cur_.matchOffset);
    offer(c, bits);
    offerGainSteps(c, bits, source);
}

// One VQ candidate from the indices the searches just recorded at `level`.
void RatePlaneCoder::offerVqStage(const BlockVec* source, int level, int stages, const BlockVec& shiftedCorr) {
    Candidate c;
    c.kind = source ? KindMatchVq : KindVq;
    c.h.type = source ? BlockPredicted : BlockVq;
    c.h.stageCount = static_cast<uint8_t>(stages);
    c.h.vqLevel = static_cast<uint8_t>(level);
    double bits = 0.0;
    for (int stage = 0; stage < stages; ++stage) {
        for (int j = 0; j < 4; ++j) c.h.shapeIndex[stage][j] = static_cast<uint8_t>(d_.vqIndex[level][stage][j]);
        c.h.gainIndex[stage] = static_cast<uint8_t>(d_.vqIndex[level][stage][kGainSlot]);
        c.h.gainByte[stage] = static_cast<uint8_t>(d_.gainLevelIndex[level][stage]);
        bits += vqIndexBits(level) + gain_.bits(c.h.gainByte[stage]);
    }
    blockCopy(shiftedCorr, c.corr);
    if (q_.shiftedCorrections) blockShiftUp(c.corr, q_.residualShift);
    if (source) {
        blockAdd(c.corr, *source, c.corr);
        c.h.matchOffset = static_cast<int32_t>(cur_.matchOffset);
        bits += matchBits(cur_.matchOffset);
    }
    offer(c, bits);
    offerGainSteps(c, bits, source);
}

// Every level from the cascade's start level, one stage then two (all
// stage-one searches first: they share the quarter norms).
void RatePlaneCoder::offerVq(const BlockVec* source) {
    BlockVec target;
    if (source)
        blockSub(cur_.x, *source, target);
    else
        blockCopy(cur_.x, target);
    if (q_.shiftedCorrections) blockShiftDown(target, q_.residualShift);
    const int32_t E = blockEnergy(target);
    const int L0 = vqStartLevel(E, q_.qualityLevel);
    BlockVec work;  // normalised for the first search made, if any
    // Bits every stage costs at least (its gain byte), and the match byte.
    const double stageBits = gain_.leastBits(), matchBitsHere = source ? matchBits(cur_.matchOffset) : 0.0;
    const auto leastBits = [&](int stages, int L) {
        return header_.bits(vqHeaderKind(source != nullptr, stages, L)) + stages * (vqIndexBits(L) + stageBits) +
               matchBitsHere;
    };
    if (!worthTrying(header_.leastBits() + vqIndexBits(L0) + stageBits + matchBitsHere)) return;
    VqResult first[kVqLevels];
    bool searched[kVqLevels] = {};
    const int on = source ? 1 : 0;
    bool normalised = false;  // the quarters of `work`, once for every level
    // Each level costs more index bits than the one below.
    for (int L = L0; L < kVqLevels && worthTrying(header_.leastBits() + vqIndexBits(L) + stageBits + matchBitsHere);
         ++L) {
        // A level whose two-stage coding may still win is searched even
        // when its first stage alone cannot.
        if (!worthTrying(leastBits(1, L)) && !worthTrying(leastBits(2, L))) continue;
        // The sample domain is the target's unless corrections are shifted.
        if (!q_.shiftedCorrections) {
            double least = kLeastFirstStage[on][L] * E;
            for (int k = L - 1; k >= L0; --k)
                if (searched[k]) {
                    least = std::max(least, kLeastNextLevel[on][L] * first[k].error);
                    break;
                }
            least *= weight_;
            if (!mayWin(least, leastBits(1, L)) && !mayWin(least * kLeastSecondStage[on][L], leastBits(2, L))) continue;
        }
        // At a moved mean the target is another, though its energy may be
        // the same (a half-step mean): the cascade's searches do not stand.
        if (!source && !cur_.meanMoved && searches_ && searches_->recall(cur_.n, L, E, d_)) {
            first[L] = rebuildVq(d_, L, 0, target);
        } else {
            if (!normalised) {
                blockCopy(target, work);
                blockNormalize(work, E);
            }
            const int32_t normalise = normalised ? 0 : (E != 0 ? E : 1);
            normalised = true;
            first[L] = gainShapeSearch(d_, L, 0, target, work, normalise);
        }
        searched[L] = true;
        offerVqStage(source, L, 1, first[L].recon);
    }
    BlockVec secondWork, both;
    for (int L = L0; L < kVqLevels; ++L) {
        if (!searched[L] || !worthTrying(leastBits(2, L))) continue;
        if (!q_.shiftedCorrections && !mayWin(weight_ * kLeastSecondStage[on][L] * first[L].error, leastBits(2, L)))
            continue;
        blockCopy(first[L].residual, secondWork);
        blockNormalize(secondWork, first[L].error);
        const VqResult second =
            gainShapeSearch(d_, L, 1, first[L].residual, secondWork, first[L].error != 0 ? first[L].error : 1);
        blockAdd(first[L].recon, second.recon, both);
        offerVqStage(source, L, 2, both);
    }
}

void RatePlaneCoder::commit() {
    const BlockHeader& h = best_.h;
    emitBlock(st_, h, cur_.samples, r_.blocksPerRow);
    header_.add(headerKind(h));
    if (h.matchesEarlierBlock()) match_.add(matchByte(static_cast<uint32_t>(h.matchOffset), r_.blocksPerRow));
    if (h.type == BlockSpecial && h.subtype == SpecialRaw)
        for (int i = 0; i < 16; ++i) match_.add(rawSampleByte(cur_.samples.lane[i]));
    if (h.type == BlockSpecial && (h.subtype == SpecialPattern || h.subtype == SpecialMatchPattern))
        gain_.add(h.gainByte[0]);
    if (h.type == BlockVq || (h.type == BlockPredicted && !h.smoothFlag))
        for (int stage = 0; stage < h.stageCount; ++stage) gain_.add(h.gainByte[stage]);
    blockCopy(best_.corr, r_.resid[cur_.n]);
    blockCopy(best_.recon, r_.coded[cur_.n]);
    smooth_[regionIndex()] = best_.kind == KindSmooth;
    const int d = int{r_.means[cur_.n]} - meanPrediction(r_.means, cur_.n, r_.blocksPerRow, cur_.row, cur_.col);
    meanBytes_.add(std::abs(d));
}

ChoiceKind RatePlaneCoder::codeBlock(int32_t row, int32_t col) {
    cur_.n = static_cast<std::size_t>(r_.firstRow + row) * r_.blocksPerRow + col;
    cur_.row = row;
    cur_.col = col;
    blockCopy(r_.coded[cur_.n], cur_.samples);
    blockCopy(r_.resid[cur_.n], cur_.x);
    cur_.d0 = static_cast<int16_t>(r_.means[cur_.n] << q_.meanShift());
    cur_.meanMoved = false;
    best_ = Candidate{};
    searchCandidates();
    tryMovedMean();
    commit();
    return best_.kind;
}

void RatePlaneCoder::searchCandidates() {
    offerFlatAndSmooth();
    scanMatches();
    offerRaw();
    offerPattern(nullptr);
    offerVq(nullptr);
    // Coding relative to a match only pays when the match is nearer to the
    // correction than zero is, and seldom unless it takes a fifth of its
    // energy away.
    if (cur_.matchOffset != 0 && 5 * int64_t{cur_.matchDistance} < 4 * int64_t{blockEnergy(cur_.x)}) {
        const BlockVec source = r_.resid[cur_.n - cur_.matchOffset];
        offerPattern(&source);
        offerVq(&source);
    }
}

// The gain byte of a VQ candidate's last stage, or a pattern's, a few levels
// either side: the searches take the level nearest the gain, while the
// block-sorted gain stream favours the levels most used. The correction is
// rebuilt as the decoder rebuilds it.
void RatePlaneCoder::offerGainSteps(const Candidate& c, double bits, const BlockVec* source) {
    constexpr int kSteps = 4;
    const BlockHeader& h = c.h;
    const bool pattern = h.type == BlockSpecial;
    const int last = pattern ? 0 : h.stageCount - 1;
    const int g0 = h.gainByte[last];
    const double header = header_.bits(headerKind(h));
    // A step never costs fewer bits than its cheapest gain byte, and its
    // error is hardly ever under four fifths of the coding's own at its
    // nearest gain (measured here when offer() stopped at its bits):
    // codings that cannot win even then are left before their steps are
    // built.
    double leastGainBits = std::numeric_limits<double>::infinity();
    for (int g = std::max(g0 - kSteps, 0); g <= std::min(g0 + kSteps, kMaxGainByte); ++g)
        if (g != g0) leastGainBits = std::min(leastGainBits, gain_.bits(g));
    const double fixedBits = bits - gain_.bits(g0) + header;
    double ownError = c.cost - lambda_ * (bits + header);
    if (!(c.cost < std::numeric_limits<double>::infinity())) {
        BlockVec recon;
        blockFill(recon, cur_.d0);
        blockAdd(recon, c.corr, recon);
        ownError = weight_ * blockDistance(recon, cur_.samples);
    }
    const double leastError = 0.8 * ownError;
    if (!mayWin(leastError, fixedBits + leastGainBits)) return;
    BlockVec unit, earlier;
    blockZero(earlier);
    if (pattern) {
        for (int i = 0; i < 16; ++i) unit.lane[i] = patternDictionary[h.pattern][i];
    } else {
        stageShape(h, last, unit);
        if (last == 1) stageBlock(h, 0, earlier);
    }
    // The samples less all of the rebuilt block that does not depend on the
    // step. Sample arithmetic wraps at 16 bits, where a shift distributes
    // over a sum, so each step's error is that of the rebuilt block.
    BlockVec rest, shiftedEarlier = earlier;
    blockSubScalar(cur_.samples, cur_.d0, rest);
    if (q_.shiftedCorrections) blockShiftUp(shiftedEarlier, q_.residualShift);
    blockSub(rest, shiftedEarlier, rest);
    if (source) blockSub(rest, *source, rest);
    for (int g = std::max(g0 - kSteps, 0); g <= std::min(g0 + kSteps, kMaxGainByte); ++g) {
        const double stepBits = bits - gain_.bits(g0) + gain_.bits(g);
        if (g == g0 || !mayWin(leastError, stepBits + header)) continue;
        // Costed as offer() costs it; the candidate is only built when it wins.
        BlockVec scaled;
        blockScale15(unit, pattern && h.patternSign ? -gainLevels[g] : gainLevels[g], scaled);
        BlockVec corr = scaled;
        if (q_.shiftedCorrections) blockShiftUp(scaled, q_.residualShift);
        const double cost = weight_ * blockDistance(scaled, rest) + lambda_ * (stepBits + header);
        if (!(cost < best_.cost)) continue;
        blockAdd(earlier, corr, corr);
        if (q_.shiftedCorrections) blockShiftUp(corr, q_.residualShift);
        if (source) blockAdd(corr, *source, corr);
        BlockVec recon;
        blockFill(recon, cur_.d0);
        blockAdd(recon, corr, recon);
        best_ = c;
        best_.h.gainByte[last] = static_cast<uint8_t>(g);
        best_.corr = corr;
        best_.recon = recon;
        best_.cost = cost;
    }
}

void RatePlaneCoder::setMean(uint8_t m) {
    r_.means[cur_.n] = m;
    cur_.meanMoved = true;
    cur_.d0 = static_cast<int16_t>(m << q_.meanShift());
    blockSubScalar(cur_.samples, cur_.d0, cur_.x);
}

// A smooth block's samples come from its neighbours' mean bytes as they
// stood; the decoder builds them from the final ones. So a block whose left
// or upper neighbour is smooth keeps its mean (those below and to the right
// are not coded yet, and see the mean that stays).
bool RatePlaneCoder::meanMayMove() const {
    const std::size_t k = regionIndex();
    if (cur_.col > 0 && smooth_[k - 1]) return false;
    return cur_.row == 0 || !smooth_[k - static_cast<std::size_t>(r_.blocksPerRow)];
}

// Bits of the mean differences that mean byte m of the current block
// decides: its own against its prediction, and those of the blocks it
// predicts (at their mean bytes as they stand).
double RatePlaneCoder::meanBits(int m) const {
    const int32_t B = r_.blocksPerRow;
    const auto diff = [&](int d) { return meanBytes_.bits(std::abs(d)); };
    double bits = diff(m - meanPrediction(r_.means, cur_.n, B, cur_.row, cur_.col));
    if (cur_.col + 1 < B) bits += diff(int{r_.means[cur_.n + 1]} - m);
    if (cur_.col == 0 && cur_.row + 1 < r_.rows) bits += diff(int{r_.means[cur_.n + static_cast<std::size_t>(B)]} - m);
    return bits;
}

// A mean byte a step nearer its prediction costs fewer bits, and the
// block's coding can absorb the step; a step either way also shifts the
// target of the block's searches, which often finds a better coding. The
// block is searched again at each such mean, where a coding only counts if
// it beats the best so far with the bits of both means included.
void RatePlaneCoder::tryMovedMean() {
    if (!meanMayMove()) return;
    const int m0 = r_.means[cur_.n];
    const int P = meanPrediction(r_.means, cur_.n, r_.blocksPerRow, cur_.row, cur_.col);
    const int toward = P > m0 ? 1 : -1;
    if (P != m0) tryMeanAt(m0 + toward);
    tryMeanAt(m0 - toward);
    if (P == m0) tryMeanAt(m0 - 1);
    else if (std::abs(P - m0) >= 2) tryMeanAt(m0 + 2 * toward);
}

// Codes the block again at mean byte m, keeping it when it beats the best
// coding at the mean it has now.
void RatePlaneCoder::tryMeanAt(int m) {
    if (m < 0 || m > 255) return;
    const uint8_t now = r_.means[cur_.n];
    const auto m1 = static_cast<uint8_t>(m);
    const double bar = best_.cost + lambda_ * (meanBits(now) - meanBits(m1));
    if (!(bar > 0.0)) return;
    // The coding kept, moved with the mean: when even it costs well above
    // the bar, a search there seldom finds one under it. VQ, which can
    // absorb part of the step, gets more room; smooth and raw blocks do not
    // move with the mean and are searched again as before.
    if (best_.kind != KindSmooth && best_.kind != KindRaw) {
        BlockVec moved;
        blockFill(moved, static_cast<int16_t>((m1 << q_.meanShift()) - cur_.d0));
        blockAdd(moved, best_.recon, moved);
        const double there =
            best_.cost + weight_ * (blockDistance(moved, cur_.samples) - blockDistance(best_.recon, cur_.samples));
        const bool vq = best_.kind == KindVq || best_.kind == KindMatchVq;
        if (!(there < bar * (vq ? 2.0 : 1.1))) return;
    }
    const Candidate kept = best_;
    const CurrentBlock keptBlock = cur_;
    setMean(m1);
    best_ = Candidate{};
    best_.cost = bar;
    searchLike(kept);
    if (best_.cost < bar) return;
    best_ = kept;
    cur_ = keptBlock;
    r_.means[cur_.n] = now;
}

// At a moved mean, the codings of the kind the rounded mean chose: flat,
// smooth and raw (cheap), a plain match with the same source, and the same
// pattern or VQ at every level on it. Searching the match window again
// would gain little for much of the time.
void RatePlaneCoder::searchLike(const Candidate& kept) {
    offerFlatAndSmooth();
    offerRaw();
    const BlockHeader& h = kept.h;
    BlockVec source;
    const BlockVec* from = nullptr;
    if (h.matchesEarlierBlock()) {
        cur_.matchOffset = static_cast<uint32_t>(h.matchOffset);
        blockCopy(r_.resid[cur_.n - cur_.matchOffset], source);
        from = &source;
        Candidate m;
        m.kind = KindMatch;
        m.h.type = BlockSpecial;
        m.h.subtype = SpecialMatch;
        m.h.matchOffset = h.matchOffset;
        blockCopy(source, m.corr);
        offer(m, matchBits(cur_.matchOffset));
    }
    if (kept.kind == KindPattern || kept.kind == KindMatchPattern) offerPattern(from);
    if (kept.kind == KindVq || kept.kind == KindMatchVq) offerVq(from);
}

}  // namespace

double planeErrorWeight(int plane, int32_t colourSampling) {
    // Squared gains of the inverse transform: Y reaches R, G and B at 1;
    // Cb reaches B at 1.772 and G at 0.344; Cr reaches R at 1.402, G at 0.714.
    constexpr double kGain[3] = {3.0, 1.772 * 1.772 + 0.344 * 0.344, 1.402 * 1.402 + 0.714 * 0.714};
    if (plane == 0) return 1.0;
    const double pixels = colourSampling == Sampling420 ? 4.0 : colourSampling == Sampling422 ? 2.0 : 1.0;
    return kGain[plane] / kGain[0] * pixels;
}

double rateLambda(const QualityParams& q) {
    return kLambdaAtLevelOne * std::pow(static_cast<double>(q.qualityLevel), kLambdaExponent);
}

namespace {

// A region's samples and mean bytes (which a rate-aware coding moves), kept
// so that a coding can be undone: the corrections are the samples less their
// mean value again.
struct RegionCopy {
    std::vector<BlockVec> coded;
    std::vector<uint8_t> means;
    int meanShift;

    RegionCopy(const PlaneRegion& r, const QualityParams& q) : meanShift(q.meanShift()) {
        const BlockVec* first = r.coded + firstBlock(r);
        coded.assign(first, first + r.blocks());
        means.assign(r.means + firstBlock(r), r.means + firstBlock(r) + r.blocks());
    }
    void restore(const PlaneRegion& r) const {
        const std::size_t first = firstBlock(r);
        std::copy(means.begin(), means.end(), r.means + first);
        for (std::size_t i = 0; i < coded.size(); ++i) {
            blockCopy(coded[i], r.coded[first + i]);
            blockSubScalar(coded[i], static_cast<int16_t>(r.means[first + i] << meanShift), r.resid[first + i]);
        }
    }
    static std::size_t firstBlock(const PlaneRegion& r) {
        return static_cast<std::size_t>(r.firstRow) * static_cast<std::size_t>(r.blocksPerRow);
    }
};

// Where the plane's symbols start in the streams, so that a coding can be
// taken out of them again.
struct StreamMark {
    BitCursor header, low, high;
    uint32_t gain = 0, match = 0, blocks = 0;

    explicit StreamMark(const SideStreams& st)
        : header(st.headerPos), low(st.indexLowPos), high(st.indexHighPos), gain(st.gainBytesPos),
          match(st.matchBytesPos), blocks(st.blockCounter) {}

    void rewind(SideStreams& st) const {
        clearBits(st.headerBits, header, st.headerPos);
        clearBits(st.indexBitsLow, low, st.indexLowPos);
        clearBits(st.indexBitsHigh, high, st.indexHighPos);
        st.headerPos = header, st.indexLowPos = low, st.indexHighPos = high;
        st.gainBytesPos = gain, st.matchBytesPos = match, st.blockCounter = blocks;
    }
    // Bit writers add into zeroed bytes, reaching one byte past their cursor.
    static void clearBits(StreamBuffer& buf, BitCursor from, BitCursor to) {
        if (buf.empty()) return;
        buf.data()[from.byte] = static_cast<uint8_t>(buf.data()[from.byte] & ((1u << from.bit) - 1u));
        const std::size_t end = std::min<std::size_t>(std::size_t{to.byte} + 2, buf.size());
        if (end > std::size_t{from.byte} + 1) std::fill(buf.data() + from.byte + 1, buf.data() + end, uint8_t{0});
    }
};

// Weighted squared error per block row of the region's coding, against the
// samples in `source`.
std::vector<double> rowErrors(const PlaneRegion& r, const RegionCopy& source, double weight) {
    std::vector<double> rows(static_cast<std::size_t>(r.rows), 0.0);
    const std::size_t first = RegionCopy::firstBlock(r);
    for (std::size_t i = 0; i < r.blocks(); ++i)
        rows[i / static_cast<std::size_t>(r.blocksPerRow)] +=
            weight * blockDistance(r.coded[first + i], source.coded[i]);
    return rows;
}

// Steers lambda so that the error of the rows coded so far stays at `aim`
// times the cascade's, assuming a row's error grows about as lambda does.
class LambdaSteering {
public:
    LambdaSteering(const std::vector<double>& cascadeRows, double scale, double aim)
        : cascade_(cascadeRows), scale_(scale), aim_(aim) {}

    double scale() const { return scale_; }
    void rowDone(std::size_t row, double error) {
        const double c = cascade_[row];
        owed_ += aim_ * c - error;
        if (row + 1 >= cascade_.size() || c <= 0.0) return;
        const double next = cascade_[row + 1];
        if (next <= 0.0) return;
        // Half of what is owed (or to spare) is settled on the next row.
        const double wanted = std::max(aim_ * next + 0.5 * owed_, 0.2 * aim_ * next);
        const double expected = error / c * next;
        const double factor = expected > 0.0 ? std::sqrt(wanted / expected) : 2.0;
        scale_ = std::clamp(scale_ * std::clamp(factor, 0.5, 2.0), kMinScale, kMaxScale);
    }

private:
    static constexpr double kMinScale = 1.0 / 1024, kMaxScale = 64.0;
    const std::vector<double>& cascade_;
    double scale_;
    const double aim_;
    double owed_ = 0.0;
};

void checkPlane(const SideStreams& st, const PlaneRegion& region, const RateOptions& options) {
    if (region.blocksPerRow < 1 || region.firstRow < 0)
        throw Error("plane of " + std::to_string(region.blocksPerRow) + " blocks per row cannot be coded");
    if (uint64_t{st.blockCounter} + region.blocks() > st.blockCapacity)
        throw Error("strip has more blocks than the stream buffers hold");
    if (!(options.lambdaScale > 0.0)) throw Error("rate-aware coding needs a positive lambda");
}

// One plane region to code and the weight of its error.
struct PlaneTask {
    const QualityParams& q;
    SideStreams& st;
    const PlaneRegion& region;
    double weight;
    const CascadeSearches* searches = nullptr;  // the cascade's, when it coded the plane first
};

// The region coded once with lambda at `scale`, or steered when `steering`
// is given; returns its weighted error.
double codeRegion(const PlaneTask& t, double scale, LambdaSteering* steering, RateChoiceCounts& counts) {
    const PlaneRegion& region = t.region;
    RatePlaneCoder coder(t.q, t.st, region, t.weight, steering ? steering->scale() : scale, t.searches);
    double total = 0.0;
    for (int32_t row = 0; row < region.rows; ++row) {
        double error = 0.0;
        for (int32_t col = 0; col < region.blocksPerRow; ++col) {
            ++counts.blocks[coder.codeBlock(row, col)];
            error += coder.lastError();
        }
        total += error;
        if (steering) {
            steering->rowDone(static_cast<std::size_t>(row), error);
            coder.setLambdaScale(steering->scale());
        }
    }
    return total;
}

// Codes the region under the cascade's error: a first pass from the given
// scale, a second from a scale lowered by what the first overshot, else the
// cascade's own coding.
void codeUnderCascade(const PlaneTask& t, const RateOptions& options, RateChoiceCounts& counts) {
    const QualityParams& q = t.q;
    SideStreams& st = t.st;
    const PlaneRegion& region = t.region;
    const RegionCopy source(region, q);
    const StreamMark mark(st);
    // The cascade's searches on each block's own correction are kept for
    // the rate-aware passes, which make them again.
    CascadeSearches searches(region);
    SearchSetup setup;
    if (options.reuseCascadeSearches) setup.recorder = &searches;
    encodePlane(q, st, region, setup);
    PlaneTask task = t;
    if (options.reuseCascadeSearches) task.searches = &searches;
    const std::vector<double> cascadeRows = rowErrors(region, source, t.weight);
    double cascade = 0.0;
    for (const double e : cascadeRows) cascade += e;
    double start = options.lambdaScale;
    for (const double aim : {0.99, 0.96}) {
        mark.rewind(st);
        source.restore(region);
        RateChoiceCounts mine;
        LambdaSteering steering(cascadeRows, start, aim);
        const double error = codeRegion(task, start, &steering, mine);
        if (error <= cascade) {
            for (std::size_t k = 0; k < counts.blocks.size(); ++k) counts.blocks[k] += mine.blocks[k];
            return;
        }
        start *= std::clamp(aim * cascade / error, 0.25, 0.9);
    }
    mark.rewind(st);
    source.restore(region);
    encodePlane(q, st, region);
}

}  // namespace

void encodePlaneRateAware(const QualityParams& q, SideStreams& st, const PlaneRegion& region, double errorWeight,
                          const RateOptions& options) {
    if (region.rows < 1) return;
    checkPlane(st, region, options);
    RateChoiceCounts counts;
    const PlaneTask task{q, st, region, errorWeight};
    if (options.meetCascade)
        codeUnderCascade(task, options, counts);
    else
        codeRegion(task, options.lambdaScale, nullptr, counts);
    if (options.counts)
        for (std::size_t k = 0; k < counts.blocks.size(); ++k) options.counts->blocks[k] += counts.blocks[k];
}

void encodeStripRateAware(const QualityParams& q, const StripGeometry& g, StripWork& w, RgbInput input,
                          const PlaneProgress& planeDone, const RateOptions& options) {
    // Counting is shared by the planes, so it keeps them one after another.
    const PlaneRun run{planeDone, options.counts ? 1 : options.planeThreads};
    encodeStripWith(q, g, w, input, run, [&](SideStreams& st, const PlaneRegion& r, int plane) {
        encodePlaneRateAware(q, st, r, planeErrorWeight(plane, w.colourSampling), options);
    });
}

}  // namespace kirune
