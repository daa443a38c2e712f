#include "app/core/FileList.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "app/core/ui.h"

namespace kirune {

bool FileList::add(std::string path) {
    if (paths_.size() >= kMaxBatchFiles) return false;
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
    const std::string t = asciiLower(path);
    if (t.find(".rpx") != std::string::npos) return FileKind::Expand;
    if (t.find(".tif") != std::string::npos) return FileKind::CompressTiff;
    if (t.find(".bmp") != std::string::npos) return FileKind::CompressBmp;
    return FileKind::Unsupported;
}

std::string unsupportedMessage(const std::string& path) {
    const std::string t = asciiLower(path);
    const std::size_t dot = t.rfind('.');
    const std::string ext = dot == std::string::npos ? std::string() : t.substr(dot + 1);
    return ext + "ファイル形式には対応していません";
}

BatchResult runBatch(const FileList& list, FileProcessor& processor, BatchUi& ui) {
    BatchResult result;
    const std::size_t n = list.count();
    for (std::size_t i = 0; i < n; ++i) {
        char counter[32];
        std::snprintf(counter, sizeof counter, "%zu / %zu", i + 1, n);
        ui.setCounterText(counter);
        const std::string& path = list[i];
        const FileKind kind = classifyPath(path);
        if (kind == FileKind::Unsupported) {
            ui.showMessage(path, unsupportedMessage(path));
            ui.setPathText("");
            ++result.failed;
            continue;
        }
        ui.setPathText(path);
        ui.repaint();
        if (processor.processOneFile(path, kind, ui))
            ++result.succeeded;
        else
            ++result.failed;
        ui.setPathText("");
        ui.repaint();
    }
    ui.setPathText("");
    ui.setCounterText("0 / 0");
    ui.repaint();
    return result;
}

}  // namespace kirune
