#include "app/core/batch.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "app/core/batch_schedule.h"
#include "app/core/failure_text.h"
#include "app/core/ui.h"
#include "container/input_file.h"

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
    const std::string t = asciiLower(path);
    if (t.find(".rpx") != std::string::npos) return FileKind::Expand;
    if (t.find(".tif") != std::string::npos) return FileKind::CompressTiff;
    if (t.find(".bmp") != std::string::npos) return FileKind::CompressBmp;
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

std::optional<FileIdentity> identityOfPath(const std::string& path) {
    const std::optional<struct stat> st = pathStatus(path);
    if (!st) return std::nullopt;
    return identityOf(*st);
}

std::optional<UserMessage> outputConflict(const std::string& output, const FileList& list,
                           const std::vector<std::optional<FileIdentity>>& inputs,
                           const std::vector<std::pair<FileIdentity, std::size_t>>& written) {
    const std::optional<FileIdentity> target = identityOfPath(output);
    if (!target) return std::nullopt;
    for (std::size_t j = 0; j < inputs.size(); ++j)
        if (inputs[j] == target) return UserMessage{kOutputIsInputText, {}, output + " (" + list[j] + ")"};
    for (const auto& [identity, j] : written)
        if (identity == *target) return UserMessage{kOutputTakenText, {}, output + " (" + list[j] + ")"};
    return std::nullopt;
}

BatchResult runBatch(const FileList& list, FileProcessor& processor, BatchUi& ui, std::stop_token stop) {
    if (processor.batchThreads() > 1) return runFilesSideBySide(list, processor, ui, stop);
    BatchResult result;
    const std::size_t n = list.count();
    std::vector<std::optional<FileIdentity>> inputs(n);
    for (std::size_t i = 0; i < n; ++i) inputs[i] = identityOfPath(list[i]);
    std::vector<std::pair<FileIdentity, std::size_t>> written;  // and the file that wrote it
    for (std::size_t i = 0; i < n; ++i) {
        if (stop.stop_requested()) {
            result.stopped = true;
            result.notStarted = static_cast<int>(n - i);
            break;
        }
        ui.setCounterText(std::to_string(i + 1) + " / " + std::to_string(n));
        const std::string& path = list[i];
        const FileKind kind = classifyPath(path);
        if (kind == FileKind::Unsupported) {
            ui.showMessage(path, messageText(unsupportedMessage(path)));
            ui.setPathText("");
            ++result.failed;
            continue;
        }
        const std::string output = processor.outputPath(path, kind);
        if (const std::optional<UserMessage> conflict = outputConflict(output, list, inputs, written)) {
            ui.showMessage(path, messageText(*conflict));
            ui.setPathText("");
            ++result.failed;
            continue;
        }
        ui.setPathText(path);
        ui.repaint();
        if (processor.processOneFile(path, kind, ui)) {
            ++result.succeeded;
            if (const auto made = identityOfPath(output)) written.emplace_back(*made, i);
        } else {
            ++result.failed;
        }
        ui.setPathText("");
        ui.repaint();
    }
    if (stop.stop_requested()) result.stopped = true;
    ui.setPathText("");
    ui.setCounterText("0 / 0");
    ui.repaint();
    return result;
}

}  // namespace kirune
