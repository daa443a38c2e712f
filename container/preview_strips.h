#pragma once
// A container's picture as its block means, one strip at a time, for
// previews that shrink each side by far more than a block: every block's
// mean is the rounded mean of the block it codes, so averaging means over a
// preview pixel gives nearly what averaging the decoded pixels gives. Only
// the two mean streams of each strip are expanded; the other five are read
// and walked through their framing but never decoded.
//
// Checked as far as what is read: the container checksum (which covers every
// byte of every stream) before the first strip, each strip's stream table
// and framing, the mean streams' lengths against the strip's block count,
// and the file ending exactly where the last strip ends. The pixel checksum
// needs every pixel and is not checked. Buffers are sized once per file and
// reused from strip to strip.

#include <cstdint>
#include <string>
#include <vector>

#include "codec/codec_state.h"
#include "container/rpx_container.h"

namespace kirune {

class PreviewStrips {
public:
    // Opens the container and checks its header, trailer and container
    // checksum; allocates nothing for the strips yet.
    explicit PreviewStrips(const std::string& path);

    const FileCoding& coding() const { return opened_.coding; }
    const ImageLayout& layout() const { return opened_.coding.layout; }
    const ImageMetadata& metadata() const { return opened_.meta; }

    // Reads the next strip and decodes its block means. False once the last
    // strip has been read and the file ends there. After an Error the object
    // is of no further use.
    bool next();

    const StripGeometry& geometry() const { return geometry_; }
    // The blocks that cover image row `r` of the strip (0 = its top row), as
    // 16-bit R, G, B triples, one per block column (paddedWidth / 4 of them;
    // each stands for 4 image columns).
    void blockRowRgb(int32_t r, std::vector<uint16_t>& rgb) const;

private:
    void decodeMeans();

    OpenedContainer opened_;
    SideStreams streams_;
    StripSection section_;
    StripGeometry geometry_;
    std::vector<uint8_t> means_[3];  // Y, Cb, Cr, region row 0 first
    PlaneGrid grids_[3];
    int32_t nextStrip_ = 0;
};

}  // namespace kirune
