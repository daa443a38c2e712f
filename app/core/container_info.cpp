#include "app/core/container_info.h"

#include <algorithm>

#include "codec/codec_state.h"
#include "container/rpx_container.h"
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

// The header holds a credit in place of a description the input did not have
// (or that did not fit): "開発者：" and a name, whichever program wrote it.
bool isCredit(const std::string& description) {
    static constexpr std::size_t kPrefixBytes = 8;  // "開発者：" in cp932
    return description.compare(0, kPrefixBytes, creditText(), 0, kPrefixBytes) == 0 &&
           description.size() > kPrefixBytes;
}

}  // namespace

ContainerInfo readContainerInfo(const std::string& path) {
    ContainerInfo info;
    readContainerInfo(path, info);
    return info;
}

void readContainerInfo(const std::string& path, ContainerInfo& info) {
    OpenedContainer c = openContainer(path);
    info.metadata = std::move(c.meta);
    info.width = c.coding.layout.width;
    info.height = c.coding.layout.height;
    info.qualityLevel = c.coding.quality.qualityLevel;
    info.colourSampling = c.coding.colourSampling;
    info.stripBudgetLog2 = c.coding.layout.stripBudgetLog2;
    info.stripHeight = c.coding.layout.stripHeight;
    info.stripCount = c.coding.layout.stripCount;
    info.lastStripRows = c.coding.layout.lastStripRows;
    info.trailer = std::move(c.trailer);
    ContainerReader& in = *c.reader;
    std::string description = info.metadata.description;
    if (isCredit(description)) {
        info.credit = description;
        description.clear();
    }
    if (info.trailer) {
        const std::vector<CarriedTag> tags = decodeCarriedTags(info.trailer->carriedTags);
        if (auto own = carriedDescription(tags)) description = std::move(*own);
        for (const CarriedTag& t : tags) ++info.carriedTagCounts[static_cast<int>(t.directory) & 3];
    }
    if (!description.empty()) info.description = std::move(description);
    info.headerRead = true;
    for (int32_t k = 0; k < info.stripCount; ++k) info.strips.push_back(skipStripSection(in));
    if (in.remaining() != 0) throwDamaged();
}

}  // namespace kirune
