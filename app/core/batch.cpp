#include "app/core/batch.h"

#include <algorithm>
#include <utility>

#include "app/core/batch_schedule.h"

namespace kirune {

bool FileList::add(std::string path) {
    if (paths_.size() >= limit_) return false;
    paths_.push_back(std::move(path));
    return true;
}

std::string asciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

static int compareNoCase(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

void sortFileList(FileList& list) {
    auto& p = list.paths();
    const std::size_t n = p.size();
    for (std::size_t i = 0; i + 1 < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            if (compareNoCase(p[j], p[i]) < 0) std::swap(p[i], p[j]);
}

FileKind classifyPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return FileKind::Unsupported;
    const std::string ext = asciiLower(path.substr(dot + 1));
    if (ext == "rpx") return FileKind::Expand;
    if (ext == "tif" || ext == "tiff") return FileKind::CompressTiff;
    if (ext == "bmp") return FileKind::CompressBmp;
    if (ext == "png") return FileKind::CompressPng;
    return FileKind::Unsupported;
}

UserMessage unsupportedMessage(const std::string& path) {
    const std::string t = asciiLower(path);
    const std::size_t dot = t.rfind('.');
    const std::string ext = dot == std::string::npos ? std::string() : t.substr(dot + 1);
    const std::size_t slash = t.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {kNoExtensionText, {ext}};
    return {kUnsupportedExtensionText, {ext}};
}

BatchResult runBatch(const FileList& list, FileProcessor& processor, BatchUi& ui, std::stop_token stop) {
    // One thread is the scheduler's simplest case: the same rules, in one place.
    return runFilesSideBySide(list, processor, ui, stop);
}

}  // namespace kirune
