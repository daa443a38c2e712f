#pragma once
// The main dialog: quality presets, output kind, drop and browse, the batch
// counter, path display and progress bar, help and the About box.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <stop_token>
#include <thread>

#include "app/core/drivers.h"
#include "app/core/presets.h"
#include "app/gui/batch_report.h"

class QAction;
class QButtonGroup;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace kirune {

class BatchControl;
class DialogBatchUi;
class DialogServices;
class FailureListDialog;
class FileProcessor;

// Where ヘルプ finds the guide: under <prefix>/share/doc/kirune/ as installed
// (from <prefix>/bin), else beside the program as the build tree has it.
QString helpPdfPath(const QString& programDir);

// The About box.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);
};

class MainDialog : public QDialog {
    Q_OBJECT
public:
    explicit MainDialog(DialogServices& services, QWidget* parent = nullptr);
    ~MainDialog() override;

    // The settings a batch started now would run with.
    JobSettings jobSettings() const;
    // Once `stop` is requested (a signal to the program), the current file is
    // abandoned, open boxes and file dialogs are closed (no one may be there
    // to answer them) and the window closes as soon as the batch lets it.
    void setStopToken(std::stop_token stop);
    int qualityRadio() const { return qualityRadio_; }
    bool batchRunning() const { return worker_.joinable(); }
    QString pathText() const { return pathText_; }
    // What the last batch did; empty before the first.
    const BatchSummary& lastBatch() const { return lastBatch_; }
    // Failures of a batch are collected and listed at its end instead of one box each,
    // and existing outputs are left alone unasked and listed there too.
    bool collectsFailures() const { return collectFailures_; }
    // Compressions use the rate-aware coder: the preset's quality in fewer bytes, slower.
    bool rateAware() const { return rateAware_; }

public slots:
    // Takes the paths as one dropped batch: drop order, folders replaced by the
    // images below them, at most 1000, then sorted.
    void onFilesDropped(const QStringList& paths);
    void onBrowse();
    void onQualityChanged();
    void onHelp();
    void onClose();
    void onAbout();
    // The last batch's failures and skipped files, in a window of their own.
    void onShowFailures();
    void onOpenOutputFolder();
    void setCollectFailures(bool collect);
    void setRateAware(bool rateAware);
    void reject() override;

signals:
    void batchFinished();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildQualityGroup();
    void buildButtons();
    void buildStatusLines();
    void layOut();
    // What the window starts with: the About action, drops, key handling and 高画質.
    void initialise();
    void buildBatchActions();
    // The preset, output kind and failure handling of the last run.
    void restoreChoices();
    void saveChoices() const;
    // What a digit key does: its preset, its radio (or none).
    void choosePreset(int digit);
    void usePreset(const Preset& preset);
    // The key table: presets, output kind, clearing the radios.
    void applyKey(const QKeyEvent& key);
    void showQuality();
    void selectRadio(int radio);
    void startBatch(const QStringList& paths);
    void finishBatch();
    void showReport();
    void refreshPathLabel();
    void showMessage(const QString& path, const QString& text);
    void askReplaceExisting(const QString& path, const QString& output);
    void setPathText(const QString& text);
    void setCounterText(const QString& text);
    void setProgress(int percent);
    void setInputEnabled(bool enabled);

    DialogServices& services_;

    // Settings; they outlive batches and change only by the radios and keys.
    int32_t qualityLevel_ = kDefaultPreset.qualityLevel;
    int32_t colourSampling_ = kDefaultPreset.colourSampling;
    int dbEstimate_ = kDefaultPreset.dbFigure;
    int qualityRadio_ = kDefaultPreset.radio;
    bool bmpOutput_ = false;
    bool pngOutput_ = false;  // P; B and T clear it
    bool collectFailures_ = false;
    bool rateAware_ = false;
    bool batchRateAware_ = false;  // the coder of the batch running or last run

    QButtonGroup* radios_ = nullptr;
    QRadioButton* radioButtons_[3] = {};
    QGroupBox* qualityGroup_ = nullptr;
    QPushButton* browseButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    QPushButton* helpButton_ = nullptr;
    QLabel* pathLabel_ = nullptr;
    QLabel* counterLabel_ = nullptr;
    QLabel* hintLabel_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QAction* failuresAction_ = nullptr;
    QAction* folderAction_ = nullptr;
    QAction* collectAction_ = nullptr;
    QAction* rateAwareAction_ = nullptr;
    FailureListDialog* failureList_ = nullptr;

    // One batch at a time; all of it is empty while none runs.
    std::shared_ptr<BatchControl> control_;
    std::unique_ptr<DialogBatchUi> batchUi_;
    std::unique_ptr<FileProcessor> processor_;
    std::thread worker_;
    bool closeRequested_ = false;
    std::stop_token stop_;
    std::unique_ptr<std::stop_callback<std::function<void()>>> onStop_;

    // What the status lines show of the batch running or last run.
    QString pathText_;  // the whole path; the label may show it elided
    bool reportShown_ = false;  // the path line holds the last batch's report
    BatchSummary lastBatch_;
};

}  // namespace kirune
