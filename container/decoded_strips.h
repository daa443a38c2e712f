#pragma once
// A container's picture one decoded strip at a time, front to back, in a
// single working set: for readers that need every pixel but not all of them
// at once (previews), so that memory stays one strip whatever the image's
// size. Checked as an expansion is: the container checksum before the first
// strip, the file ending exactly where the last strip ends, and the pixel
// checksum after it, so a damaged file throws Error rather than yield a
// picture that looks fine.

#include <cstdint>
#include <string>
#include <vector>

#include "codec/codec_state.h"
#include "container/rpx_container.h"
#include "container/trailer.h"

namespace kirune {

class DecodedStrips {
public:
    // Opens the container and checks its header, trailer and container
    // checksum. Allocates nothing for the strips yet, so that a caller can
    // refuse the geometry in coding() before any strip buffer exists.
    explicit DecodedStrips(const std::string& path);

    const FileCoding& coding() const { return opened_.coding; }
    const ImageLayout& layout() const { return opened_.coding.layout; }
    const ImageMetadata& metadata() const { return opened_.meta; }
    // Whether the container carries a pixel checksum that next() checks.
    bool hasPixelChecksum() const { return opened_.trailer && opened_.trailer->pixels; }

    // Decodes the next strip. False, with nothing decoded, once the last one
    // has been and every check after it has passed. After an Error the
    // object is of no further use.
    bool next();

    // The strip next() decoded: its index, first image row and image rows.
    const StripGeometry& geometry() const { return geometry_; }
    // Copies image row `r` of the strip (0 = its top row) as width R, G, B
    // triples of 16-bit samples into rgb.
    void copyRow(int32_t r, std::vector<uint16_t>& rgb) const;

private:
    void finish();

    OpenedContainer opened_;
    StripWork work_;
    StripSection section_;
    StripGeometry geometry_;
    int32_t nextStrip_ = 0;
    std::vector<Checksum128> stripSums_;
};

}  // namespace kirune
