#pragma once
// Output file names derived from the input path.

#include <string>

namespace kirune {

// The path's stem: everything before the last '.' of its file name. A dot in a
// folder name never counts, so an output always lands beside its input.
std::string pathStem(const std::string& path);

// Replaces the directory of `path` by `dir` (when not empty).
std::string placeInDirectory(const std::string& path, const std::string& dir);

// img.tif -> img_49-2.rpx
std::string compressedName(const std::string& inputPath, const std::string& qualityDbText,
                           const std::string& outputDir = {});
// img_49-2.rpx -> img_49-2.tif or img_49-2.bmp
std::string expandedName(const std::string& containerPath, bool bmp, const std::string& outputDir = {});

}  // namespace kirune
