#include "codec/transforms.h"

#include <algorithm>
#include <string>

#include "kirune/Error.h"

namespace kirune {

void interpolateFromMeans(const uint8_t* means, int32_t B, int32_t R, int32_t c, int32_t a,
                          int32_t O, int meanLevel, BlockVec& out) {
    const int s = meanLevel + 4;
    const std::size_t n = static_cast<std::size_t>(a) * B + c;
    const int32_t Mc = means[n] << s;
    const int32_t Mu = a > O ? means[n - B] << s : Mc;
    const int32_t Md = a < R - 1 ? means[n + B] << s : Mc;
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

void upsample420Plane(const BlockVec* src, BlockVec* dst, int32_t cB, int32_t cRows,
                      int32_t cOffset, int32_t lumaB) {
    for (int32_t r = 0; r < cRows; ++r) {
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

void upsample422Plane(const BlockVec* src, BlockVec* dst, int32_t cB, int32_t rows,
                      int32_t offset, int32_t lumaB) {
    for (int32_t r = 0; r < rows; ++r) {
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

inline uint16_t toRgbSample(int32_t t) {
    const int32_t v = (t + 256) >> 9;
    return static_cast<uint16_t>(std::clamp(v, 0, 65535));
}

}  // namespace

void upsample420(const CodecState& s, StripWork& w) {
    const int64_t lumaEnd = int64_t{2} * (s.chroma420RowOffset + s.chroma420BlockRows) * s.lumaBlocksPerRow;
    const int64_t chromaEnd = int64_t{s.chroma420RowOffset + s.chroma420BlockRows} * s.chroma420BlocksPerRow;
    requireBlocks(w.cbPlaneQuarter, chromaEnd, "quarter chroma");
    requireBlocks(w.crPlaneQuarter, chromaEnd, "quarter chroma");
    requireBlocks(w.cbPlane, lumaEnd, "chroma");
    requireBlocks(w.crPlane, lumaEnd, "chroma");
    upsample420Plane(w.cbPlaneQuarter.data(), w.cbPlane.data(), s.chroma420BlocksPerRow,
                     s.chroma420BlockRows, s.chroma420RowOffset, s.lumaBlocksPerRow);
    upsample420Plane(w.crPlaneQuarter.data(), w.crPlane.data(), s.chroma420BlocksPerRow,
                     s.chroma420BlockRows, s.chroma420RowOffset, s.lumaBlocksPerRow);
}

void upsample422(const CodecState& s, StripWork& w) {
    const int64_t rowsEnd = s.lumaRowOffset + s.chroma422BlockRows;
    requireBlocks(w.cbPlaneHalf, rowsEnd * s.chroma422BlocksPerRow, "half chroma");
    requireBlocks(w.crPlaneHalf, rowsEnd * s.chroma422BlocksPerRow, "half chroma");
    requireBlocks(w.cbPlane, rowsEnd * s.lumaBlocksPerRow, "chroma");
    requireBlocks(w.crPlane, rowsEnd * s.lumaBlocksPerRow, "chroma");
    upsample422Plane(w.cbPlaneHalf.data(), w.cbPlane.data(), s.chroma422BlocksPerRow,
                     s.chroma422BlockRows, s.lumaRowOffset, s.lumaBlocksPerRow);
    upsample422Plane(w.crPlaneHalf.data(), w.crPlane.data(), s.chroma422BlocksPerRow,
                     s.chroma422BlockRows, s.lumaRowOffset, s.lumaBlocksPerRow);
}

void yccToRgb(const CodecState& s, StripWork& w) {
    const int64_t first = int64_t{s.lumaRowOffset} * s.lumaBlocksPerRow;
    const int64_t end = int64_t{s.lumaRowOffset + s.lumaBlockRows} * s.lumaBlocksPerRow;
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
            const int32_t y = Y[n].lane[i], cb = Cb[n].lane[i], cr = Cr[n].lane[i];
            // Output lanes hold 0..65535, stored as the bit pattern of uint16:
            // coded white (Y 4095) comes back as 65520, not an 8-bit 255 x 256.
            R.lane[i] = static_cast<int16_t>(toRgbSample(-11485 * 2048 + 11485 * cr + 8192 * y));
            G.lane[i] = static_cast<int16_t>(toRgbSample(8667 * 2048 - 5848 * cr - 2819 * cb + 8192 * y));
            Bl.lane[i] = static_cast<int16_t>(toRgbSample(-14515 * 2048 + 14515 * cb + 8192 * y));
        }
    }
}

void stripToRgb(const CodecState& s, StripWork& w) {
    if (s.colourSampling == Sampling420)
        upsample420(s, w);
    else if (s.colourSampling == Sampling422)
        upsample422(s, w);
    yccToRgb(s, w);
}

}  // namespace kirune
