#pragma once
// Output file names derived from the input path.

#include <cstddef>
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
// What an expansion writes.
enum class ExpandedKind { Tiff, Bmp, Png };

// img_49-2.rpx -> img_49-2.tif, img_49-2.bmp or img_49-2.png
std::string expandedName(const std::string& containerPath, ExpandedKind kind, const std::string& outputDir = {});
inline std::string expandedName(const std::string& containerPath, bool bmp, const std::string& outputDir = {}) {
    return expandedName(containerPath, bmp ? ExpandedKind::Bmp : ExpandedKind::Tiff, outputDir);
}

// Longest input name an expansion takes back (NAME_MAX of the usual file systems).
inline constexpr std::size_t kMaxRestoredNameBytes = 255;

// Why a name stored in a container cannot name a file (it comes from the
// file, so it is anyone's): nullptr when it is one plain file name.
const char* storedNameProblem(const std::string& name);

// The expansion of `containerPath` under the input name a container stored
// (which storedNameProblem accepts): the name as it was when its extension
// already says what is written (.tif, .tiff in any case for a TIFF, .bmp for
// a BMP, .png for a PNG), else its stem with .tif, .bmp or .png; beside the
// container or in `outputDir`. x.TIFF -> x.TIFF; x.bmp -> x.tif.
std::string restoredName(const std::string& containerPath, const std::string& storedName, ExpandedKind kind,
                         const std::string& outputDir = {});
inline std::string restoredName(const std::string& containerPath, const std::string& storedName, bool bmp,
                                const std::string& outputDir = {}) {
    return restoredName(containerPath, storedName, bmp ? ExpandedKind::Bmp : ExpandedKind::Tiff, outputDir);
}

}  // namespace kirune
