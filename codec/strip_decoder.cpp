#include "codec/strip_decoder.h"

#include <cstring>

#include "codec/block_ops.h"
#include "codec/dictionary.h"
#include "codec/transforms.h"
#include "kirune/Error.h"

namespace kirune {

namespace {

// A bit stream's reader looks one byte past the data (its 16-bit window).
uint32_t checkedLength(const SideStreams& st, int id, uint32_t window) {
    const uint32_t len = st.rawLength[id];
    if (uint64_t{len} + window > streamBuffer(st, id).size()) throwDamaged();
    return len;
}

[[gnu::always_inline]] inline void readVqFields(BlockStreamReaders& r, BlockHeader& info) {
    const int L = info.vqLevel;
    BitReader& idx = L < 2 ? r.indexLow : r.indexHigh;
    const int sw = shapeIndexBits[L];
    const int gw = gainIndexBits[L];
    for (int stage = 0; stage < info.stageCount; ++stage)
        for (int j = 0; j < 4; ++j) info.shapeIndex[stage][j] = static_cast<uint8_t>(idx.read(sw));
    for (int stage = 0; stage < info.stageCount; ++stage)
        info.gainIndex[stage] = static_cast<uint8_t>(idx.read(gw));
    for (int stage = 0; stage < info.stageCount; ++stage) {
        const uint8_t g = r.gain.read();
        if (g > kMaxGainByte) throwDamaged();
        info.gainByte[stage] = g;
    }
}

[[gnu::always_inline]] inline void readStagesAndLevel(BlockStreamReaders& r, BlockHeader& info) {
    info.stageCount = static_cast<uint8_t>(r.header.read(1) + 1);
    info.vqLevel = static_cast<uint8_t>(r.header.read(2));
}

[[gnu::always_inline]] inline void readPatternFields(BlockStreamReaders& r, BlockHeader& info) {
    const uint32_t code = r.indexLow.read(4);
    info.pattern = static_cast<uint8_t>(code & 7);
    info.patternSign = static_cast<uint8_t>(code >> 3);
    const uint8_t g = r.gain.read();
    if (g > kMaxGainByte) throwDamaged();
    info.gainByte[0] = g;
}

// Indices are read at the class's bit width, so every value designates a
// codeword as long as the classes are as large as their widths say.
void requireDictionaryWidths() {
    for (int L = 0; L < kVqLevels; ++L)
        if (dictionaryClasses[L].shapeSize < (1 << shapeIndexBits[L]) ||
            dictionaryClasses[L].gainSize < (1 << gainIndexBits[L]))
            throw Error("dictionary tables are smaller than their index widths");
}

#if KIRUNE_SSE2
// A stage's block in two vectors of two rows each, built in registers: stored
// row by row and loaded whole, it would wait on store forwarding. Row gains
// and gain levels are 16-bit, so each product's bits n..n+15 are the low
// product's high bits and the high product's low bits.
struct StageRows {
    __m128i top, bottom;
    void storeTo(BlockVec& out) const {
        detail::store(out, 0, top);
        detail::store(out, 1, bottom);
    }
};

template <int n>
inline __m128i scaledBy(__m128i v, __m128i g) {
    return _mm_or_si128(_mm_srli_epi16(_mm_mullo_epi16(v, g), n), _mm_slli_epi16(_mm_mulhi_epi16(v, g), 16 - n));
}

inline StageRows stageShapeRows(const BlockHeader& info, int stage) {
    const DictionaryClass& cls = dictionaryClasses[info.vqLevel];
    const auto rows = [&](int j) {
        return _mm_unpacklo_epi64(detail::loadRow(cls.shape[info.shapeIndex[stage][j]]),
                                  detail::loadRow(cls.shape[info.shapeIndex[stage][j + 1]]));
    };
    const __m128i g = detail::loadRow(cls.gain[info.gainIndex[stage]]);
    const __m128i pairs = _mm_unpacklo_epi16(g, g);
    return {scaledBy<13>(rows(0), _mm_unpacklo_epi32(pairs, pairs)),
            scaledBy<13>(rows(2), _mm_unpackhi_epi32(pairs, pairs))};
}

inline StageRows stageBlockRows(const BlockHeader& info, int stage) {
    const StageRows s = stageShapeRows(info, stage);
    const __m128i g = _mm_set1_epi16(gainLevels[info.gainByte[stage]]);
    return {scaledBy<15>(s.top, g), scaledBy<15>(s.bottom, g)};
}
#endif

void vqCorrection(const BlockHeader& info, bool shift, int k, BlockVec& out) {
#if KIRUNE_SSE2
    StageRows s = stageBlockRows(info, 0);
    if (info.stageCount == 2) {
        const StageRows t = stageBlockRows(info, 1);
        s = {_mm_add_epi16(s.top, t.top), _mm_add_epi16(s.bottom, t.bottom)};
    }
    if (shift) {
        const __m128i by = _mm_cvtsi32_si128(k);
        s = {_mm_sll_epi16(s.top, by), _mm_sll_epi16(s.bottom, by)};
    }
    s.storeTo(out);
#else
    stageBlock(info, 0, out);
    if (info.stageCount == 2) {
        BlockVec second;
        stageBlock(info, 1, second);
        blockAdd(out, second, out);
    }
    if (shift) blockShiftUp(out, k);
#endif
}

void patternCorrection(const BlockHeader& info, bool shift, int k, BlockVec& out) {
    const int32_t g = gainLevels[info.gainByte[0]];
    const int16_t* pattern = patternDictionary[info.pattern];
    BlockVec p;
    std::memcpy(p.lane, pattern, sizeof p.lane);
    blockScale15(p, info.patternSign ? -g : g, out);
    if (shift) blockShiftUp(out, k);
}

// Rebuilds block (row, col) of the region from its side information and, for
// a matched block, the earlier correction it refers to.
void decodeBlock(const QualityParams& q, const BlockHeader& info, const BlockVec* source,
                 const PlaneRegion& region, int32_t row, int32_t col) {
    const bool shift = q.shiftedCorrections;
    const int k = q.residualShift;
    const std::size_t n = static_cast<std::size_t>(region.firstRow + row) * region.blocksPerRow + col;
    const auto V = static_cast<int16_t>(region.means[n] << q.meanShift());
    // Without coded planes the samples are rebuilt later from V and res;
    // the block's own samples, where it has them, are worked in here.
    BlockVec own;
    BlockVec& out = region.coded ? region.coded[n] : own;
    BlockVec& res = region.resid[n];
    BlockVec corr;
    switch (info.type) {
    case BlockFlat:
        blockFill(out, V);
        blockZero(res);
        return;
    case BlockVq:
        vqCorrection(info, shift, k, res);
        break;
    case BlockPredicted:
        if (info.smoothFlag) {
            interpolateFromMeans(region, row, col, q.meanLevel, out);
            blockSubScalar(out, V, res);
            return;
        }
        vqCorrection(info, shift, k, corr);
        blockAdd(*source, corr, res);
        break;
    default:
        switch (info.subtype) {
        case SpecialMatch:
            blockCopy(*source, res);
            break;
        case SpecialPattern:
            patternCorrection(info, shift, k, res);
            break;
        case SpecialMatchPattern:
            patternCorrection(info, shift, k, corr);
            blockAdd(*source, corr, res);
            break;
        default:
            for (int i = 0; i < 16; ++i) out.lane[i] = rawSampleValue(info.rawBytes[i]);
            blockSubScalar(out, V, res);
            return;
        }
        break;
    }
    if (!region.coded) return;
    blockFill(out, V);
    blockAdd(out, res, out);
}

}  // namespace

void stageShape(const BlockHeader& info, int stage, BlockVec& out) {
#if KIRUNE_SSE2
    stageShapeRows(info, stage).storeTo(out);
#else
    const DictionaryClass& cls = dictionaryClasses[info.vqLevel];
    const int16_t* rowGains = cls.gain[info.gainIndex[stage]];
    for (int j = 0; j < 4; ++j)
        rowScale13(cls.shape[info.shapeIndex[stage][j]], rowGains[j], &out.lane[4 * j]);
#endif
}

void stageBlock(const BlockHeader& info, int stage, BlockVec& out) {
#if KIRUNE_SSE2
    stageBlockRows(info, stage).storeTo(out);
#else
    BlockVec t;
    stageShape(info, stage, t);
    blockScale15(t, gainLevels[info.gainByte[stage]], out);
#endif
}

BlockStreamReaders::BlockStreamReaders(const SideStreams& st)
    : header(st.headerBits.data(), checkedLength(st, StreamHeaderBits, 1), st.headerPos),
      indexLow(st.indexBitsLow.data(), checkedLength(st, StreamIndexBitsLow, 1), st.indexLowPos),
      indexHigh(st.indexBitsHigh.data(), checkedLength(st, StreamIndexBitsHigh, 1), st.indexHighPos),
      gain(st.gainBytes.data(), checkedLength(st, StreamGainBytes, 0), st.gainBytesPos),
      match(st.matchBytes.data(), checkedLength(st, StreamMatchBytes, 0), st.matchBytesPos),
      blockCounter(st.blockCounter) {}

void BlockStreamReaders::store(SideStreams& st) const {
    st.headerPos = header.cursor();
    st.indexLowPos = indexLow.cursor();
    st.indexHighPos = indexHigh.cursor();
    st.gainBytesPos = gain.position();
    st.matchBytesPos = match.position();
    st.blockCounter = blockCounter;
}

namespace {

// Inlined into the plane's loop, whose readers then stay in registers: the
// header's byte fields could alias readers that live in memory, whose
// cursors would be reloaded after every field.
[[gnu::always_inline]] inline void readSideInfo(BlockStreamReaders& r, int32_t blocksPerRow, BlockHeader& info) {
    info.type = static_cast<uint8_t>(r.header.read(2));
    switch (info.type) {
    case BlockVq:
        readStagesAndLevel(r, info);
        readVqFields(r, info);
        break;
    case BlockPredicted:
        info.smoothFlag = static_cast<uint8_t>(r.header.read(1));
        if (info.smoothFlag == 0) {
            readStagesAndLevel(r, info);
            info.matchOffset = matchOffsetOf(r.match.read(), blocksPerRow);
            readVqFields(r, info);
        }
        break;
    case BlockSpecial:
        info.subtype = static_cast<uint8_t>(r.header.read(2));
        switch (info.subtype) {
        case SpecialMatch:
            info.matchOffset = matchOffsetOf(r.match.read(), blocksPerRow);
            break;
        case SpecialPattern:
            readPatternFields(r, info);
            break;
        case SpecialMatchPattern:
            info.matchOffset = matchOffsetOf(r.match.read(), blocksPerRow);
            readPatternFields(r, info);
            break;
        default:
            info.rawBytes = r.match.take(16);
            break;
        }
        break;
    default:
        break;
    }
    ++r.blockCounter;
}

}  // namespace

void readBlockSideInfo(BlockStreamReaders& r, int32_t blocksPerRow, BlockHeader& info) {
    readSideInfo(r, blocksPerRow, info);
}

void decodeMeans(const StripGeometry& g, StripWork& w) {
    const auto regions = stripRegions(w, g);
    decodeMeanBytes(w.streams, regions);
    w.streams.dcSignBitCount = 0;
}

void decodeMeanBytes(const SideStreams& st, std::span<const PlaneRegion> regions) {
    std::size_t total = 0;
    for (const PlaneRegion& r : regions) total += r.blocks();
    // One sign bit and one magnitude byte per block, no more and no less.
    if (st.rawLength[StreamDcBytes] != total || st.rawLength[StreamDcSignBits] != (total >> 3) + 1)
        throwDamaged();
    checkedLength(st, StreamDcBytes, 0);
    checkedLength(st, StreamDcSignBits, 0);

    const uint8_t* signs = st.dcSignBits.data();
    const uint8_t* bytes = st.dcBytes.data();
    uint32_t k = 0;
    for (const PlaneRegion& r : regions) {
        const int32_t B = r.blocksPerRow;
        for (int32_t row = 0; row < r.rows; ++row) {
            std::size_t n = static_cast<std::size_t>(r.firstRow + row) * B;
            // The prediction (meanPrediction) carried in a register: read back
            // from the byte just stored, each block would wait on the last.
            uint8_t P = static_cast<uint8_t>(meanPrediction(r.means, n, B, row, 0));
            for (int32_t c = 0; c < B; ++c, ++n, ++k) {
                const int32_t d = bytes[k];
                int32_t x = (signs[k >> 3] >> (k & 7)) & 1 ? P - d : P + d;
                if (x < 0) x = -x;
                P = static_cast<uint8_t>(x);
                r.means[n] = P;
            }
        }
    }
}

void decodePlane(const QualityParams& quality, SideStreams& st, const PlaneRegion& where) {
    // Local copies: the blocks written below cannot alias them, so their
    // fields stay in registers across the loop.
    const QualityParams q = quality;
    const PlaneRegion region = where;
    if (region.rows < 1) return;
    requireDictionaryWidths();
    BlockStreamReaders rd(st);
    const int32_t B = region.blocksPerRow;
    BlockHeader info;
    for (int32_t row = 0; row < region.rows; ++row) {
        std::size_t n = static_cast<std::size_t>(region.firstRow + row) * B;
        for (int32_t c = 0; c < B; ++c, ++n) {
            readSideInfo(rd, B, info);
            const BlockVec* source = nullptr;
            if (info.matchesEarlierBlock()) {
                // Only earlier blocks of this region have been rebuilt.
                const int64_t inRegion = int64_t{row} * B + c;
                if (info.matchOffset < 1 || info.matchOffset > inRegion) throwDamaged();
                source = &region.resid[n - static_cast<std::size_t>(info.matchOffset)];
            }
            decodeBlock(q, info, source, region, row, c);
        }
    }
    rd.store(st);
}

namespace {

void decodeStripPlanes(const QualityParams& q, const StripGeometry& g, StripWork& w,
                       const PlaneProgress& planeDone, bool samples) {
    decodeMeans(g, w);
    for (PlaneRegion r : stripRegions(w, g)) {
        if (!samples) r.coded = nullptr;
        decodePlane(q, w.streams, r);
        if (planeDone) planeDone();
    }
}

}  // namespace

void decodeStrip(const QualityParams& q, const StripGeometry& g, StripWork& w, const PlaneProgress& planeDone) {
    decodeStripPlanes(q, g, w, planeDone, true);
}

void decodeStripResiduals(const QualityParams& q, const StripGeometry& g, StripWork& w,
                          const PlaneProgress& planeDone) {
    decodeStripPlanes(q, g, w, planeDone, false);
}

}  // namespace kirune
