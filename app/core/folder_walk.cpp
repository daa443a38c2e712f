#include "app/core/folder_walk.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "app/core/batch.h"

namespace kirune {

namespace fs = std::filesystem;

namespace {

bool insideTree(const fs::path& target, const fs::path& canonicalRoot) {
    auto r = canonicalRoot.begin();
    auto t = target.begin();
    for (; r != canonicalRoot.end(); ++r, ++t)
        if (t == target.end() || *r != *t) return false;
    return true;
}

bool wanted(const fs::directory_entry& entry, const fs::path& canonicalRoot) {
    std::error_code ec;
    if (classifyPath(entry.path().filename().string()) == FileKind::Unsupported) return false;
    if (entry.is_symlink(ec)) {
        const fs::path target = fs::canonical(entry.path(), ec);
        if (ec || !insideTree(target, canonicalRoot)) return false;
    }
    return entry.is_regular_file(ec) && !ec;
}

}  // namespace

std::vector<std::string> collectFolderImages(const std::string& root) {
    std::error_code ec;
    const fs::path canonicalRoot = fs::canonical(root, ec);
    if (ec) return {};
    std::vector<std::pair<std::string, std::string>> found;  // relative, full
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
    for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
        if (wanted(*it, canonicalRoot))
            found.emplace_back(it->path().lexically_relative(root).string(), it->path().string());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    paths.reserve(found.size());
    for (auto& f : found) paths.push_back(std::move(f.second));
    return paths;
}

}  // namespace kirune
