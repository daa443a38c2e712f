#include "encoder/block_encoder.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <string>

#include "codec/block_ops.h"
#include "codec/dictionary.h"
#include "codec/transforms.h"
#include "encoder/search_kernels.h"
#include "kirune/AlignedBuffer.h"
#include "kirune/Error.h"

namespace kirune {

namespace {

// What decides the cascade, beside the distortion limit T of the level.
constexpr int64_t kFlatEnergyCap = 16600;      // a flat block's correction energy, whatever T
constexpr int64_t kSmoothDistanceCap = 42000;  // a smooth block's distance, whatever T
constexpr int64_t kTwoStageFloor = 4200;       // two VQ stages may always leave this much

// Limits of one plane, derived once per call from the codec parameters. The
// 64-bit width keeps 2T and 3e meaningful for the largest quality levels.
struct PlaneLimits {
    int64_t T;
    int64_t flat;
    int64_t smooth;
    int64_t twoStage;
    int32_t quality;
    bool shift;
    int k;
    int meanShift;
    int meanLevel;
};

PlaneLimits planeLimits(const QualityParams& q) {
    const int64_t T = q.distortionLimit;
    return {T,
            std::min<int64_t>(T, kFlatEnergyCap),
            std::min<int64_t>(T, kSmoothDistanceCap),
            std::max<int64_t>(T, kTwoStageFloor),
            q.qualityLevel,
            q.shiftedCorrections,
            q.residualShift,
            q.meanShift(),
            q.meanLevel};
}

inline void addMean(const BlockVec& corr, int16_t d0, BlockVec& recon) {
    blockFill(recon, d0);
    blockAdd(recon, corr, recon);
}

void emitVqIndices(SideStreams& st, const BlockHeader& h) {
    const int L = h.vqLevel;
    uint8_t* buf = L < 2 ? st.indexBitsLow.data() : st.indexBitsHigh.data();
    BitCursor& stored = L < 2 ? st.indexLowPos : st.indexHighPos;
    // The cursors are worked on in locals: the byte stores could alias the
    // stream state, and would otherwise reload it after every field.
    BitCursor cur = stored;
    for (int stage = 0; stage < h.stageCount; ++stage)
        for (int j = 0; j < 4; ++j) putBits(buf, cur, h.shapeIndex[stage][j], shapeIndexBits[L]);
    for (int stage = 0; stage < h.stageCount; ++stage) putBits(buf, cur, h.gainIndex[stage], gainIndexBits[L]);
    stored = cur;
    uint32_t gainPos = st.gainBytesPos;
    for (int stage = 0; stage < h.stageCount; ++stage) putByte(st.gainBytes.data(), gainPos, h.gainByte[stage]);
    st.gainBytesPos = gainPos;
}

void emitStagesAndLevel(SideStreams& st, const BlockHeader& h) {
    putBits(st.headerBits.data(), st.headerPos, static_cast<uint32_t>(h.stageCount - 1), 1);
    putBits(st.headerBits.data(), st.headerPos, h.vqLevel, 2);
}

void emitPattern(SideStreams& st, const BlockHeader& h) {
    putBits(st.indexBitsLow.data(), st.indexLowPos, h.pattern + 8u * h.patternSign, 4);
    putByte(st.gainBytes.data(), st.gainBytesPos, h.gainByte[0]);
}

// One block being coded: its plane index, place in the region, correction x
// (the samples minus the mean value), reconstruction out (on entry the
// samples), mean value and correction energy.
struct Block {
    std::size_t n;
    int32_t row, col;
    BlockVec& x;
    BlockVec& out;
    int16_t d0;
    int32_t e;
};

// The best earlier block found for a match, and whether it is close enough
// to code the block as a correction of it.
struct Match {
    int64_t best;
    uint32_t offset = 0;
    bool usable = false;
};

// The cascade of one plane region: each stage either codes the block and
// returns true, or leaves it to the next.
class PlaneCoder {
public:
    PlaneCoder(const QualityParams& q, SideStreams& st, const PlaneRegion& region, const SearchSetup& setup)
        : lim_(planeLimits(q)), st_(st), r_(region),
          rowsUp_(matchRowsUp(region.blocksPerRow)),
          energies_(static_cast<std::size_t>(region.rows + region.firstRow) * static_cast<std::size_t>(region.blocksPerRow)),
          kernels_(searchKernels(setup.path)) {
        d_.setup = setup;
    }

    void codeBlock(int32_t row, int32_t col) {
        const std::size_t n = static_cast<std::size_t>(r_.firstRow + row) * r_.blocksPerRow + col;
        Block b{n, row, col, r_.resid[n], r_.coded[n], static_cast<int16_t>(r_.means[n] << lim_.meanShift),
                blockEnergy(r_.resid[n])};
        energies_[n] = b.e;
        h_ = BlockHeader{};
        if (codeFlat(b) || codeSmooth(b)) return;
        Match m{2 * lim_.T};
        if (((row + col) & 1) != 0) {
            findMatch(b, m);
            if (codeMatch(b, m)) return;
        }
        h_.matchOffset = static_cast<int32_t>(m.offset);
        source_ = m.usable ? &r_.resid[n - m.offset] : nullptr;
        // Shift mode codes the corrections at reduced precision; every
        // reconstruction below is shifted back up before use.
        if (lim_.shift) {
            b.e >>= 2 * lim_.k;
            blockShiftDown(b.x, lim_.k);
            if (m.usable) {
                blockShiftDown(residual_, lim_.k);
                m.best >>= 2 * lim_.k;
            }
        }
        if (codePattern(b, m.usable) || codeVq(b, m)) return;
        codeRaw(b);
    }

private:
    void emit(const BlockVec& block) { emitBlock(st_, h_, block, r_.blocksPerRow); }

    // The mean alone.
    bool codeFlat(Block& b) {
        if (b.e > lim_.flat) return false;
        h_.type = BlockFlat;
        energies_[b.n] = 0;
        blockFill(b.out, b.d0);
        blockZero(b.x);
        emit(b.out);
        return true;
    }

    // Interpolated from the neighbouring means.
    bool codeSmooth(Block& b) {
        BlockVec smooth;
        interpolateFromMeans(r_, b.row, b.col, lim_.meanLevel, smooth);
        if (blockDistance(smooth, b.out) > lim_.smooth) return false;
        h_.type = BlockPredicted;
        h_.smoothFlag = 1;
        blockCopy(smooth, b.out);
        blockSubScalar(smooth, b.d0, b.x);
        energies_[b.n] = blockEnergy(b.x);
        emit(b.out);
        return true;
    }

    // On odd checkerboard squares: the first earlier block of similar energy
    // under T, else the closest one.
    void findMatch(const Block& b, Match& m);

    bool codeMatch(Block& b, Match& m) {
        if (m.offset != 0 && m.best < (b.e >> 1)) {
            m.usable = true;
            blockSub(b.x, r_.resid[b.n - m.offset], residual_);
        }
        if (m.best >= lim_.T) return false;
        h_.type = BlockSpecial;
        h_.subtype = SpecialMatch;
        h_.matchOffset = static_cast<int32_t>(m.offset);
        blockCopy(r_.resid[b.n - m.offset], b.x);
        energies_[b.n] = energies_[b.n - m.offset];
        addMean(b.x, b.d0, b.out);
        emit(b.out);
        return true;
    }

    // Takes `correction` (shifted, and relative to the match when there is
    // one) as the block's and writes the block.
    void finish(Block& b, BlockVec& correction) {
        if (lim_.shift) blockShiftUp(correction, lim_.k);
        if (source_) blockAdd(correction, *source_, correction);
        blockCopy(correction, b.x);
        energies_[b.n] = blockEnergy(b.x);
        addMean(b.x, b.d0, b.out);
        emit(b.out);
    }

    // One signed pattern, on the correction, then on the match residual.
    bool codePattern(Block& b, bool matched) {
        BlockVec pattern;
        int32_t D = searchPattern(d_, b.x, pattern);
        if (d_.setup.recorder) d_.setup.recorder->patterned(b.n, blockEnergy(b.x), D != kNoPattern, d_);
        if (D != kNoPattern && D < lim_.T) {
            setPattern(SpecialPattern);
            source_ = nullptr;
            finish(b, pattern);
            return true;
        }
        if (!matched) return false;
        D = searchPattern(d_, residual_, pattern);
        if (D == kNoPattern || D >= lim_.T) return false;
        setPattern(SpecialMatchPattern);
        finish(b, pattern);
        return true;
    }

    void setPattern(SpecialSubtype subtype) {
        h_.type = BlockSpecial;
        h_.subtype = subtype;
        h_.pattern = static_cast<uint8_t>(d_.vqIndex[0][0][0]);
        h_.patternSign = d_.patternSign;
        h_.gainByte[0] = static_cast<uint8_t>(d_.gainLevelIndex[0][0]);
    }

    // Gain-shape VQ of the correction or of the match residual: one stage
    // from the start level up, then two.
    bool codeVq(Block& b, const Match& m);

    void setVq(bool matched, int level, int stages) {
        h_.type = matched ? BlockPredicted : BlockVq;
        h_.stageCount = static_cast<uint8_t>(stages);
        h_.vqLevel = static_cast<uint8_t>(level);
        for (int stage = 0; stage < stages; ++stage) {
            for (int j = 0; j < 4; ++j) h_.shapeIndex[stage][j] = static_cast<uint8_t>(d_.vqIndex[level][stage][j]);
            h_.gainIndex[stage] = static_cast<uint8_t>(d_.vqIndex[level][stage][kGainSlot]);
            h_.gainByte[stage] = static_cast<uint8_t>(d_.gainLevelIndex[level][stage]);
        }
    }

    // Sixteen bytes of the input samples, which still stand in out.
    void codeRaw(Block& b) {
        h_.type = BlockSpecial;
        h_.subtype = SpecialRaw;
        emit(b.out);
        for (int i = 0; i < 16; ++i) b.out.lane[i] = rawSampleValue(rawSampleByte(b.out.lane[i]));
        blockSubScalar(b.out, b.d0, b.x);
    }

    const PlaneLimits lim_;
    SideStreams& st_;
    const PlaneRegion& r_;
    const int32_t rowsUp_;
    AlignedBuffer<int32_t> energies_;  // of the corrections as coded; 0 for flat blocks
    const SearchKernels& kernels_;
    BlockDecision d_;
    BlockHeader h_;
    BlockVec residual_;                 // correction minus the matched one
    const BlockVec* source_ = nullptr;  // the matched correction the coding is relative to
};

void PlaneCoder::findMatch(const Block& b, Match& m) {
    const int32_t W = r_.blocksPerRow, e = b.e;
    const int32_t lo = (e >> 4) + (e >> 6) + (e >> 7);
    // The window's top may pass 32 bits; clamped, it admits the same energies.
    const int32_t hi = static_cast<int32_t>(std::clamp<int64_t>(3 * int64_t{e} - lo, INT32_MIN, INT32_MAX));
    const int32_t lastRow = std::max(b.row - rowsUp_, 0);
    // Rows nearest first, each from its nearest column; the first candidate
    // under T ends the search.
    MatchScan s{m.best};
    for (int32_t cr = b.row; cr >= lastRow && !s.done; --cr) {
        const std::size_t candBase = static_cast<std::size_t>(r_.firstRow + cr) * static_cast<std::size_t>(W);
        const MatchRow row{&b.x,
                           r_.resid + candBase,
                           energies_.data() + candBase,
                           cr == b.row ? b.col - 1 : std::min(b.col + kMatchColumns, W - 1),
                           std::max(b.col - kMatchColumns, 0),
                           lo,
                           hi,
                           lim_.T};
        s.taken = -1;
        kernels_.scanMatchRow(row, s);
        if (s.taken >= 0) m.offset = static_cast<uint32_t>(b.n - (candBase + static_cast<std::size_t>(s.taken)));
    }
    m.best = s.best;
}

bool PlaneCoder::codeVq(Block& b, const Match& m) {
    const BlockVec& S = m.usable ? residual_ : b.x;
    const int64_t E = m.usable ? m.best : b.e;
    const int L0 = vqStartLevel(E, lim_.quality);
    BlockVec work;
    VqResult first[kVqLevels];
    blockCopy(S, work);
    blockNormalize(work, static_cast<int32_t>(E));
    for (int L = L0; L < kVqLevels; ++L) {
        // The first level normalises the quarters even when E is 0 (possible
        // after the shift), so no earlier block's norms leak in.
        const int32_t normalise = L == L0 ? (E != 0 ? static_cast<int32_t>(E) : 1) : 0;
        first[L] = gainShapeSearch(d_, L, 0, S, work, normalise);
        if (!m.usable && d_.setup.recorder) d_.setup.recorder->searched(b.n, L, static_cast<int32_t>(E), d_);
        if (first[L].error < lim_.T) {
            setVq(m.usable, L, 1);
            finish(b, first[L].recon);
            return true;
        }
    }
    BlockVec secondWork;
    for (int L = L0; L < kVqLevels; ++L) {
        blockCopy(first[L].residual, secondWork);
        blockNormalize(secondWork, first[L].error);
        const VqResult second =
            gainShapeSearch(d_, L, 1, first[L].residual, secondWork, first[L].error != 0 ? first[L].error : 1);
        if (second.error < lim_.twoStage) {
            setVq(m.usable, L, 2);
            blockAdd(first[L].recon, second.recon, first[L].recon);
            finish(b, first[L].recon);
            return true;
        }
    }
    return false;
}

}  // namespace

int vqStartLevel(int64_t E, int32_t Q) {
    const int64_t v = E / Q;
    int L = 0;
    while (L < 3 && v >= levelStartBounds[L]) ++L;
    return L;
}

void emitBlock(SideStreams& st, const BlockHeader& h, const BlockVec& block, int32_t blocksPerRow) {
    uint8_t* header = st.headerBits.data();
    putBits(header, st.headerPos, h.type, 2);
    switch (h.type) {
    case BlockVq:
        emitStagesAndLevel(st, h);
        emitVqIndices(st, h);
        break;
    case BlockPredicted:
        putBits(header, st.headerPos, h.smoothFlag, 1);
        if (h.smoothFlag == 0) {
            emitStagesAndLevel(st, h);
            putByte(st.matchBytes.data(), st.matchBytesPos, matchByte(static_cast<uint32_t>(h.matchOffset), blocksPerRow));
            emitVqIndices(st, h);
        }
        break;
    case BlockSpecial:
        putBits(header, st.headerPos, h.subtype, 2);
        switch (h.subtype) {
        case SpecialMatch:
            putByte(st.matchBytes.data(), st.matchBytesPos, matchByte(static_cast<uint32_t>(h.matchOffset), blocksPerRow));
            break;
        case SpecialPattern:
            emitPattern(st, h);
            break;
        case SpecialMatchPattern:
            putByte(st.matchBytes.data(), st.matchBytesPos, matchByte(static_cast<uint32_t>(h.matchOffset), blocksPerRow));
            emitPattern(st, h);
            break;
        default:
            for (int i = 0; i < 16; ++i) putByte(st.matchBytes.data(), st.matchBytesPos, rawSampleByte(block.lane[i]));
            break;
        }
        break;
    default:
        break;
    }
    ++st.blockCounter;
}

void encodePlane(const QualityParams& q, SideStreams& st, const PlaneRegion& region, const SearchSetup& setup) {
    if (region.rows < 1) return;
    if (region.blocksPerRow < 1 || region.firstRow < 0)
        throw Error("plane of " + std::to_string(region.blocksPerRow) + " blocks per row cannot be coded");
    // Writers do not check for room: the buffers must hold the worst case.
    if (uint64_t{st.blockCounter} + region.blocks() > st.blockCapacity)
        throw Error("strip has more blocks than the stream buffers hold");
    PlaneCoder coder(q, st, region, setup);
    for (int32_t row = 0; row < region.rows; ++row)
        for (int32_t col = 0; col < region.blocksPerRow; ++col) coder.codeBlock(row, col);
}

}  // namespace kirune
