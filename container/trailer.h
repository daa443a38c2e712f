#pragma once
// The trailer: an optional block after the last strip. Readers that do not
// know it never reach it (they walk the strips back to back and stop), so the
// header and strips stay exactly what they were. Its layout, its footer and
// the layouts of its records are mapped in docs/format.md. Records of types
// this version does not know are kept in the listing and otherwise skipped.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Keeps the checksum library's declarations out of every includer.
struct XXH3_state_s;

namespace kirune {

struct ImageLayout;
struct StripWork;

inline constexpr uint16_t kTrailerVersion = 1;
inline constexpr int kTrailerFooterBytes = 32;
// A larger trailer is damage: nothing this system writes comes near it.
inline constexpr int64_t kMaxTrailerBytes = int64_t{64} << 20;

enum class TrailerRecord : uint16_t {
    ContainerChecksum = 1,  // XXH3-128 of every byte before the trailer
    PixelChecksum = 2,      // pixelChecksum of the decoded image
    CarriedTags = 3,        // the input's metadata as captured whole
    InputName = 4,          // the input's file name and modification time
    SourceImage = 5,        // the input's format and sample width
    PngChunks = 6,          // a PNG input's text and Exif chunks (png_chunks.h)
    Greyscale = 7,          // a greyscale input's photometric and grey checksum
};

// The file format a container was made from and its bits per sample, so that
// an expansion can write what came in.
enum class SourceFormat : uint8_t { Tiff = 1, Bmp = 2, Png = 3 };
struct SourceImage {
    SourceFormat format = SourceFormat::Tiff;
    uint8_t bitsPerSample = 16;
    bool operator==(const SourceImage&) const = default;
};

// What a container remembers of the file it was made from: the last
// component of its path, bytes as they were (never checked here: a reader
// that uses it as a name must refuse what is not a plain name), and its
// modification time.
struct InputName {
    std::string name;
    int64_t modifiedSeconds = 0;
    uint32_t modifiedNanoseconds = 0;
    bool operator==(const InputName&) const = default;
};

// The pixel checksum (docs/format.md) sums strips on their own so that the
// workers do it side by side.

struct Checksum128 {
    uint64_t low = 0, high = 0;
    bool operator==(const Checksum128&) const = default;
    std::string hex() const;
};

// A greyscale input (written only for one, with a SourceImage record for its
// format and bits). Record layout: photometric u8 (GreyFormat's), then the
// grey checksum: the pixel checksum's rule over one 16-bit sample per pixel,
// the rounded mean (R + G + B + 1) / 3 of the decoded picture, which is what
// a greyscale expansion writes (before a min-is-white one inverts it). The
// pixel checksum stays over R, G and B, so readers that skip this record
// still check and expand the picture, as RGB.
struct GreySource {
    uint8_t photometric = 1;
    Checksum128 pixels;
    bool operator==(const GreySource&) const = default;
};

struct Trailer {
    std::optional<Checksum128> container;
    std::optional<Checksum128> pixels;
    std::vector<uint8_t> carriedTags;  // empty: none
    std::optional<InputName> inputName;
    std::optional<SourceImage> source;
    std::vector<uint8_t> pngChunks;  // empty: none
    std::optional<GreySource> grey;
    // Read back: where the trailer starts, and every record as it stood.
    int64_t offset = 0;
    struct Entry {
        uint16_t type;
        uint32_t length;
    };
    std::vector<Entry> records;
};

// The trailer's bytes, footer included.
std::vector<uint8_t> encodeTrailer(const Trailer& t);

// Looks for a trailer at the end of the `size` bytes readable through `fd`
// (pread: the descriptor's position is untouched). nullopt when the file ends
// without one; Error(kDamagedFileText) when it is malformed: a bad footer or
// checksum, an unknown version, more than kMaxTrailerBytes, records that do
// not fill it exactly, checksum records of the wrong size or a name record
// too short for its time or with nanoseconds past a second.
std::optional<Trailer> readTrailer(int fd, int64_t size);

// The checksum of strip `stripIndex`'s image rows from w.rPlane, w.gPlane,
// w.bPlane (16-bit output values), and of a whole image from its strips'.
Checksum128 stripPixelChecksum(const ImageLayout& layout, int32_t stripIndex, const StripWork& w);
// Replaces R, G and B of strip `stripIndex`'s image pixels by their rounded
// mean, the sample a greyscale expansion writes, and returns the strip's
// grey checksum.
Checksum128 greyStripPlanes(const ImageLayout& layout, int32_t stripIndex, StripWork& w);
class Checksummer;
// Adds native 16-bit samples to a pixel checksum, little-endian whatever the host.
void addSamples(Checksummer& sum, const uint16_t* samples, std::size_t count);
Checksum128 pixelChecksum(const std::vector<Checksum128>& strips);

// XXH3-128 of the first `length` bytes readable through `fd` (pread).
Checksum128 checksumOfFile(int fd, int64_t length);

// XXH3-128 streamed over bytes.
class Checksummer {
public:
    Checksummer();
    ~Checksummer();
    Checksummer(const Checksummer&) = delete;
    Checksummer& operator=(const Checksummer&) = delete;
    void add(const void* data, std::size_t n);
    Checksum128 digest() const;

private:
    XXH3_state_s* state_;
};

}  // namespace kirune
