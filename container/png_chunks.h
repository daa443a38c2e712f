#pragma once
// The text, Exif and colour chunks of an input PNG, carried in the trailer so
// that an expansion to PNG writes them back with the values they had.
// Their encoding is the trailer's PngChunks record (docs/format.md).

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kirune {

struct PngText {
    uint8_t kind = 0;
    std::string keyword, language, translatedKeyword, text;
    bool operator==(const PngText&) const = default;
};

// gAMA, cHRM, sRGB or bKGD with its data as the file holds it (big-endian).
struct PngColourChunk {
    std::string type;
    std::vector<uint8_t> data;
    bool operator==(const PngColourChunk&) const = default;
};

// Whether `type` is one of the colour chunks carried and `size` a size it
// has (bKGD: 2 bytes for grey, 6 for RGB).
bool isCarriedColourChunk(const std::string& type, std::size_t size);

struct PngChunks {
    std::vector<uint8_t> exif;  // eXIf's bytes, a TIFF header and directory
    std::vector<PngText> texts;
    std::vector<PngColourChunk> colour;
    bool empty() const { return exif.empty() && texts.empty() && colour.empty(); }
    bool operator==(const PngChunks&) const = default;
};

// The XMP packet's keyword in an iTXt chunk.
inline constexpr const char* kXmpKeyword = "XML:com.adobe.xmp";

// Empty for no chunks.
std::vector<uint8_t> encodePngChunks(const PngChunks& chunks);
// Throws Error(kDamagedFileText) when the bytes are not an encoding as above.
PngChunks decodePngChunks(std::span<const uint8_t> bytes);

// A carried-tags blob (carried_tags.h) holding the XMP packet as the TIFF tag
// XMLPacket (700), so that a TIFF expansion carries it too; empty without XMP.
std::vector<uint8_t> xmpAsCarriedTags(const PngChunks& chunks);

}  // namespace kirune
