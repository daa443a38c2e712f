#include "container/preview_strips.h"

#include "codec/stream_syntax.h"
#include "codec/strip_decoder.h"
#include "codec/transforms.h"
#include "kirune/Error.h"
#include "lossless/block_sort_coder.h"

namespace kirune {

PreviewStrips::PreviewStrips(const std::string& path) : opened_(openContainer(path)) {
    checkContainerChecksum(opened_);
}

bool PreviewStrips::next() {
    const ImageLayout& layout = opened_.coding.layout;
    if (nextStrip_ >= layout.stripCount) {
        if (nextStrip_ == layout.stripCount && opened_.reader->remaining() != 0) throwDamaged();
        nextStrip_ = layout.stripCount + 1;
        return false;
    }
    if (nextStrip_ == 0) {
        // The stream buffers bound each raw length as a full decode's would;
        // only the two mean streams are ever written, so the others stay
        // unmapped address space.
        const auto blocks = static_cast<std::size_t>(layout.paddedWidth) * layout.stripHeight / 16;
        allocSideStreams(streams_, blocks * 3);
        const StripGeometry full = beginStrip(layout, 0);
        const PlaneGrid chroma = chromaGrid(full, opened_.coding.colourSampling);
        const PlaneGrid grids[3] = {full.luma, chroma, chroma};
        for (int i = 0; i < 3; ++i)
            means_[i].resize(static_cast<std::size_t>(grids[i].blocksPerRow) * grids[i].rows);
    }
    geometry_ = beginStrip(layout, nextStrip_);
    readStripSection(*opened_.reader, streams_, section_);
    for (const int id : {StreamDcSignBits, StreamDcBytes}) {
        const auto u = static_cast<std::size_t>(id);
        const StreamEntry e = section_.table[u];
        StreamBuffer& buf = streamBuffer(streams_, id);
        const std::span<const uint8_t> coded(section_.bytes.data() + section_.offset[u],
                                             section_.offset[u + 1] - section_.offset[u]);
        BlockSortWorkspaces::Lease work = section_.coders->take();
        if (blockSortExpand(coded, e.recordedSize, {buf.data(), e.rawLength}, *work) != coded.size())
            throwDamaged();
        streams_.rawLength[id] = e.rawLength;
    }
    decodeMeans();
    ++nextStrip_;
    return true;
}

void PreviewStrips::decodeMeans() {
    const PlaneGrid chroma = chromaGrid(geometry_, opened_.coding.colourSampling);
    grids_[0] = geometry_.luma, grids_[1] = chroma, grids_[2] = chroma;
    // Each plane's means from its first coded row on.
    PlaneRegion regions[3];
    for (int i = 0; i < 3; ++i) {
        regions[i].means = means_[i].data();
        regions[i].blocksPerRow = grids_[i].blocksPerRow;
        regions[i].rows = grids_[i].rows;
    }
    decodeMeanBytes(streams_, regions);
}

void PreviewStrips::blockRowRgb(int32_t r, std::vector<uint16_t>& rgb) const {
    if (nextStrip_ == 0 || nextStrip_ > layout().stripCount || r < 0 || r >= geometry_.imageRows)
        throw Error("row outside the decoded strip");
    // Strip rows fill the buffers bottom row first; coded regions start at
    // their grid's first row.
    const int32_t y = geometry_.bufferRows - 1 - r;
    const int32_t sampling = opened_.coding.colourSampling;
    const int32_t lumaRow = (y >> 2) - grids_[0].firstRow;
    const int32_t chromaRow = (sampling == Sampling420 ? y >> 3 : y >> 2) - grids_[1].firstRow;
    const int chromaShift = sampling == Sampling444 ? 0 : 1;
    const int s = opened_.coding.quality.meanShift();
    const int32_t B = grids_[0].blocksPerRow;
    const uint8_t* Y = means_[0].data() + static_cast<std::size_t>(lumaRow) * B;
    const uint8_t* Cb = means_[1].data() + static_cast<std::size_t>(chromaRow) * grids_[1].blocksPerRow;
    const uint8_t* Cr = means_[2].data() + static_cast<std::size_t>(chromaRow) * grids_[2].blocksPerRow;
    rgb.resize(static_cast<std::size_t>(B) * 3);
    for (int32_t c = 0; c < B; ++c) {
        const int32_t cc = c >> chromaShift;
        const RgbSample p = yccToRgbSample(Y[c] << s, Cb[cc] << s, Cr[cc] << s);
        rgb[3 * static_cast<std::size_t>(c)] = p.r;
        rgb[3 * static_cast<std::size_t>(c) + 1] = p.g;
        rgb[3 * static_cast<std::size_t>(c) + 2] = p.b;
    }
}

}  // namespace kirune
