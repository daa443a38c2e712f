#include "codec/transforms.h"

#include <algorithm>
#include <string>

#include "kirune/Error.h"

namespace kirune {

void interpolateFromMeans(const PlaneRegion& r, int32_t row, int32_t col, int meanLevel, BlockVec& out) {
    const int s = meanLevel + 4;
    const int32_t B = r.blocksPerRow, c = col;
    const int32_t a = r.firstRow + row;
    const uint8_t* means = r.means;
    const std::size_t n = static_cast<std::size_t>(a) * B + c;
    const int32_t Mc = means[n] << s;
    const int32_t Mu = row > 0 ? means[n - B] << s : Mc;
    const int32_t Md = a < r.rows - 1 ? means[n + B] << s : Mc;
    const int32_t Ml = c > 0 ? means[n - 1] << s : Mc;
    const int32_t Mr = c < B - 1 ? means[n + 1] << s : Mc;

    const int32_t dL = (Md - Ml) >> 3, dR = (Md - Mr) >> 3, dU = (Md - Mu) >> 3;
    const int32_t dC = (Md - Mc) >> 3, lU = (Ml - Mu) >> 3, lC = (Ml - Mc) >> 3;
    const int32_t lR = (Ml - Mr) >> 3, rU = (Mr - Mu) >> 3, rC = (Mr - Mc) >> 3;
    const int32_t uC = (Mu - Mc) >> 3;

    const int32_t v[16] = {
        Mc + lR - dL + 2 * uC, Mc - dU - rU, Mc - dU - lU, Mc - lR - dR + 2 * uC,
        Mc + lR - dL,          Mc - dC - rC, Mc - dC - lC, Mc - lR - dR,
        Mc + lR + lU,          Mc - uC - rC, Mc - uC - lC, Mc - lR + rU,
        Mc + lR + lU + 2 * dC, Mc + dU + dR, Mc + dU + dL, Mc - lR + rU + 2 * dC,
    };
    for (int i = 0; i < 16; ++i) out.lane[i] = static_cast<int16_t>(std::clamp(v[i], 0, 4080));
}

namespace {

// The transforms trust the strip geometry; a mismatch with the buffers would
// be a programming error, but it must not become an out-of-bounds write.
void requireBlocks(const BlockPlane& p, int64_t blocks, const char* what) {
    if (blocks < 0 || static_cast<uint64_t>(blocks) > p.size())
        throw Error(std::string("strip region exceeds the ") + what + " buffer");
}

void upsample420Plane(const BlockVec* src, BlockVec* dst, const PlaneGrid& chroma, int32_t lumaB) {
    const int32_t cB = chroma.blocksPerRow, cOffset = chroma.firstRow;
    for (int32_t r = 0; r < chroma.rows; ++r) {
        for (int32_t c = 0; c < cB; ++c) {
            const BlockVec& in = src[static_cast<std::size_t>(cOffset + r) * cB + c];
            // Quadrant (qy, qx) of the source block fills one full-resolution block.
            for (int qy = 0; qy < 2; ++qy) {
                for (int qx = 0; qx < 2; ++qx) {
                    BlockVec& o = dst[static_cast<std::size_t>(2 * (cOffset + r) + qy) * lumaB +
                                      2 * c + qx];
                    for (int y = 0; y < 4; ++y)
                        for (int x = 0; x < 4; ++x)
                            o.lane[4 * y + x] = in.lane[4 * (2 * qy + (y >> 1)) + 2 * qx + (x >> 1)];
                }
            }
        }
    }
}

void upsample422Plane(const BlockVec* src, BlockVec* dst, const PlaneGrid& chroma, int32_t lumaB) {
    const int32_t cB = chroma.blocksPerRow, offset = chroma.firstRow;
    for (int32_t r = 0; r < chroma.rows; ++r) {
        for (int32_t c = 0; c < cB; ++c) {
            const BlockVec& in = src[static_cast<std::size_t>(offset + r) * cB + c];
            for (int qx = 0; qx < 2; ++qx) {
                BlockVec& o = dst[static_cast<std::size_t>(offset + r) * lumaB + 2 * c + qx];
                for (int y = 0; y < 4; ++y)
                    for (int x = 0; x < 4; ++x) o.lane[4 * y + x] = in.lane[4 * y + 2 * qx + (x >> 1)];
            }
        }
    }
}

}  // namespace

void upsample420(const StripGeometry& g, StripWork& w) {
    const PlaneGrid c = chromaGrid(g, Sampling420);
    const int64_t lumaEnd = int64_t{2} * (c.firstRow + c.rows) * g.luma.blocksPerRow;
    const int64_t chromaEnd = int64_t{c.firstRow + c.rows} * c.blocksPerRow;
    requireBlocks(w.cbPlaneQuarter, chromaEnd, "quarter chroma");
    requireBlocks(w.crPlaneQuarter, chromaEnd, "quarter chroma");
    requireBlocks(w.cbPlane, lumaEnd, "chroma");
    requireBlocks(w.crPlane, lumaEnd, "chroma");
    upsample420Plane(w.cbPlaneQuarter.data(), w.cbPlane.data(), c, g.luma.blocksPerRow);
    upsample420Plane(w.crPlaneQuarter.data(), w.crPlane.data(), c, g.luma.blocksPerRow);
}

void upsample422(const StripGeometry& g, StripWork& w) {
    const PlaneGrid c = chromaGrid(g, Sampling422);
    const int64_t rowsEnd = c.firstRow + c.rows;
    requireBlocks(w.cbPlaneHalf, rowsEnd * c.blocksPerRow, "half chroma");
    requireBlocks(w.crPlaneHalf, rowsEnd * c.blocksPerRow, "half chroma");
    requireBlocks(w.cbPlane, rowsEnd * g.luma.blocksPerRow, "chroma");
    requireBlocks(w.crPlane, rowsEnd * g.luma.blocksPerRow, "chroma");
    upsample422Plane(w.cbPlaneHalf.data(), w.cbPlane.data(), c, g.luma.blocksPerRow);
    upsample422Plane(w.crPlaneHalf.data(), w.crPlane.data(), c, g.luma.blocksPerRow);
}

void yccToRgb(const StripGeometry& g, StripWork& w) {
    const int64_t first = int64_t{g.luma.firstRow} * g.luma.blocksPerRow;
    const int64_t end = int64_t{g.luma.firstRow + g.luma.rows} * g.luma.blocksPerRow;
    for (const BlockPlane* p : {&w.yPlane, &w.cbPlane, &w.crPlane, &w.rPlane, &w.gPlane, &w.bPlane})
        requireBlocks(*p, end, "colour");
    const BlockVec* Y = w.yPlane.data();
    const BlockVec* Cb = w.cbPlane.data();
    const BlockVec* Cr = w.crPlane.data();
    for (int64_t n = first; n < end; ++n) {
        BlockVec& R = w.rPlane[n];
        BlockVec& G = w.gPlane[n];
        BlockVec& Bl = w.bPlane[n];
        for (int i = 0; i < 16; ++i) {
            // Output lanes hold 0..65535, stored as the bit pattern of uint16:
            // coded white (Y 4095) comes back as 65520, not an 8-bit 255 x 256.
            const RgbSample s = yccToRgbSample(Y[n].lane[i], Cb[n].lane[i], Cr[n].lane[i]);
            R.lane[i] = static_cast<int16_t>(s.r);
            G.lane[i] = static_cast<int16_t>(s.g);
            Bl.lane[i] = static_cast<int16_t>(s.b);
        }
    }
}

void stripToRgb(const StripGeometry& g, StripWork& w) {
    if (w.colourSampling == Sampling420)
        upsample420(g, w);
    else if (w.colourSampling == Sampling422)
        upsample422(g, w);
    yccToRgb(g, w);
}

}  // namespace kirune
