#pragma once
// Descriptive metadata that travels from an input image through the container
// into an expanded TIFF. One instance per file: nothing here outlives the file
// it was read from, so no description or tag can leak into a later file.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kirune {

// A greyscale picture, coded as RGB with R = G = B: its photometric
// interpretation as TIFF numbers it (0 min-is-white, 1 min-is-black) and its
// bits per sample. A min-is-white picture is inverted on the way in, so that
// the coded picture is the grey one every reader shows.
struct GreyFormat {
    uint8_t photometric = 1;
    uint8_t bitsPerSample = 16;
    bool operator==(const GreyFormat&) const = default;
};

struct ImageMetadata {
    // Texts are cp932 bytes without their terminating NUL; nullopt = absent,
    // which the container tells apart from an empty text.
    std::optional<std::string> make, model, software, dateTime, artist;
    uint16_t resolutionUnit = 0;
    float xResolution = 0.0f;
    float yResolution = 0.0f;
    std::vector<uint8_t> iccProfile;
    // The container's description (at most kDescriptionBytes - 1 bytes are
    // stored): the input's own ImageDescription when it has one of 4 to 30
    // bytes, otherwise creditText().
    std::string description;
    // Every other tag the input's image directory carries, with its Exif and
    // GPS directories, encoded whole (carried_tags.h); empty for a BMP and
    // for containers from before the trailer. Travels in the trailer.
    std::vector<uint8_t> carriedTags;
    // A PNG input's text and Exif chunks (png_chunks.h), encoded; empty for
    // other inputs. Travels in the trailer.
    std::vector<uint8_t> pngChunks;
    // Set for a greyscale input, and for a container made from one, whose
    // expansions write one sample per pixel (BMP: three equal ones).
    // Travels in the trailer.
    std::optional<GreyFormat> grey;
};

// Size of the description field this system writes into every container.
inline constexpr int32_t kDescriptionBytes = 32;

// "開発者：" followed by the credit name, as cp932 bytes.
std::string creditText();

}  // namespace kirune
