#include "app/gui/batch_bridge.h"

#include <QFile>
#include <filesystem>
#include <system_error>
#include <utility>

#include "app/core/failure_text.h"
#include "app/core/folder_walk.h"

namespace kirune {

void BatchControl::cancel() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    changed_.notify_all();
}

bool BatchControl::cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

bool BatchControl::beginMessage() {
    std::lock_guard lock(mutex_);
    if (cancelled_) return false;
    pending_ = true;
    answer_.reset();
    return true;
}

void BatchControl::awaitAcknowledge() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !pending_ || cancelled_; });
    pending_ = false;
}

void BatchControl::acknowledge() {
    {
        std::lock_guard lock(mutex_);
        pending_ = false;
    }
    changed_.notify_all();
}

std::optional<ExistingOutputChoice> BatchControl::awaitAnswer() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !pending_ || cancelled_; });
    pending_ = false;
    std::optional<ExistingOutputChoice> given = std::exchange(answer_, std::nullopt);
    if (cancelled_) return std::nullopt;  // the window is closing: nothing it said still stands
    return given;
}

void BatchControl::answer(ExistingOutputChoice choice) {
    {
        std::lock_guard lock(mutex_);
        answer_ = choice;
        pending_ = false;
    }
    changed_.notify_all();
}

void DialogBatchUi::showMessage(const std::string& path, const std::string& text) {
    summary_.addFailure(pathToQString(path), QString::fromStdString(text));
    if (collect_ || !control_.beginMessage()) return;
    emit messageRequested(pathToQString(path), QString::fromStdString(text));
    control_.awaitAcknowledge();
}

ExistingOutputChoice DialogBatchUi::askReplaceExisting(const std::string& path, const std::string& output) {
    // Unattended, or closing: nobody answers, and nothing is replaced unasked.
    if (collect_) return ExistingOutputChoice::Skip;
    if (!control_.beginMessage()) return ExistingOutputChoice::SkipAll;
    emit replaceQuestionRequested(pathToQString(path), pathToQString(output));
    return control_.awaitAnswer().value_or(ExistingOutputChoice::SkipAll);
}

void DialogBatchUi::noteSkipped(const std::string& path, const std::string& output) {
    summary_.addSkipped(pathToQString(path), pathToQString(output));
}

void DialogBatchUi::setPathText(const std::string& text) { emit pathTextChanged(pathToQString(text)); }

void DialogBatchUi::setCounterText(const std::string& text) {
    emit counterTextChanged(QString::fromStdString(text));
}

void DialogBatchUi::setProgress(int percent) {
    if (percent == lastProgress_) return;
    lastProgress_ = percent;
    emit progressChanged(percent);
}

bool GuardedProcessor::processOneFileOn(const std::string& path, FileKind kind, BatchUi& ui, int threads) {
    if (control_.cancelled()) return false;
    try {
        return inner_.processOneFileOn(path, kind, ui, threads);
    } catch (...) {
        ui.showMessage(path, failureText(std::current_exception()));
    }
    return false;
}

FileOutcome GuardedProcessor::processFile(const FileTask& task, BatchUi& ui) {
    if (control_.cancelled()) return FileOutcome::Failed;
    try {
        return inner_.processFile(task, ui);
    } catch (...) {
        ui.showMessage(task.path, failureText(std::current_exception()));
    }
    return FileOutcome::Failed;
}

bool GuardedProcessor::processOneFile(const std::string& path, FileKind kind, BatchUi& ui) {
    if (control_.cancelled()) return false;
    try {
        return inner_.processOneFile(path, kind, ui);
    } catch (...) {
        ui.showMessage(path, failureText(std::current_exception()));
    }
    return false;
}

FileList droppedFileList(const std::vector<std::string>& paths) {
    FileList list;
    for (const std::string& path : paths) {
        std::error_code ec;
        // A dropped link to a folder is entered: the user chose it.
        if (!std::filesystem::is_directory(path, ec)) {
            if (!list.add(path)) break;
            continue;
        }
        for (std::string& image : collectFolderImages(path))
            if (!list.add(std::move(image))) break;
        if (list.count() == kMaxBatchFiles) break;
    }
    sortFileList(list);
    return list;
}

QString pathToQString(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

std::string pathFromQString(const QString& path) { return QFile::encodeName(path).toStdString(); }

}  // namespace kirune
