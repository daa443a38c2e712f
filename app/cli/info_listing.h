#pragma once
// `rpx info`: what containers hold, as text or one JSON object per line.

#include <string>
#include <vector>

namespace kirune::cli {

// Lists each container in turn; one that cannot be read is named on standard
// error and the rest still listed. Returns the exit status.
int listContainers(const std::vector<std::string>& paths, bool json);

}  // namespace kirune::cli
