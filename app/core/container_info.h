#pragma once
// What a container holds, read without decoding a strip: the header's
// geometry and settings, the metadata, every strip's stream table and the
// trailer. rpx info prints it.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "container/metadata.h"
#include "container/stream_table.h"
#include "container/trailer.h"

namespace kirune {

struct ContainerInfo {
    int32_t width = 0;
    int32_t height = 0;
    int32_t qualityLevel = 0;
    int32_t colourSampling = 0;
    int32_t stripBudgetLog2 = 0;
    int32_t stripHeight = 0;
    int32_t stripCount = 0;
    int32_t lastStripRows = 0;
    // The description is the photograph's own (the trailer's, whatever its
    // length, when it carries one); nullopt where the container holds only
    // the writing program's credit, which is `credit` instead (as stored,
    // cp932 bytes).
    ImageMetadata metadata;
    std::optional<std::string> description;
    std::optional<std::string> credit;
    std::vector<StreamTable> strips;
    std::optional<Trailer> trailer;
    // Carried tags by directory: image, Exif, GPS, Interoperability.
    std::array<int, 4> carriedTagCounts{};
    bool headerRead = false;  // everything above `strips` is filled in
};

// Reads `path` through; throws Error when it is not a container or its strips
// do not end exactly where the file (or its trailer) does.
ContainerInfo readContainerInfo(const std::string& path);
// The same into `info`, which keeps what was read (the header, the strips
// before any damage) when it throws.
void readContainerInfo(const std::string& path, ContainerInfo& info);

}  // namespace kirune
