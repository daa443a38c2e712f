#include "encoder/prepare.h"

#include <array>
#include <cassert>
#include <cstddef>
#include <utility>

#include "codec/block_ops.h"
#include "codec/stream_syntax.h"

namespace kirune {

namespace {

// The caller's geometry and buffers come from one strip layout: a region
// beyond its plane is a fault in this program, never in a user's file.
void checkRegion([[maybe_unused]] const BlockPlane& plane, [[maybe_unused]] const PlaneGrid& g) {
    assert(g.blocksPerRow >= 0 && g.rows >= 0 && g.firstRow >= 0 &&
           (int64_t{g.firstRow} + g.rows) * g.blocksPerRow <= static_cast<int64_t>(plane.size()));
}

inline int16_t shifted(int32_t sum, int n) { return static_cast<int16_t>(sum >> n); }

// Block k of the R, G, B planes into block k of the Y, Cb, Cr planes.
inline void blockToYcc(StripWork& w, std::size_t k, int n, int32_t centre) {
    const BlockVec &r = w.rPlane[k], &g = w.gPlane[k], &b = w.bPlane[k];
    BlockVec &y = w.yPlane[k], &cb = w.cbPlane[k], &cr = w.crPlane[k];
    for (int e = 0; e < 16; ++e) {
        const int32_t R = r.lane[e], G = g.lane[e], Bl = b.lane[e];
        y.lane[e] = shifted(934 * Bl + 4809 * G + 2449 * R, n);
        cb.lane[e] = shifted(centre + 4096 * Bl - 2716 * G - 1380 * R, n);
        cr.lane[e] = shifted(centre - 666 * Bl - 3430 * G + 4096 * R, n);
    }
}

// The luma grid's blocks [first, second) of every full-size plane, which
// the colour transform reads and writes.
std::pair<std::size_t, std::size_t> lumaBlocks(const StripGeometry& g, const StripWork& w) {
    for (const BlockPlane* p : {&w.rPlane, &w.gPlane, &w.bPlane, &w.yPlane, &w.cbPlane, &w.crPlane})
        checkRegion(*p, g.luma);
    const std::size_t begin = static_cast<std::size_t>(g.luma.firstRow) * g.luma.blocksPerRow;
    return {begin, begin + static_cast<std::size_t>(g.luma.rows) * g.luma.blocksPerRow};
}

int transformShift(RgbInput input) { return input == RgbInput::Native12 ? 13 : 9; }
int32_t transformCentre(RgbInput input) { return (input == RgbInput::Native12 ? 2048 : 128) * 8192; }

}  // namespace

void rgbToYcc(const StripGeometry& g, StripWork& w, RgbInput input) {
    const auto [begin, end] = lumaBlocks(g, w);
    const int n = transformShift(input);
    const int32_t centre = transformCentre(input);
    for (std::size_t k = begin; k < end; ++k) blockToYcc(w, k, n, centre);
}

void prepareStrip(const QualityParams& q, const StripGeometry& g, StripWork& w, RgbInput input) {
    const std::array<PlaneRegion, 3> regions = stripRegions(w, g);
    if (w.colourSampling != Sampling444) {
        rgbToYcc(g, w, input);
        downsampleChroma(g, w);
        computeMeans(q, g, w);
        removeMeans(q, g, w);
        return;
    }
    // Each block's samples are transformed, averaged and corrected while
    // they are in cache. A block's corrections overwrite the R, G, B samples
    // it was transformed from, and no other block reads those.
    const auto [begin, end] = lumaBlocks(g, w);
    const int n = transformShift(input);
    const int32_t centre = transformCentre(input);
    for (std::size_t k = begin; k < end; ++k) {
        blockToYcc(w, k, n, centre);
        for (const PlaneRegion& r : regions) {
            r.means[k] = blockMeanByte(r.coded[k], q.meanLevel);
            blockSubScalar(r.coded[k], static_cast<int16_t>(r.means[k] << q.meanShift()), r.resid[k]);
        }
    }
}

void downsampleChroma(const StripGeometry& g, StripWork& w) {
    if (w.colourSampling == Sampling444) return;
    const auto avg = [](int16_t a, int16_t b) { return static_cast<int16_t>((int32_t{a} + b) >> 1); };

    // Half planes: each pair of horizontally adjacent pixels becomes one.
    const PlaneGrid half = chromaGrid(g, Sampling422);
    const int32_t fullB = g.luma.blocksPerRow, halfB = half.blocksPerRow;
    const int32_t rows = half.rows, offset = half.firstRow;
    checkRegion(w.cbPlane, g.luma);
    checkRegion(w.crPlane, g.luma);
    checkRegion(w.cbPlaneHalf, half);
    checkRegion(w.crPlaneHalf, half);
    assert(2 * halfB <= fullB);
    const std::pair<const BlockPlane*, BlockPlane*> halves[2] = {{&w.cbPlane, &w.cbPlaneHalf},
                                                                 {&w.crPlane, &w.crPlaneHalf}};
    for (const auto& [full, half] : halves) {
        for (int32_t row = offset; row < offset + rows; ++row) {
            for (int32_t col = 0; col < halfB; ++col) {
                const BlockVec& a = (*full)[static_cast<std::size_t>(row) * fullB + 2 * col];
                const BlockVec& b = (*full)[static_cast<std::size_t>(row) * fullB + 2 * col + 1];
                BlockVec& out = (*half)[static_cast<std::size_t>(row) * halfB + col];
                for (int r = 0; r < 4; ++r) {
                    out.lane[4 * r] = avg(a.lane[4 * r], a.lane[4 * r + 1]);
                    out.lane[4 * r + 1] = avg(a.lane[4 * r + 2], a.lane[4 * r + 3]);
                    out.lane[4 * r + 2] = avg(b.lane[4 * r], b.lane[4 * r + 1]);
                    out.lane[4 * r + 3] = avg(b.lane[4 * r + 2], b.lane[4 * r + 3]);
                }
            }
        }
    }
    if (w.colourSampling != Sampling420) return;

    // Quarter planes: each pair of vertically adjacent half-plane pixels.
    const PlaneGrid quarter = chromaGrid(g, Sampling420);
    const int32_t qB = quarter.blocksPerRow, qRows = quarter.rows, qOffset = quarter.firstRow;
    const PlaneGrid halfPairs{halfB, 2 * qRows, 2 * qOffset};
    checkRegion(w.cbPlaneQuarter, quarter);
    checkRegion(w.crPlaneQuarter, quarter);
    checkRegion(w.cbPlaneHalf, halfPairs);
    checkRegion(w.crPlaneHalf, halfPairs);
    assert(qB <= halfB);
    const std::pair<const BlockPlane*, BlockPlane*> quarters[2] = {{&w.cbPlaneHalf, &w.cbPlaneQuarter},
                                                                   {&w.crPlaneHalf, &w.crPlaneQuarter}};
    for (const auto& [half, quarter] : quarters) {
        for (int32_t row = qOffset; row < qOffset + qRows; ++row) {
            for (int32_t col = 0; col < qB; ++col) {
                const BlockVec& a = (*half)[static_cast<std::size_t>(2 * row) * halfB + col];
                const BlockVec& b = (*half)[static_cast<std::size_t>(2 * row + 1) * halfB + col];
                BlockVec& out = (*quarter)[static_cast<std::size_t>(row) * qB + col];
                for (int c = 0; c < 4; ++c) {
                    out.lane[c] = avg(a.lane[c], a.lane[4 + c]);
                    out.lane[4 + c] = avg(a.lane[8 + c], a.lane[12 + c]);
                    out.lane[8 + c] = avg(b.lane[c], b.lane[4 + c]);
                    out.lane[12 + c] = avg(b.lane[8 + c], b.lane[12 + c]);
                }
            }
        }
    }
}

void computeMeans(const QualityParams& q, const StripGeometry& g, StripWork& w) {
    for (const PlaneRegion& r : stripRegions(w, g)) {
        const std::size_t begin = static_cast<std::size_t>(r.firstRow) * r.blocksPerRow;
        for (std::size_t n = begin; n < begin + r.blocks(); ++n) r.means[n] = blockMeanByte(r.coded[n], q.meanLevel);
    }
}

void removeMeans(const QualityParams& q, const StripGeometry& g, StripWork& w) {
    for (const PlaneRegion& r : stripRegions(w, g)) {
        const std::size_t begin = static_cast<std::size_t>(r.firstRow) * r.blocksPerRow;
        for (std::size_t n = begin; n < begin + r.blocks(); ++n)
            blockSubScalar(r.coded[n], static_cast<int16_t>(r.means[n] << q.meanShift()), r.resid[n]);
    }
}

}  // namespace kirune
