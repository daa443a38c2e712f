#include "codec/transforms.h"

#include <algorithm>
#include <string>

#include "codec/block_ops.h"
#include "kirune/Error.h"

#if KIRUNE_SSE2
#include <emmintrin.h>
#endif

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
template <class Plane>
void requireBlocks(const Plane& p, int64_t blocks, const char* what) {
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

namespace {

// One block's samples: its mean byte shifted up plus its residual, wrapping
// as decodePlane adds them.
inline void samplesOf(const BlockVec& resid, uint8_t mean, int shift, BlockVec& out) {
    blockFill(out, static_cast<int16_t>(mean << shift));
    blockAdd(out, resid, out);
}

// Quadrant (qy, qx) of a chroma block at full resolution, as upsample420
// (vertical) and upsample422 give it.
BlockVec widened(const BlockVec& in, bool vertical, int qy, int qx) {
    BlockVec o;
    for (int y = 0; y < 4; ++y) {
        const int from = vertical ? 2 * qy + (y >> 1) : y;
        for (int x = 0; x < 4; ++x) o.lane[4 * y + x] = in.lane[4 * from + 2 * qx + (x >> 1)];
    }
    return o;
}

#if KIRUNE_SSE2
// yccToRgbSample on eight lanes. Each output is one or two pairwise
// products of 16-bit lanes (exact in 32 bits) plus a constant; the constant
// takes 2^24 off, so that the shifted value comes out 2^15 low and the signed
// saturating pack clamps it to 0..65535, 2^15 low, which the sign flip puts
// back.
struct RgbLanes {
    __m128i r, g, b;
};
inline RgbLanes rgbOf8(__m128i y, __m128i cb, __m128i cr) {
    const auto pair = [](int16_t a, int16_t b) {
        return _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(a) |
                                                   static_cast<uint32_t>(static_cast<uint16_t>(b)) << 16));
    };
    const auto out = [](__m128i lo, __m128i hi, int32_t k) {
        const __m128i bias = _mm_set1_epi32(k + 256 - (1 << 24));
        const __m128i packed = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, bias), 9),
                                               _mm_srai_epi32(_mm_add_epi32(hi, bias), 9));
        return _mm_xor_si128(packed, _mm_set1_epi16(INT16_MIN));
    };
    const __m128i zero = _mm_setzero_si128();
    const __m128i ycrLo = _mm_unpacklo_epi16(y, cr), ycrHi = _mm_unpackhi_epi16(y, cr);
    const __m128i ycbLo = _mm_unpacklo_epi16(y, cb), ycbHi = _mm_unpackhi_epi16(y, cb);
    const __m128i cbLo = _mm_unpacklo_epi16(cb, zero), cbHi = _mm_unpackhi_epi16(cb, zero);
    const __m128i kR = pair(8192, 11485), kG = pair(8192, -5848), kGb = pair(-2819, 0), kB = pair(8192, 14515);
    return {out(_mm_madd_epi16(ycrLo, kR), _mm_madd_epi16(ycrHi, kR), -11485 * 2048),
            out(_mm_add_epi32(_mm_madd_epi16(ycrLo, kG), _mm_madd_epi16(cbLo, kGb)),
                _mm_add_epi32(_mm_madd_epi16(ycrHi, kG), _mm_madd_epi16(cbHi, kGb)), 8667 * 2048),
            out(_mm_madd_epi16(ycbLo, kB), _mm_madd_epi16(ycbHi, kB), -14515 * 2048)};
}
#endif

inline void blockToRgb(const BlockVec& y, const BlockVec& cb, const BlockVec& cr, BlockVec& r, BlockVec& g,
                       BlockVec& b) {
#if KIRUNE_SSE2
    const auto at = [](const BlockVec& v, int k) {
        return _mm_load_si128(reinterpret_cast<const __m128i*>(v.lane) + k);
    };
    const RgbLanes lo = rgbOf8(at(y, 0), at(cb, 0), at(cr, 0)), hi = rgbOf8(at(y, 1), at(cb, 1), at(cr, 1));
    const auto put = [](BlockVec& v, __m128i a, __m128i c) {
        _mm_store_si128(reinterpret_cast<__m128i*>(v.lane), a);
        _mm_store_si128(reinterpret_cast<__m128i*>(v.lane) + 1, c);
    };
    put(r, lo.r, hi.r);
    put(g, lo.g, hi.g);
    put(b, lo.b, hi.b);
#else
    for (int i = 0; i < 16; ++i) {
        const RgbSample s = yccToRgbSample(y.lane[i], cb.lane[i], cr.lane[i]);
        r.lane[i] = static_cast<int16_t>(s.r);
        g.lane[i] = static_cast<int16_t>(s.g);
        b.lane[i] = static_cast<int16_t>(s.b);
    }
#endif
}

}  // namespace

void residualsToRgb(const QualityParams& q, const StripGeometry& g, StripWork& w) {
    const PlaneGrid l = g.luma, c = chromaGrid(g, w.colourSampling);
    const bool wide = w.colourSampling != Sampling444, tall = w.colourSampling == Sampling420;
    const MeanPlane& cbMeans = tall ? w.cbMeansQuarter : wide ? w.cbMeansHalf : w.cbMeans;
    const MeanPlane& crMeans = tall ? w.crMeansQuarter : wide ? w.crMeansHalf : w.crMeans;
    const int32_t B = l.blocksPerRow, cB = c.blocksPerRow;
    const int64_t lumaEnd = int64_t{l.firstRow + l.rows} * B, chromaEnd = int64_t{c.firstRow + c.rows} * cB;
    for (const BlockPlane* p : {&w.rPlane, &w.gPlane, &w.bPlane}) requireBlocks(*p, lumaEnd, "colour");
    requireBlocks(w.yMeans, lumaEnd, "mean");
    requireBlocks(cbMeans, chromaEnd, "chroma mean");
    requireBlocks(crMeans, chromaEnd, "chroma mean");
    if (l.rows != (tall ? 2 * c.rows : c.rows) || B != (wide ? 2 * cB : cB))
        throw Error("chroma grid does not fit the luma grid");
    const int shift = q.meanShift();
    // In place, last block first: a block's chroma lies at an index no larger
    // than its own, so every residual is read before its place takes RGB.
    for (int32_t a = l.firstRow + l.rows - 1; a >= l.firstRow; --a) {
        const int32_t ca = tall ? a >> 1 : a;
        for (int32_t col = B - 1; col >= 0; --col) {
            const std::size_t n = static_cast<std::size_t>(a) * B + col;
            const std::size_t m = static_cast<std::size_t>(ca) * cB + (wide ? col >> 1 : col);
            BlockVec y, cb, cr;
            samplesOf(w.rPlane[n], w.yMeans[n], shift, y);
            samplesOf(w.gPlane[m], cbMeans[m], shift, cb);
            samplesOf(w.bPlane[m], crMeans[m], shift, cr);
            if (wide) {
                cb = widened(cb, tall, a & 1, col & 1);
                cr = widened(cr, tall, a & 1, col & 1);
            }
            blockToRgb(y, cb, cr, w.rPlane[n], w.gPlane[n], w.bPlane[n]);
        }
    }
}

}  // namespace kirune
