#pragma once
// The link between a batch on its worker thread and the dialog on the window's
// thread. Display updates travel as queued signals; a message holds the worker
// until the window acknowledges it, and a close request releases it at once.

#include <QObject>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/core/batch.h"
#include "app/core/ui.h"
#include "app/gui/batch_report.h"

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
    // Worker, after beginMessage: the window's answer to a question; none when
    // the batch was cancelled first (nobody may be left to answer).
    std::optional<ExistingOutputChoice> awaitAnswer();
    // Window: the user has answered the question.
    void answer(ExistingOutputChoice choice);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool cancelled_ = false;
    bool pending_ = false;
    std::optional<ExistingOutputChoice> answer_;
};

// The dialog's BatchUi; its calls come from the worker. Every message is a
// failure and goes into the summary; with `collectFailures` that is all, and
// the batch goes on without waiting for anyone: an existing output is then
// left alone unasked.
class DialogBatchUi : public QObject, public BatchUi {
    Q_OBJECT
public:
    DialogBatchUi(BatchControl& control, bool collectFailures) : control_(control), collect_(collectFailures) {}
    // The worker's until it has ended.
    BatchSummary& summary() { return summary_; }
    // From the window, while the batch runs: later failures follow the new choice.
    void setCollectFailures(bool collect) { collect_ = collect; }

    void showMessage(const std::string& path, const std::string& text) override;
    void setPathText(const std::string& text) override;
    void setCounterText(const std::string& text) override;
    void setProgress(int percent) override;
    // Holds the worker until the window has answered; a cancelled batch skips.
    ExistingOutputChoice askReplaceExisting(const std::string& path, const std::string& output) override;
    void noteSkipped(const std::string& path, const std::string& output) override;

signals:
    void messageRequested(const QString& path, const QString& text);
    void replaceQuestionRequested(const QString& path, const QString& output);
    void pathTextChanged(const QString& text);
    void counterTextChanged(const QString& text);
    void progressChanged(int percent);

private:
    BatchControl& control_;
    std::atomic<bool> collect_;
    BatchSummary summary_;
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
    ExistingOutputs existingOutputs() const override { return inner_.existingOutputs(); }
    FileOutcome processFile(const FileTask& task, BatchUi& ui) override;

private:
    FileProcessor& inner_;
    const BatchControl& control_;
};

// The batch for paths dropped or named together: in the order given, each
// folder replaced by the images below it (collectFolderImages), the first
// kMaxBatchFiles of them, sorted.
FileList droppedFileList(const std::vector<std::string>& paths);

// Paths cross to and from Qt as the file system's bytes, untouched.
QString pathToQString(const std::string& path);
std::string pathFromQString(const QString& path);

}  // namespace kirune
