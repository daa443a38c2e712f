#include "app/gui/batch_bridge.h"

#include <QFile>

#include "app/core/failure_text.h"

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

void DialogBatchUi::showMessage(const std::string& path, const std::string& text) {
    if (!control_.beginMessage()) return;
    emit messageRequested(pathToQString(path), QString::fromStdString(text));
    control_.awaitAcknowledge();
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

bool GuardedProcessor::processOneFile(const std::string& path, FileKind kind, BatchUi& ui) {
    if (control_.cancelled()) return false;
    try {
        return inner_.processOneFile(path, kind, ui);
    } catch (...) {
        ui.showMessage(path, failureText(std::current_exception()));
    }
    return false;
}

QString pathToQString(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

std::string pathFromQString(const QString& path) { return QFile::encodeName(path).toStdString(); }

}  // namespace kirune
