#include "container/decoded_strips.h"

#include "codec/strip_decoder.h"
#include "codec/transforms.h"
#include "container/image_output.h"
#include "kirune/Error.h"

namespace kirune {

DecodedStrips::DecodedStrips(const std::string& path) : opened_(openContainer(path)) {
    checkContainerChecksum(opened_);
}

bool DecodedStrips::next() {
    const FileCoding& file = opened_.coding;
    const ImageLayout& layout = file.layout;
    if (nextStrip_ >= layout.stripCount) {
        if (nextStrip_ == layout.stripCount) finish();
        return false;
    }
    if (nextStrip_ == 0) allocCodecBuffers(work_, file.colourSampling, layout.paddedWidth, layout.stripHeight);
    geometry_ = beginStrip(layout, nextStrip_);
    readStripSection(*opened_.reader, work_.streams, section_);
    expandStripSection(section_, work_.streams);
    decodeStripResiduals(file.quality, geometry_, work_);
    residualsToRgb(file.quality, geometry_, work_);
    clearSideStreams(work_.streams);
    if (hasPixelChecksum()) stripSums_.push_back(stripPixelChecksum(layout, nextStrip_, work_));
    ++nextStrip_;
    return true;
}

void DecodedStrips::finish() {
    if (opened_.reader->remaining() != 0) throwDamaged();
    if (hasPixelChecksum() && pixelChecksum(stripSums_) != *opened_.trailer->pixels)
        throwDamaged("pixel checksum does not match");
    ++nextStrip_;  // checked once, and only counted as done when it passed
}

void DecodedStrips::copyRow(int32_t r, std::vector<uint16_t>& rgb) const {
    const ImageLayout& layout = opened_.coding.layout;
    if (nextStrip_ == 0 || r < 0 || r >= geometry_.imageRows) throw Error("row outside the decoded strip");
    rgb.resize(static_cast<std::size_t>(layout.width) * 3);
    interleaveRow(layout, r, work_, rgb.data());
}

}  // namespace kirune
