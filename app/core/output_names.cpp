#include "app/core/output_names.h"

#include "app/core/batch.h"

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

namespace {
const char* extensionOf(ExpandedKind kind) {
    return kind == ExpandedKind::Bmp ? ".bmp" : kind == ExpandedKind::Png ? ".png" : ".tif";
}
}  // namespace

std::string expandedName(const std::string& containerPath, ExpandedKind kind, const std::string& outputDir) {
    return placeInDirectory(pathStem(containerPath) + extensionOf(kind), outputDir);
}

const char* storedNameProblem(const std::string& name) {
    if (name.empty()) return "it is empty";
    if (name == "." || name == "..") return "it names a folder";
    if (name.find('/') != std::string::npos) return "it holds a '/'";
    if (name.find('\0') != std::string::npos) return "it holds a NUL byte";
    if (name.size() > kMaxRestoredNameBytes) return "it is longer than 255 bytes";
    return nullptr;
}

std::string restoredName(const std::string& containerPath, const std::string& storedName, ExpandedKind kind,
                         const std::string& outputDir) {
    const std::size_t dot = storedName.rfind('.');
    const std::string extension = dot == std::string::npos ? std::string() : asciiLower(storedName.substr(dot));
    const bool kept = kind == ExpandedKind::Tiff ? extension == ".tif" || extension == ".tiff"
                                                 : extension == extensionOf(kind);
    const std::string name = kept ? storedName : pathStem(storedName) + extensionOf(kind);
    if (!outputDir.empty()) return placeInDirectory(name, outputDir);
    const std::size_t slash = containerPath.rfind('/');
    return slash == std::string::npos ? name : containerPath.substr(0, slash + 1) + name;
}

}  // namespace kirune
