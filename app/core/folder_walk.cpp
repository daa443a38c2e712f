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

bool leftoverTemporary(const std::string& name) {
    return name.size() > 6 && name[0] == '.' && name.compare(name.size() - 5, 5, ".part") == 0;
}

bool kindWanted(FileKind kind, WalkFinds finds) {
    if (kind == FileKind::Unsupported) return false;
    if (finds == WalkFinds::Both) return true;
    return (kind == FileKind::Expand) == (finds == WalkFinds::Containers);
}

bool wanted(const fs::directory_entry& entry, const fs::path& canonicalRoot, WalkFinds finds) {
    std::error_code ec;
    const std::string name = entry.path().filename().string();
    if (!kindWanted(classifyPath(name), finds) || leftoverTemporary(name)) return false;
    if (entry.is_symlink(ec)) {
        const fs::path target = fs::canonical(entry.path(), ec);
        if (ec || !insideTree(target, canonicalRoot)) return false;
    }
    return entry.is_regular_file(ec) && !ec;
}

}  // namespace

std::vector<std::string> collectFolderImages(const std::string& root, WalkFinds finds) {
    std::error_code ec;
    const fs::path canonicalRoot = fs::canonical(root, ec);
    if (ec) return {};
    std::vector<std::pair<std::string, std::string>> found;  // relative, full
    // One folder at a time, so that a folder that cannot be read (or vanishes
    // meanwhile) costs only its own files, not the rest of the walk.
    std::vector<fs::path> folders{fs::path(root)};
    while (!folders.empty()) {
        const fs::path folder = std::move(folders.back());
        folders.pop_back();
        fs::directory_iterator it(folder, ec);
        for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
            std::error_code kind;
            if (it->is_directory(kind) && !it->is_symlink(kind))
                folders.push_back(it->path());
            else if (wanted(*it, canonicalRoot, finds))
                found.emplace_back(it->path().lexically_relative(root).string(), it->path().string());
        }
        ec.clear();
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    paths.reserve(found.size());
    for (auto& f : found) paths.push_back(std::move(f.second));
    return paths;
}

}  // namespace kirune
