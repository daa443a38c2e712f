#include "app/core/container_info.h"

#include <algorithm>

#include "codec/val.h"
#include "container/carried_tags.h"
#include "kirune/Error.h"

namespace kirune {

namespace {

// The trailer's image description, when it carries one.
std::optional<std::string> carriedDescription(const std::vector<CarriedTag>& tags) {
    std::optional<std::string> found;
    for (const CarriedTag& t : tags)
        if (t.directory == CarriedDirectory::Image && t.tag == 270)
            found.emplace(reinterpret_cast<const char*>(t.value.data()),
                          std::find(t.value.begin(), t.value.end(), 0) - t.value.begin());
    return found;
}

}  // namespace

ContainerInfo readContainerInfo(const std::string& path) {
    ContainerReader in(path);
    CodecState s;
    ContainerInfo info;
    readContainerHeader(in, s, info.metadata);
    info.width = s.imageWidth;
    info.height = s.imageHeight;
    info.qualityLevel = s.qualityLevel;
    info.colourSampling = s.colourSampling;
    info.stripBudgetLog2 = s.stripBudgetLog2;
    info.stripHeight = s.stripHeight;
    info.stripCount = s.stripCount;
    info.lastStripRows = s.lastStripRows;

    info.trailer = readTrailer(in.fd(), in.size());
    std::string description = info.metadata.description;
    if (info.trailer) {
        in.setEnd(info.trailer->offset);
        const std::vector<CarriedTag> tags = decodeCarriedTags(info.trailer->carriedTags);
        if (auto own = carriedDescription(tags)) description = std::move(*own);
        for (const CarriedTag& t : tags) ++info.carriedTagCounts[static_cast<int>(t.directory) & 3];
    }
    if (description != creditText()) info.description = std::move(description);
    for (int32_t k = 0; k < s.stripCount; ++k) info.strips.push_back(skipStripSection(in));
    if (in.remaining() != 0) throwDamaged();
    return info;
}

}  // namespace kirune
