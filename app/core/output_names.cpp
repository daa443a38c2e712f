#include "app/core/output_names.h"

namespace kirune {

std::string pathStem(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < nameStart) return path;
    return path.substr(0, dot);
}

std::string placeInDirectory(const std::string& path, const std::string& dir) {
    if (dir.empty()) return path;
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string compressedName(const std::string& inputPath, const std::string& qualityDbText,
                           const std::string& outputDir) {
    return placeInDirectory(pathStem(inputPath) + "_" + qualityDbText + "-2.rpx", outputDir);
}

std::string expandedName(const std::string& containerPath, bool bmp, const std::string& outputDir) {
    return placeInDirectory(pathStem(containerPath) + (bmp ? ".bmp" : ".tif"), outputDir);
}

}  // namespace kirune
