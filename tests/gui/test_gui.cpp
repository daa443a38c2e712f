// The dialog through its real widgets on the offscreen platform. Message
// boxes, the file picker and the shell's "open" are replaced by a recorder;
// batches run through a scripted processor or, where built, the real drivers.

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "app/core/FileList.h"
#include "app/core/drivers.h"
#include "app/core/output_names.h"
#include "app/core/ui.h"
#include "app/gui/BatchBridge.h"
#include "app/gui/DialogServices.h"
#include "app/gui/Pavo.h"
#include "app/gui/PavoDlg.h"
#include "common/kirune/Error.h"

#ifdef KIRUNE_HAVE_DRIVERS
#include <tiffio.h>
#endif

using namespace kirune;

namespace {

// What the scripted processor saw; written by the worker, read by the test.
struct ProcessorLog {
    std::mutex mutex;
    std::vector<std::string> paths;
    std::vector<FileKind> kinds;
    QSemaphore started;  // one per file begun
    QSemaphore proceed;  // a gated processor waits for one per file
    std::atomic<bool> gated = false;
    int progress = -1;
    std::string damagedOn;
    std::string outOfMemoryOn;

    std::vector<std::string> seen() {
        std::lock_guard lock(mutex);
        return paths;
    }
};

class ScriptedProcessor : public FileProcessor {
public:
    explicit ScriptedProcessor(ProcessorLog& log) : log_(log) {}
    bool processOneFile(const std::string& path, FileKind kind, BatchUi& ui) override {
        {
            std::lock_guard lock(log_.mutex);
            log_.paths.push_back(path);
            log_.kinds.push_back(kind);
        }
        if (log_.progress >= 0) ui.setProgress(log_.progress);
        log_.started.release();
        if (log_.gated) log_.proceed.acquire();
        if (path == log_.damagedOn) throw Error("ファイルが壊れています");
        if (path == log_.outOfMemoryOn) throw std::bad_alloc();
        return true;
    }

private:
    ProcessorLog& log_;
};

class RecordingServices : public DialogServices {
public:
    QStringList messages;
    QStringList messagePaths;
    std::function<void()> whileMessageOpen;
    QStringList browseResult;
    QStringList browseFilters;
    QList<QUrl> opened;
    bool openSucceeds = true;
    std::vector<JobSettings> batchSettings;
    bool realDrivers = false;
    ProcessorLog log;

    void showMessage(QWidget*, const QString& path, const QString& text) override {
        messages.append(text);
        messagePaths.append(path);
        if (whileMessageOpen) whileMessageOpen();
    }
    QStringList browseFiles(QWidget*, const QString& filter) override {
        browseFilters.append(filter);
        return browseResult;
    }
    bool openUrl(const QUrl& url) override {
        opened.append(url);
        return openSucceeds;
    }
    std::unique_ptr<FileProcessor> makeProcessor(const JobSettings& settings) override {
        batchSettings.push_back(settings);
#ifdef KIRUNE_HAVE_DRIVERS
        if (realDrivers) return std::make_unique<FileDrivers>(settings);
#endif
        return std::make_unique<ScriptedProcessor>(log);
    }
};

constexpr int kWait = 20000;
#define WAIT_FOR_BATCH() QTRY_VERIFY_WITH_TIMEOUT(!dlg().batchRunning(), kWait)

QString caption(CPavoDlg& dlg) { return dlg.findChild<QGroupBox*>("qualityGroup")->title(); }

QRadioButton* radio(CPavoDlg& dlg, const char* name) { return dlg.findChild<QRadioButton*>(name); }

// Index of the checked quality radio, -1 when none is.
int checkedRadio(CPavoDlg& dlg) {
    const char* names[3] = {"standardRadio", "highRadio", "superRadio"};
    int found = -1;
    for (int i = 0; i < 3; ++i)
        if (radio(dlg, names[i])->isChecked()) {
            if (found >= 0) return -2;  // two at once would be a fault of its own
            found = i;
        }
    return found;
}

QString labelText(CPavoDlg& dlg, const char* name) { return dlg.findChild<QLabel*>(name)->text(); }

QPushButton* button(CPavoDlg& dlg, const char* name) { return dlg.findChild<QPushButton*>(name); }

// A key as a user types it: to whatever has the focus.
void press(CPavoDlg& dlg, Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QWidget* target = dlg.focusWidget() ? dlg.focusWidget() : &dlg;
    QTest::keyClick(target, key, mods);
}

// Drags the files onto the window and drops them; false when the window refused.
bool dropFiles(CPavoDlg& dlg, const QStringList& paths) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& p : paths) urls.append(QUrl::fromLocalFile(p));
    mime.setUrls(urls);
    const QPointF pos(dlg.width() / 2.0, dlg.height() / 2.0);
    QDragEnterEvent enter(pos.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&dlg, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(pos, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&dlg, &drop);
    return true;
}

#ifdef KIRUNE_HAVE_DRIVERS
// A small 16-bit RGB TIFF with smooth gradients and a hard edge.
void writeTiff(const QString& path, int width, int height) {
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
    QVERIFY(tif != nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
    std::vector<uint16_t> row(static_cast<size_t>(width) * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            row[x * 3 + 0] = static_cast<uint16_t>(x * 65535 / width);
            row[x * 3 + 1] = static_cast<uint16_t>(y * 65535 / height);
            row[x * 3 + 2] = x > width / 2 ? 60000 : 4000;
        }
        QVERIFY(TIFFWriteScanline(tif, row.data(), y, 0) >= 0);
    }
    TIFFClose(tif);
}

struct TiffShape {
    uint32_t width = 0, height = 0;
    uint16_t samples = 0, bits = 0;
};

TiffShape readTiffShape(const QString& path) {
    TiffShape s;
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tif) return s;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &s.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &s.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &s.samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &s.bits);
    TIFFClose(tif);
    return s;
}

struct SilentUi : BatchUi {
    std::vector<std::string> messages;
    void showMessage(const std::string&, const std::string& text) override { messages.push_back(text); }
    void setPathText(const std::string&) override {}
    void setCounterText(const std::string&) override {}
    void setProgress(int) override {}
};
#endif

}  // namespace

class DialogTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<RecordingServices> services_;
    std::unique_ptr<CPavoDlg> dlg_;

    CPavoDlg& dlg() { return *dlg_; }

private slots:
    void init() {
        services_ = std::make_unique<RecordingServices>();
        dlg_ = std::make_unique<CPavoDlg>(*services_);
        dlg_->show();
        QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
        dlg_->activateWindow();
        radio(dlg(), "highRadio")->setFocus();
    }

    void cleanup() {
        // A failed check may leave a gated worker waiting; let it go.
        services_->log.gated = false;
        services_->log.proceed.release(1000);
        dlg_.reset();
        services_.reset();
    }

    void startsWithHighQualityAndTiffOutput() {
        QCOMPARE(dlg().windowTitle(), QString("TIFF(RGB各16bit)専用  圧縮／伸張プログラム"));
        QCOMPARE(radio(dlg(), "standardRadio")->text(), QString("標準"));
        QCOMPARE(radio(dlg(), "highRadio")->text(), QString("高画質"));
        QCOMPARE(radio(dlg(), "superRadio")->text(), QString("超高画質"));
        QCOMPARE(button(dlg(), "browseButton")->text(), QString("参照"));
        QCOMPARE(button(dlg(), "closeButton")->text(), QString("終了"));
        QCOMPARE(button(dlg(), "helpButton")->text(), QString("ヘルプ"));
        QCOMPARE(labelText(dlg(), "dropHint"), QString("TIFFファイルとRPXファイルをドラッグ＆ドロップできます"));
        QCOMPARE(labelText(dlg(), "counterText"), QString("0 / 0"));
        QCOMPARE(dlg().pathText(), QString());
        QCOMPARE(caption(dlg()), QString("画品質は約 49 dBです  出力:TIFF"));
        QCOMPARE(checkedRadio(dlg()), 1);
        const auto* bar = dlg().findChild<QProgressBar*>("progressBar");
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 0);
        const JobSettings s = dlg().jobSettings();
        QCOMPARE(s.qualityLevel, 12);
        QCOMPARE(s.colourSampling, 4);
        QCOMPARE(s.qualityDbText, std::string("49"));
        QVERIFY(!s.bmpOutput);
        QVERIFY(!dlg().windowIcon().isNull());
    }

    void digitKeysChoosePresets_data() {
        QTest::addColumn<int>("digit");
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("sampling");
        QTest::addColumn<int>("db");
        QTest::addColumn<int>("radio");  // checked afterwards, -1 for none
        QTest::newRow("0") << 0 << 400 << 1 << 35 << -1;
        QTest::newRow("1") << 1 << 21 << 4 << 47 << 0;
        QTest::newRow("2") << 2 << 12 << 4 << 49 << 1;
        QTest::newRow("3") << 3 << 6 << 4 << 51 << 2;
        QTest::newRow("4") << 4 << 4 << 4 << 53 << -1;
        QTest::newRow("5") << 5 << 3 << 4 << 54 << -1;
        QTest::newRow("6") << 6 << 1 << 4 << 56 << -1;
        QTest::newRow("7") << 7 << 65 << 4 << 42 << -1;
        QTest::newRow("8") << 8 << 100 << 2 << 40 << -1;
        QTest::newRow("9") << 9 << 200 << 2 << 38 << -1;
    }

    void digitKeysChoosePresets() {
        QFETCH(int, digit);
        QFETCH(int, level);
        QFETCH(int, sampling);
        QFETCH(int, db);
        QFETCH(int, radio);
        // From another preset first, so nothing is left over from the start state.
        press(dlg(), digit == 9 ? Qt::Key_3 : Qt::Key_9);
        press(dlg(), static_cast<Qt::Key>(Qt::Key_0 + digit));

        QCOMPARE(caption(dlg()), QString("画品質は約 %1 dBです  出力:TIFF").arg(db));
        QCOMPARE(checkedRadio(dlg()), radio);
        const JobSettings s = dlg().jobSettings();
        QCOMPARE(s.qualityLevel, level);
        QCOMPARE(s.colourSampling, sampling);
        QCOMPARE(dlg().dbEstimate(), db);

        // The next compressed file carries the figure in its name.
        QVERIFY(dropFiles(dlg(), {"/photos/pic.tif"}));
        WAIT_FOR_BATCH();
        QCOMPARE(services_->batchSettings.size(), size_t(1));
        const JobSettings& used = services_->batchSettings.front();
        QCOMPARE(used.qualityLevel, level);
        QCOMPARE(used.colourSampling, sampling);
        QCOMPARE(compressedName("/photos/pic.tif", used.qualityDbText),
                 QString("/photos/pic_%1-2.rpx").arg(db).toStdString());
    }

    void bAndTSwitchTheOutputOnly() {
        press(dlg(), Qt::Key_B);
        QCOMPARE(caption(dlg()), QString("画品質は約 49 dBです  出力:BMP "));
        QVERIFY(dlg().jobSettings().bmpOutput);
        QCOMPARE(dlg().jobSettings().qualityLevel, 12);
        QCOMPARE(checkedRadio(dlg()), 1);

        press(dlg(), Qt::Key_8);  // presets keep the chosen output
        QCOMPARE(caption(dlg()), QString("画品質は約 40 dBです  出力:BMP "));

        press(dlg(), Qt::Key_T);
        QCOMPARE(caption(dlg()), QString("画品質は約 40 dBです  出力:TIFF"));
        QVERIFY(!dlg().jobSettings().bmpOutput);
        QCOMPARE(dlg().jobSettings().qualityLevel, 100);
        QCOMPARE(dlg().jobSettings().colourSampling, 2);
        QCOMPARE(checkedRadio(dlg()), -1);
    }

    void otherKeysClearTheRadiosOnly_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Tab") << int(Qt::Key_Tab) << int(Qt::NoModifier);
        QTest::newRow("X") << int(Qt::Key_X) << int(Qt::NoModifier);
        QTest::newRow("Shift") << int(Qt::Key_Shift) << int(Qt::NoModifier);
        QTest::newRow("keypad 8") << int(Qt::Key_8) << int(Qt::KeypadModifier);
    }

    void otherKeysClearTheRadiosOnly() {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QWidget* focus = dlg().focusWidget();
        press(dlg(), static_cast<Qt::Key>(key), Qt::KeyboardModifiers(modifiers));
        // The key goes on to the widgets afterwards.
        if (key == Qt::Key_Tab) QVERIFY(dlg().focusWidget() != focus);
        QCOMPARE(checkedRadio(dlg()), -1);
        QCOMPARE(dlg().qualityRadio(), 1);
        QCOMPARE(caption(dlg()), QString("画品質は約 49 dBです  出力:TIFF"));
        const JobSettings s = dlg().jobSettings();
        QCOMPARE(s.qualityLevel, 12);
        QCOMPARE(s.colourSampling, 4);
        QCOMPARE(s.qualityDbText, std::string("49"));
    }

    void altCombinationsAreLeftAlone() {
        press(dlg(), Qt::Key_8, Qt::AltModifier);
        QCOMPARE(checkedRadio(dlg()), 1);
        QCOMPARE(dlg().jobSettings().qualityLevel, 12);
    }

    void enterAndEscapeAreSwallowed() {
        button(dlg(), "browseButton")->setFocus();
        services_->browseResult = {"/photos/a.tif"};
        QSignalSpy rejected(&dlg(), &QDialog::rejected), accepted(&dlg(), &QDialog::accepted);
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
            press(dlg(), key);
            QTest::keyClick(&dlg(), key);
        }
        QVERIFY(dlg().isVisible());
        QCOMPARE(rejected.count() + accepted.count(), 0);
        QVERIFY(services_->browseFilters.isEmpty());
        QVERIFY(services_->batchSettings.empty());
        QCOMPARE(checkedRadio(dlg()), 1);
        QCOMPARE(caption(dlg()), QString("画品質は約 49 dBです  出力:TIFF"));
    }

    void clickingStandardAfterZeroRestoresItsPreset() {
        press(dlg(), Qt::Key_0);
        QCOMPARE(dlg().jobSettings().colourSampling, 1);
        QTest::mouseClick(radio(dlg(), "standardRadio"), Qt::LeftButton);
        const JobSettings s = dlg().jobSettings();
        QCOMPARE(s.qualityLevel, 21);
        QCOMPARE(s.colourSampling, 4);
        QCOMPARE(s.qualityDbText, std::string("47"));
        QCOMPARE(dlg().qualityRadio(), 0);
        QCOMPARE(checkedRadio(dlg()), 0);
        QCOMPARE(caption(dlg()), QString("画品質は約 47 dBです  出力:TIFF"));
    }

    void keysFallBackToHighQualityWithoutAFigure_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("expected");
        QTest::newRow("other key") << int(Qt::Key_X) << QString("画品質は約 49 dBです  出力:TIFF");
        QTest::newRow("B") << int(Qt::Key_B) << QString("画品質は約 49 dBです  出力:BMP ");
    }

    void keysFallBackToHighQualityWithoutAFigure() {
        QFETCH(int, key);
        QFETCH(QString, expected);
        press(dlg(), Qt::Key_9);
        press(dlg(), Qt::Key_Tab);
        // With no radio checked the group reads as none: the level stays, no figure.
        dlg().onQualityChanged();
        QCOMPARE(dlg().dbEstimate(), 0);
        QCOMPARE(dlg().qualityRadio(), -1);
        QCOMPARE(dlg().jobSettings().qualityLevel, 200);
        QCOMPARE(dlg().jobSettings().colourSampling, 4);
        QCOMPARE(caption(dlg()), QString("画品質は約 0 dBです  出力:TIFF"));

        press(dlg(), static_cast<Qt::Key>(key));
        QCOMPARE(caption(dlg()), expected);
        QCOMPARE(checkedRadio(dlg()), 1);
        QCOMPARE(dlg().qualityRadio(), 1);
        QCOMPARE(dlg().jobSettings().qualityLevel, 12);
        QCOMPARE(dlg().jobSettings().colourSampling, 4);
    }

    void droppedFilesRunSortedWithMessages() {
        QVERIFY(dropFiles(dlg(), {"/p/b.tif", "/p/A.TIF", "/p/note.txt", "/p/c.rpx", "/p/folder"}));
        WAIT_FOR_BATCH();
        QCOMPARE(services_->log.seen(), (std::vector<std::string>{"/p/A.TIF", "/p/b.tif", "/p/c.rpx"}));
        QCOMPARE(services_->log.kinds,
                 (std::vector<FileKind>{FileKind::CompressTiff, FileKind::CompressTiff, FileKind::Expand}));
        QCOMPARE(services_->messages,
                 QStringList({"ファイル形式には対応していません", "txtファイル形式には対応していません"}));
        QCOMPARE(services_->messagePaths, QStringList({"/p/folder", "/p/note.txt"}));
        QCOMPARE(labelText(dlg(), "counterText"), QString("0 / 0"));
        QCOMPARE(dlg().pathText(), QString());
        QCOMPARE(services_->batchSettings.size(), size_t(1));
    }

    void aBatchShowsItsProgressAndIgnoresInput() {
        services_->log.gated = true;
        services_->log.progress = 37;
        QVERIFY(dropFiles(dlg(), {"/p/two.tif", "/p/one.tif"}));
        QVERIFY(services_->log.started.tryAcquire(1, kWait));
        QTRY_COMPARE_WITH_TIMEOUT(labelText(dlg(), "counterText"), QString("1 / 2"), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(dlg().pathText(), QString("/p/one.tif"), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(dlg().findChild<QProgressBar*>("progressBar")->value(), 37, kWait);

        // Settings, drops and browse are frozen while it runs.
        press(dlg(), Qt::Key_8);
        press(dlg(), Qt::Key_B);
        QTest::mouseClick(radio(dlg(), "standardRadio"), Qt::LeftButton);
        QVERIFY(!dropFiles(dlg(), {"/p/late.tif"}));
        dlg().onFilesDropped({"/p/late.tif"});
        QTest::mouseClick(button(dlg(), "browseButton"), Qt::LeftButton);
        dlg().onBrowse();
        QCOMPARE(caption(dlg()), QString("画品質は約 49 dBです  出力:TIFF"));
        QCOMPARE(checkedRadio(dlg()), 1);
        QCOMPARE(dlg().jobSettings().qualityLevel, 12);
        QVERIFY(services_->browseFilters.isEmpty());

        services_->log.proceed.release();
        QVERIFY(services_->log.started.tryAcquire(1, kWait));
        QTRY_COMPARE_WITH_TIMEOUT(labelText(dlg(), "counterText"), QString("2 / 2"), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(dlg().pathText(), QString("/p/two.tif"), kWait);
        services_->log.proceed.release();
        WAIT_FOR_BATCH();

        QCOMPARE(services_->log.seen(), (std::vector<std::string>{"/p/one.tif", "/p/two.tif"}));
        QCOMPARE(services_->batchSettings.size(), size_t(1));
        QCOMPARE(labelText(dlg(), "counterText"), QString("0 / 0"));
        // And settle back to normal afterwards.
        press(dlg(), Qt::Key_8);
        QCOMPARE(dlg().jobSettings().qualityLevel, 100);
        services_->log.gated = false;
        QVERIFY(dropFiles(dlg(), {"/p/late.tif"}));
        WAIT_FOR_BATCH();
    }

    void aMessageHoldsTheBatchUntilAcknowledged() {
        std::vector<size_t> filesBegunWhileOpen;
        services_->whileMessageOpen = [&] {
            filesBegunWhileOpen.push_back(services_->log.seen().size());
            QTest::qWait(150);  // the user reads; the window keeps running its loop
            filesBegunWhileOpen.push_back(services_->log.seen().size());
        };
        QVERIFY(dropFiles(dlg(), {"/p/b.tif", "/p/a.png"}));
        WAIT_FOR_BATCH();
        QCOMPARE(filesBegunWhileOpen, (std::vector<size_t>{0, 0}));
        QCOMPARE(services_->log.seen(), std::vector<std::string>{"/p/b.tif"});
        QCOMPARE(services_->messages, QStringList{"pngファイル形式には対応していません"});
    }

    void aFailingFileIsReportedAndTheBatchGoesOn() {
        services_->log.damagedOn = "/p/a.rpx";
        services_->log.outOfMemoryOn = "/p/b.tif";
        QVERIFY(dropFiles(dlg(), {"/p/c.tif", "/p/b.tif", "/p/a.rpx"}));
        WAIT_FOR_BATCH();
        QCOMPARE(services_->log.seen(), (std::vector<std::string>{"/p/a.rpx", "/p/b.tif", "/p/c.tif"}));
        QCOMPARE(services_->messages, QStringList({"ファイルが壊れています", "Out of Memory"}));
        QCOMPARE(services_->messagePaths, QStringList({"/p/a.rpx", "/p/b.tif"}));
    }

    void onlyTheFirstThousandDroppedAreTaken() {
        QStringList paths;
        for (int i = 1199; i >= 0; --i) paths.append(QString("/p/f%1.tif").arg(i, 4, 10, QChar('0')));
        QVERIFY(dropFiles(dlg(), paths));
        WAIT_FOR_BATCH();
        const auto seen = services_->log.seen();
        QCOMPARE(seen.size(), size_t(1000));
        QCOMPARE(seen.front(), std::string("/p/f0200.tif"));
        QCOMPARE(seen.back(), std::string("/p/f1199.tif"));
    }

    void browseRunsTheChosenFiles() {
        services_->browseResult = {"/p/z.tif", "/p/Y.rpx"};
        QTest::mouseClick(button(dlg(), "browseButton"), Qt::LeftButton);
        WAIT_FOR_BATCH();
        QCOMPARE(services_->browseFilters, QStringList{"RPX,TIFFファイル (*.rpx *.tif)"});
        QCOMPARE(services_->log.seen(), (std::vector<std::string>{"/p/Y.rpx", "/p/z.tif"}));
    }

    void aCancelledBrowseChangesNothing() {
        press(dlg(), Qt::Key_5);
        QTest::mouseClick(button(dlg(), "browseButton"), Qt::LeftButton);
        QCOMPARE(services_->browseFilters.size(), 1);
        QVERIFY(!dlg().batchRunning());
        QVERIFY(services_->batchSettings.empty());
        QCOMPARE(labelText(dlg(), "counterText"), QString("0 / 0"));
        QCOMPARE(caption(dlg()), QString("画品質は約 54 dBです  出力:TIFF"));
    }

    void helpOpensTheGuideBesideTheProgram() {
        services_->openSucceeds = false;  // and says nothing when that fails
        QTest::mouseClick(button(dlg(), "helpButton"), Qt::LeftButton);
        const QString pdf = QCoreApplication::applicationDirPath() + "/Kirune_操作説明.pdf";
        QCOMPARE(services_->opened, QList<QUrl>{QUrl::fromLocalFile(pdf)});
        QVERIFY(services_->messages.isEmpty());
        QVERIFY(dlg().isVisible());
        // The build puts the typeset guide there.
        QFile guide(pdf);
        QVERIFY2(guide.open(QIODevice::ReadOnly), qPrintable(pdf));
        QCOMPARE(guide.read(5), QByteArray("%PDF-"));
    }

    void theAboutItemOpensTheVersionBox() {
        QCOMPARE(dlg().contextMenuPolicy(), Qt::ActionsContextMenu);
        QAction* about = nullptr;
        for (QAction* a : dlg().actions())
            if (a->text() == QString("Kirune のﾊﾞｰｼﾞｮﾝ情報(&A)...")) about = a;
        QVERIFY(about);

        QString title, text;
        bool closedByOk = false;
        QTimer poll;
        poll.setInterval(20);
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<CVersionInfoDlg*>(QApplication::activeModalWidget());
            if (!box) return;
            poll.stop();
            title = box->windowTitle();
            for (QLabel* l : box->findChildren<QLabel*>())
                if (!l->text().isEmpty()) text = l->text();
            if (auto* ok = box->findChild<QPushButton*>("versionOk"); ok && ok->text() == "OK") {
                closedByOk = true;
                ok->click();
            } else {
                box->reject();
            }
        });
        poll.start();
        about->trigger();  // modal; returns once the box is closed
        QCOMPARE(title, QString("ﾊﾞｰｼﾞｮﾝ情報"));
        QCOMPARE(text, QString("Kirune Ver. 2.11"));
        QVERIFY(closedByOk);
        QVERIFY(dlg().isVisible());
    }

    void theCloseButtonEndsTheDialog() {
        QSignalSpy rejected(&dlg(), &QDialog::rejected);
        QTest::mouseClick(button(dlg(), "closeButton"), Qt::LeftButton);
        QVERIFY(!dlg().isVisible());
        QCOMPARE(rejected.count(), 1);
    }

    void closingDuringABatchFinishesTheCurrentFileFirst() {
        services_->log.gated = true;
        QVERIFY(dropFiles(dlg(), {"/p/c.tif", "/p/a.tif", "/p/x.txt", "/p/b.tif"}));
        QVERIFY(services_->log.started.tryAcquire(1, kWait));
        QVERIFY(dlg().close() == false);  // not yet: a.tif is being written
        QTest::qWait(50);
        QVERIFY(dlg().isVisible());
        QVERIFY(!button(dlg(), "closeButton")->isEnabled());

        services_->log.proceed.release(4);
        QTRY_VERIFY_WITH_TIMEOUT(!dlg().isVisible(), kWait);
        QVERIFY(!dlg().batchRunning());
        QCOMPARE(services_->log.seen(), std::vector<std::string>{"/p/a.tif"});
        QVERIFY(services_->messages.isEmpty());  // the rest was skipped, x.txt too
    }

    void destroyingTheDialogMidBatchNeitherHangsNorRunsOn() {
        // The worker waits for the acknowledgement of a message nobody will see.
        services_->log.gated = true;
        QVERIFY(dropFiles(dlg(), {"/p/a.bad", "/p/b.tif"}));
        dlg_.reset();
        QVERIFY(services_->log.seen().empty());
        QVERIFY(services_->messages.isEmpty());
    }

    void destroyingTheDialogWaitsForTheCurrentFile() {
        services_->log.gated = true;
        QVERIFY(dropFiles(dlg(), {"/p/a.tif", "/p/b.tif"}));
        QVERIFY(services_->log.started.tryAcquire(1, kWait));
        std::thread releaser([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            services_->log.proceed.release(2);
        });
        dlg_.reset();
        releaser.join();
        QCOMPARE(services_->log.seen(), std::vector<std::string>{"/p/a.tif"});
    }

    void commandLineArgumentsBecomeAbsolutePaths() {
        const QString cwd = QDir::currentPath();
        QCOMPARE(pathsFromArguments({"rel/pic.tif", "file:///tmp/x%20y.rpx", "", "/abs/a.tif"}),
                 QStringList({cwd + "/rel/pic.tif", "/tmp/x y.rpx", "/abs/a.tif"}));
    }

    void realDriversCompressExpandAndRefuse() {
#ifndef KIRUNE_HAVE_DRIVERS
        QSKIP("the drivers are not in this build");
#else
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString first = dir.filePath("first.tif"), second = dir.filePath("second.tif");
        writeTiff(first, 48, 32);
        writeTiff(second, 40, 24);
        // The .rpx to drop is made by compressing first.tif beforehand.
        {
            FileDrivers drivers(JobSettings{});
            SilentUi ui;
            QVERIFY(drivers.processOneFile(pathFromQString(first), FileKind::CompressTiff, ui));
            QVERIFY(ui.messages.empty());
        }
        QVERIFY(QFile::remove(first));
        QFile memo(dir.filePath("memo.txt"));
        QVERIFY(memo.open(QIODevice::WriteOnly));
        memo.write("not a photograph");
        memo.close();

        services_->realDrivers = true;
        QVERIFY(dropFiles(dlg(), {second, dir.filePath("memo.txt"), dir.filePath("first_49-2.rpx")}));
        WAIT_FOR_BATCH();

        QCOMPARE(services_->messages, QStringList{"txtファイル形式には対応していません"});
        QCOMPARE(labelText(dlg(), "counterText"), QString("0 / 0"));
        QCOMPARE(dlg().pathText(), QString());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name),
                 QStringList({"first_49-2.rpx", "first_49-2.tif", "memo.txt", "second.tif", "second_49-2.rpx"}));
        const TiffShape expanded = readTiffShape(dir.filePath("first_49-2.tif"));
        QCOMPARE(expanded.width, 48u);
        QCOMPARE(expanded.height, 32u);
        QCOMPARE(expanded.samples, uint16_t(3));
        QCOMPARE(expanded.bits, uint16_t(16));
#endif
    }

    void realDriversFollowTheKeys() {
#ifndef KIRUNE_HAVE_DRIVERS
        QSKIP("the drivers are not in this build");
#else
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        writeTiff(dir.filePath("pic.tif"), 64, 40);
        QFile bad(dir.filePath("bad.rpx"));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write(QByteArray(200, 'x'));
        bad.close();
        services_->realDrivers = true;

        press(dlg(), Qt::Key_8);
        QVERIFY(dropFiles(dlg(), {dir.filePath("pic.tif")}));
        WAIT_FOR_BATCH();
        QVERIFY(QFile::exists(dir.filePath("pic_40-2.rpx")));

        press(dlg(), Qt::Key_B);
        QVERIFY(dropFiles(dlg(), {dir.filePath("pic_40-2.rpx"), dir.filePath("bad.rpx")}));
        WAIT_FOR_BATCH();
        QFile bmp(dir.filePath("pic_40-2.bmp"));
        QVERIFY(bmp.open(QIODevice::ReadOnly));
        QCOMPARE(bmp.read(2), QByteArray("BM"));
        // The file that is not ours is refused and leaves nothing behind.
        QCOMPARE(services_->messages.size(), 1);
        QCOMPARE(services_->messages.front(), QString("このフォーマットには対応していません"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name),
                 QStringList({"bad.rpx", "pic.tif", "pic_40-2.bmp", "pic_40-2.rpx"}));
#endif
    }
};

QTEST_MAIN(DialogTest)
#include "test_gui.moc"
