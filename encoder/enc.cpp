#include "encoder/enc.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <string>

#include "codec/dictionary.h"
#include "codec/transforms.h"
#include "kirune/AlignedBuffer.h"
#include "kirune/Error.h"

namespace kirune {

namespace {

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
            std::min<int64_t>(T, 16600),
            std::min<int64_t>(T, 42000),
            std::max<int64_t>(T, 4200),
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

void emitVqIndices(SideStreams& st, const BlockDecision& d) {
    const int L = d.vqLevel;
    uint8_t* buf = L < 2 ? st.indexBitsLow.data() : st.indexBitsHigh.data();
    BitCursor& cur = L < 2 ? st.indexLowPos : st.indexHighPos;
    for (int stage = 0; stage < d.stageCount; ++stage)
        for (int j = 0; j < 4; ++j) putBits(buf, cur, d.vqIndex[L][stage][j], shapeIndexBits[L]);
    for (int stage = 0; stage < d.stageCount; ++stage)
        putBits(buf, cur, d.vqIndex[L][stage][kGainSlot], gainIndexBits[L]);
    for (int stage = 0; stage < d.stageCount; ++stage)
        putByte(st.gainBytes.data(), st.gainBytesPos, static_cast<uint8_t>(d.gainLevelIndex[L][stage]));
}

void emitStagesAndLevel(SideStreams& st, const BlockDecision& d) {
    putBits(st.headerBits.data(), st.headerPos, static_cast<uint32_t>(d.stageCount - 1), 1);
    putBits(st.headerBits.data(), st.headerPos, static_cast<uint32_t>(d.vqLevel), 2);
}

void emitPattern(SideStreams& st, const BlockDecision& d) {
    putBits(st.indexBitsLow.data(), st.indexLowPos, d.vqIndex[0][0][0] + 8u * d.patternSign, 4);
    putByte(st.gainBytes.data(), st.gainBytesPos, static_cast<uint8_t>(d.gainLevelIndex[0][0]));
}

}  // namespace

int vqStartLevel(int64_t E, int32_t Q) {
    const int64_t v = E / Q;
    int L = 0;
    while (L < 3 && v >= levelStartBounds[L]) ++L;
    return L;
}

void emitBlock(SideStreams& st, const BlockDecision& d, const BlockVec& block, int32_t W) {
    uint8_t* header = st.headerBits.data();
    putBits(header, st.headerPos, d.blockType, 2);
    switch (d.blockType) {
    case BlockVq:
        emitStagesAndLevel(st, d);
        emitVqIndices(st, d);
        break;
    case BlockPredicted:
        putBits(header, st.headerPos, d.smoothFlag, 1);
        if (d.smoothFlag == 0) {
            emitStagesAndLevel(st, d);
            putByte(st.matchBytes.data(), st.matchBytesPos, matchByte(d.matchOffset, W));
            emitVqIndices(st, d);
        }
        break;
    case BlockSpecial:
        putBits(header, st.headerPos, d.specialType, 2);
        switch (d.specialType) {
        case SpecialMatch:
            putByte(st.matchBytes.data(), st.matchBytesPos, matchByte(d.matchOffset, W));
            break;
        case SpecialPattern:
            emitPattern(st, d);
            break;
        case SpecialMatchPattern:
            putByte(st.matchBytes.data(), st.matchBytesPos, matchByte(d.matchOffset, W));
            emitPattern(st, d);
            break;
        default:
            for (int i = 0; i < 16; ++i)
                putByte(st.matchBytes.data(), st.matchBytesPos, rawSampleByte(block.lane[i]));
            break;
        }
        break;
    default:
        break;
    }
    ++st.blockCounter;
}

void encodePlane(const QualityParams& q, SideStreams& st, const PlaneRegion& region, const SearchSetup& setup) {
    BlockVec* recon = region.coded;
    BlockVec* corr = region.resid;
    const uint8_t* means = region.means;
    const int32_t W = region.blocksPerRow, H = region.rows, R = region.firstRow;
    if (H < 1) return;
    if (W < 1 || R < 0)
        throw Error("plane of " + std::to_string(W) + " blocks per row cannot be coded");
    // Writers do not check for room: the buffers must hold the worst case.
    if (uint64_t{st.blockCounter} + uint64_t(W) * uint64_t(H) > st.blockCapacity)
        throw Error("strip has more blocks than the stream buffers hold");

    const PlaneLimits lim = planeLimits(q);
    const int32_t rowsUp = std::min(16383 / W - 1, 3);
    AlignedBuffer<int32_t> energies(static_cast<std::size_t>(H + R) * static_cast<std::size_t>(W));

    BlockDecision d;
    d.setup = setup;
    BlockVec smooth, residual, work, pattern;
    BlockVec stageRecon[kVqLevels], stageResidual[kVqLevels];
    int32_t stageError[kVqLevels];
    BlockVec secondRecon, secondResidual, secondWork;

    for (int32_t row = 0; row < H; ++row) {
        const std::size_t rowBase = static_cast<std::size_t>(R + row) * static_cast<std::size_t>(W);
        for (int32_t col = 0; col < W; ++col) {
            const std::size_t n = rowBase + static_cast<std::size_t>(col);
            BlockVec& x = corr[n];
            BlockVec& out = recon[n];
            const auto d0 = static_cast<int16_t>(means[n] << lim.meanShift);

            int32_t e = blockEnergy(x);
            energies[n] = e;
            bool matched = false;
            d.vqLevel = 0;
            d.smoothFlag = 0;

            // Flat: the mean alone.
            if (e <= lim.flat) {
                d.blockType = BlockFlat;
                energies[n] = 0;
                blockFill(out, d0);
                blockZero(x);
                emitBlock(st, d, out, W);
                continue;
            }

            // Smooth: interpolated from the neighbouring means.
            interpolateFromMeans(region, row, col, lim.meanLevel, smooth);
            if (blockDistance(smooth, out) <= lim.smooth) {
                d.blockType = BlockPredicted;
                d.smoothFlag = 1;
                blockCopy(smooth, out);
                blockSubScalar(smooth, d0, x);
                energies[n] = blockEnergy(x);
                emitBlock(st, d, out, W);
                continue;
            }

            // Block match on odd checkerboard squares: the first earlier block
            // of similar energy under T, else the closest one.
            int64_t best = 2 * lim.T;
            uint32_t offset = 0;
            if (((row + col) & 1) != 0) {
                const int32_t lo = (e >> 4) + (e >> 6) + (e >> 7);
                // The window's top may pass 32 bits; clamped, it admits the same energies.
                const int32_t hi = static_cast<int32_t>(
                    std::clamp<int64_t>(3 * int64_t{e} - lo, INT32_MIN, INT32_MAX));
                const int32_t lastRow = std::max(row - rowsUp, 0);
                // Takes candidate j at distance dj, candidates coming nearest
                // first; true once one comes under T.
                const auto take = [&](std::size_t j, int32_t dj) {
                    if (dj < lim.T || dj < best) {
                        best = dj;
                        offset = static_cast<uint32_t>(n - j);
                    }
                    return dj < lim.T;
                };
                bool done = false;
                for (int32_t cr = row; cr >= lastRow && !done; --cr) {
                    const int32_t cFirst = cr == row ? col - 1 : std::min(col + 31, W - 1);
                    const int32_t cLast = std::max(col - 31, 0);
                    const std::size_t candBase = static_cast<std::size_t>(R + cr) * static_cast<std::size_t>(W);
                    const int32_t* rowEnergies = energies.data() + candBase;
                    int32_t cc = cFirst;
                    // Four candidates at a time: more than half lie in the energy
                    // window, so measuring all four beats picking them out.
                    for (; cc - 3 >= cLast && !done; cc -= 4) {
                        unsigned m = energyWindow4(rowEnergies + cc - 3, lo, hi);
                        if (m == 0) continue;
                        const std::size_t j0 = candBase + static_cast<std::size_t>(cc - 3);
                        alignas(16) int32_t dist[4];
                        blockDistance4(x, corr + j0, dist);
                        // Only a candidate under T or under the best so far changes
                        // anything; mostly there is none, and the group costs no branch.
                        const int64_t limit = std::max(lim.T, best);
                        for (int k = 0; k < 4; ++k) m &= ~(static_cast<unsigned>(dist[k] >= limit) << k);
                        while (m != 0 && !done) {
                            const int k = std::bit_width(m) - 1;
                            m &= ~(1u << k);
                            done = take(j0 + static_cast<std::size_t>(k), dist[k]);
                        }
                    }
                    for (; cc >= cLast && !done; --cc) {
                        const int32_t ej = rowEnergies[cc];
                        const std::size_t j = candBase + static_cast<std::size_t>(cc);
                        if (ej != 0 && ej >= lo && ej <= hi) done = take(j, blockDistance(x, corr[j]));
                    }
                }
                if (offset != 0 && best < (e >> 1)) {
                    matched = true;
                    blockSub(x, corr[n - offset], residual);
                }
                if (best < lim.T) {
                    d.blockType = BlockSpecial;
                    d.specialType = SpecialMatch;
                    d.matchOffset = static_cast<uint16_t>(offset);
                    blockCopy(corr[n - offset], x);
                    energies[n] = energies[n - offset];
                    addMean(x, d0, out);
                    emitBlock(st, d, out, W);
                    continue;
                }
            }
            d.matchOffset = static_cast<uint16_t>(offset);
            const BlockVec* source = matched ? &corr[n - offset] : nullptr;

            // Shift mode codes the corrections at reduced precision; every
            // reconstruction below is shifted back up before use.
            if (lim.shift) {
                e >>= 2 * lim.k;
                blockShiftDown(x, lim.k);
                if (matched) {
                    blockShiftDown(residual, lim.k);
                    best >>= 2 * lim.k;
                }
            }
            const auto finish = [&](BlockVec& correction) {
                if (lim.shift) blockShiftUp(correction, lim.k);
                if (source) blockAdd(correction, *source, correction);
                blockCopy(correction, x);
                energies[n] = blockEnergy(x);
                addMean(x, d0, out);
                emitBlock(st, d, out, W);
            };

            // One signed pattern, on the correction, then on the match residual.
            int32_t D = searchPattern(d, x, pattern);
            if (D != kNoPattern && D < lim.T) {
                d.blockType = BlockSpecial;
                d.specialType = SpecialPattern;
                source = nullptr;
                finish(pattern);
                continue;
            }
            if (matched) {
                D = searchPattern(d, residual, pattern);
                if (D != kNoPattern && D < lim.T) {
                    d.blockType = BlockSpecial;
                    d.specialType = SpecialMatchPattern;
                    finish(pattern);
                    continue;
                }
            }

            // Gain-shape VQ of the correction or of the match residual.
            const BlockVec& S = matched ? residual : x;
            const int64_t E = matched ? best : e;
            const int L0 = vqStartLevel(E, lim.quality);
            blockCopy(S, work);
            blockNormalize(work, static_cast<int32_t>(E));
            int won = -1;
            for (int L = L0; L < kVqLevels; ++L) {
                // The first level normalises the quarters even when E is 0
                // (possible after the shift), so no earlier block's norms leak in.
                const int32_t normalise = L == L0 ? (E != 0 ? static_cast<int32_t>(E) : 1) : 0;
                stageError[L] = gainShapeSearch(d, L, 0, S, work, stageRecon[L], stageResidual[L], normalise);
                if (stageError[L] < lim.T) {
                    won = L;
                    break;
                }
            }
            if (won >= 0) {
                d.blockType = matched ? BlockPredicted : BlockVq;
                d.stageCount = 1;
                d.vqLevel = won;
                finish(stageRecon[won]);
                continue;
            }
            for (int L = L0; L < kVqLevels; ++L) {
                blockCopy(stageResidual[L], secondWork);
                blockNormalize(secondWork, stageError[L]);
                const int32_t D2 = gainShapeSearch(d, L, 1, stageResidual[L], secondWork, secondRecon,
                                                   secondResidual, stageError[L] != 0 ? stageError[L] : 1);
                if (D2 < lim.twoStage) {
                    won = L;
                    break;
                }
            }
            if (won >= 0) {
                d.blockType = matched ? BlockPredicted : BlockVq;
                d.stageCount = 2;
                d.vqLevel = won;
                blockAdd(stageRecon[won], secondRecon, stageRecon[won]);
                finish(stageRecon[won]);
                continue;
            }

            // Raw: sixteen bytes of the input samples, which still stand in recon.
            d.blockType = BlockSpecial;
            d.specialType = SpecialRaw;
            emitBlock(st, d, out, W);
            for (int i = 0; i < 16; ++i) out.lane[i] = rawSampleValue(rawSampleByte(out.lane[i]));
            blockSubScalar(out, d0, x);
        }
    }
}

void encodeMeans(const StripGeometry& g, StripWork& w) {
    SideStreams& st = w.streams;
    const auto regions = stripRegions(w, g);
    std::size_t total = 0;
    for (const PlaneRegion& r : regions) total += r.blocks();
    if (total > st.dcBytes.size() || (total >> 3) + 1 > st.dcSignBits.size())
        throw Error("strip has more blocks than the stream buffers hold");

    uint8_t* signs = st.dcSignBits.data();
    uint8_t* bytes = st.dcBytes.data();
    uint32_t bit = 0;
    uint32_t pos = 0;
    for (const PlaneRegion& r : regions) {
        const int32_t B = r.blocksPerRow;
        for (int32_t row = 0; row < r.rows; ++row) {
            std::size_t n = static_cast<std::size_t>(r.firstRow + row) * B;
            for (int32_t c = 0; c < B; ++c, ++n) {
                const int32_t d = int32_t{r.means[n]} - meanPrediction(r.means, n, B, row, c);
                const uint32_t sign = d < 0 ? 1 : 0;
                // A whole byte at bit 0 clears what an earlier strip left there.
                if ((bit & 7) == 0)
                    signs[bit >> 3] = static_cast<uint8_t>(sign);
                else
                    signs[bit >> 3] = static_cast<uint8_t>(signs[bit >> 3] | (sign << (bit & 7)));
                ++bit;
                bytes[pos++] = static_cast<uint8_t>(d < 0 ? -d : d);
            }
        }
    }
    // The raw length always covers the byte the next sign bit would start;
    // when the count is a multiple of 8 nothing was written there.
    if ((bit & 7) == 0) signs[bit >> 3] = 0;
    st.dcSignBitCount = bit;
    st.dcBytesPos = pos;
    const auto lengths = streamRawLengths(st);
    for (int i = 0; i < kStreamCount; ++i) st.rawLength[i] = lengths[static_cast<std::size_t>(i)];
}

void encodeStrip(const QualityParams& q, const StripGeometry& g, StripWork& w, RgbInput input,
                 const PlaneProgress& planeDone, const SearchSetup& setup) {
    rgbToYcc(g, w, input);
    downsampleChroma(g, w);
    computeMeans(q, g, w);
    removeMeans(q, g, w);
    for (const PlaneRegion& r : stripRegions(w, g)) {
        encodePlane(q, w.streams, r, setup);
        if (planeDone) planeDone();
    }
    encodeMeans(g, w);
}

}  // namespace kirune
