#pragma once
// The link between a batch on its worker thread and the dialog on the window's
// thread. Display updates travel as queued signals; a message holds the worker
// until the window acknowledges it, and a close request releases it at once.

#include <QObject>
#include <QString>
#include <condition_variable>
#include <mutex>
#include <string>

#include "app/core/batch.h"
#include "app/core/ui.h"

namespace kirune {

// Shared by the dialog and one batch's worker.
class BatchControl {
public:
    // Any thread. Pending and later messages are dropped, remaining files skipped.
    void cancel();
    bool cancelled() const;

    // Worker: announces a message; false when the batch is already cancelled.
    bool beginMessage();
    // Worker: returns once the window acknowledged the message or the batch was cancelled.
    void awaitAcknowledge();
    // Window: the user has pressed OK.
    void acknowledge();

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool cancelled_ = false;
    bool pending_ = false;
};

// The dialog's BatchUi; its calls come from the worker.
class DialogBatchUi : public QObject, public BatchUi {
    Q_OBJECT
public:
    explicit DialogBatchUi(BatchControl& control) : control_(control) {}

    void showMessage(const std::string& path, const std::string& text) override;
    void setPathText(const std::string& text) override;
    void setCounterText(const std::string& text) override;
    void setProgress(int percent) override;

signals:
    void messageRequested(const QString& path, const QString& text);
    void pathTextChanged(const QString& text);
    void counterTextChanged(const QString& text);
    void progressChanged(int percent);

private:
    BatchControl& control_;
    int lastProgress_ = -1;  // drivers report often; only changes cross threads
};

// Wraps the processor a batch runs through: skips files once the batch is
// cancelled, and turns anything a file throws into that file's message so the
// batch always goes on.
class GuardedProcessor : public FileProcessor {
public:
    GuardedProcessor(FileProcessor& inner, const BatchControl& control) : inner_(inner), control_(control) {}
    bool processOneFile(const std::string& path, FileKind kind, BatchUi& ui) override;
    std::string outputPath(const std::string& path, FileKind kind) const override {
        return inner_.outputPath(path, kind);
    }
    int batchThreads() const override { return inner_.batchThreads(); }
    FileFootprint footprint(const std::string& path, FileKind kind) const override {
        return inner_.footprint(path, kind);
    }
    bool processOneFileOn(const std::string& path, FileKind kind, BatchUi& ui, int threads) override;

private:
    FileProcessor& inner_;
    const BatchControl& control_;
};

// Paths cross to and from Qt as the file system's bytes, untouched.
QString pathToQString(const std::string& path);
std::string pathFromQString(const QString& path);

}  // namespace kirune
