// The dialog through its real widgets offscreen; desktop services recorded, batches scripted or real.

#include <QtTest>
#include <QtWidgets>
#include <QScopeGuard>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <new>

#include "app/core/presets.h"
#include "app/core/ui.h"
#include "app/gui/batch_bridge.h"
#include "app/gui/dialog_services.h"
#include "app/gui/failure_list_dialog.h"
#include "app/gui/kirune_app.h"
#include "app/gui/main_dialog.h"
#include "app/version.h"
#include "tests/container/support.h"

using namespace kirune;

namespace {

// Records the desktop calls; scripted files log, report 37 %, may wait, fail by name, report given sizes.
class RecordingServices : public DialogServices {
public:
    QStringList messages, messagePaths, browseResult, browseFilters;
    QStringList questions;  // "input|output" of each question about an existing output
    std::deque<ExistingOutputChoice> answers;  // given in turn; Skip when none is left
    bool realBox = false;  // the desktop's own box is asked instead
    QList<QUrl> opened;
    std::vector<JobSettings> batchSettings;
    std::vector<size_t> begunWhileOpen;  // files begun while each message was open
    bool realDrivers = false;
    bool opens = false;  // what openUrl answers
    std::map<std::string, FileReport> reports;  // by input path
    std::atomic<bool> gated = false;
    QSemaphore started, proceed;  // one per file begun; one per gated file to go on
    std::mutex mutex;
    std::vector<std::string> files;  // guarded by mutex

    std::vector<std::string> seen() {
        std::lock_guard lock(mutex);
        return files;
    }
    void showMessage(QWidget*, const QString& path, const QString& text) override {
        messages.append(text), messagePaths.append(path);
        const size_t before = seen().size();
        QTest::qWait(20);  // the user reads; the window keeps running its loop
        begunWhileOpen.push_back(seen().size() - before);
    }
    ExistingOutputChoice askReplaceExisting(QWidget* parent, const QString& path, const QString& output) override {
        questions.append(path + "|" + output);
        if (realBox) return makeDesktopServices()->askReplaceExisting(parent, path, output);
        const size_t before = seen().size();
        QTest::qWait(20);  // the user thinks it over
        begunWhileOpen.push_back(seen().size() - before);
        if (answers.empty()) return ExistingOutputChoice::Skip;
        const ExistingOutputChoice a = answers.front();
        answers.pop_front();
        return a;
    }
    QStringList browseFiles(QWidget*, const QString& filter) override {
        browseFilters.append(filter);
        return browseResult;
    }
    bool openUrl(const QUrl& url) override {
        opened.append(url);
        return opens;
    }
    std::unique_ptr<FileProcessor> makeProcessor(const JobSettings& settings, FileDoneCallback done) override {
        batchSettings.push_back(settings);
        if (realDrivers) return makeDesktopServices()->makeProcessor(settings, std::move(done));
        struct Scripted : FileProcessor {
            RecordingServices& log;
            FileDoneCallback done;
            Scripted(RecordingServices& l, FileDoneCallback d) : log(l), done(std::move(d)) {}
            bool processOneFile(const std::string& path, FileKind, BatchUi& ui) override {
                {
                    std::lock_guard lock(log.mutex);
                    log.files.push_back(path);
                }
                ui.setProgress(37);
                log.started.release();
                if (log.gated) log.proceed.acquire();
                if (path.find("damaged") != std::string::npos) throw Error(kDamagedFileText);
                if (path.find("huge") != std::string::npos) throw std::bad_alloc();
                if (path.find("odd") != std::string::npos) throw 42;  // no standard exception at all
                if (const auto r = log.reports.find(path); r != log.reports.end()) done(r->second);
                return true;
            }
        };
        return std::make_unique<Scripted>(*this, std::move(done));
    }
};

constexpr int kWait = 20000;
#define WAIT_FOR_BATCH() QTRY_VERIFY_WITH_TIMEOUT(!dlg_->batchRunning(), kWait)
#define DROP_AND_WAIT(...) QVERIFY(drop(__VA_ARGS__)); WAIT_FOR_BATCH()

// What a scripted file reports when done.
FileReport report(FileKind kind, uint64_t in, uint64_t out, const char* output, double psnr) {
    FileReport r;
    r.kind = kind, r.inputBytes = in, r.outputBytes = out, r.output = output, r.psnr = psnr;
    return r;
}

// Caption, checked radio, then what a batch started now would run with.
const char* const kState = "%1 / radio %2 / level %3 / sampling %4 / %5 dB%6";
QString want(int db, int radio, int level, int sampling, QString output = "TIFF") {
    const QString caption = QString("画品質は約 %1 dBです  出力:%2").arg(db).arg(output);
    return QString(kState).arg(caption).arg(radio).arg(level).arg(sampling).arg(db)
        .arg(output == "TIFF" ? "" : " " + output.trimmed());
}

// Key, modifiers and the radio checked afterwards (-1: none).
const std::tuple<const char*, int, Qt::KeyboardModifiers, int> kOtherKeys[] = {
    {"Tab", Qt::Key_Tab, Qt::NoModifier, -1},     {"X", Qt::Key_X, Qt::NoModifier, -1},
    {"Shift", Qt::Key_Shift, Qt::NoModifier, -1}, {"keypad 8", Qt::Key_8, Qt::KeypadModifier, -1},
    {"Alt+8", Qt::Key_8, Qt::AltModifier, 1},     {"Return", Qt::Key_Return, Qt::NoModifier, 1},
    {"Enter", Qt::Key_Enter, Qt::NoModifier, 1},  {"Escape", Qt::Key_Escape, Qt::NoModifier, 1}};

}  // namespace

class DialogTest : public QObject {
    Q_OBJECT

    std::unique_ptr<RecordingServices> services_;
    std::unique_ptr<MainDialog> dlg_;
    QTemporaryDir settingsDir_;  // the user's own settings are never touched
    std::unique_ptr<QTemporaryDir> files_;  // real files, a fresh folder per test

    template <class W = QWidget>
    W* child(const char* name) { return dlg_->findChild<W*>(name); }
    QString counter() { return child<QLabel>("counterText")->text(); }
    QString state() {
        const JobSettings s = dlg_->jobSettings();
        return QString(kState).arg(child<QGroupBox>("qualityGroup")->title())
            .arg(dlg_->findChild<QButtonGroup*>()->checkedId()).arg(s.qualityLevel).arg(s.colourSampling)
            .arg(QString::fromStdString(s.qualityDbText)).arg(s.bmpOutput ? " BMP" : s.pngOutput ? " PNG" : "");
    }
    // A key as a user types it: to whatever has the focus.
    void press(int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QTest::keyClick(dlg_->focusWidget() ? dlg_->focusWidget() : dlg_.get(), Qt::Key(key), mods);
    }
    // Drags the files onto the window and drops them; false when the window refused.
    bool drop(const QStringList& paths) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString& p : paths) urls.append(QUrl::fromLocalFile(p));
        mime.setUrls(urls);
        const QPoint pos(dlg_->width() / 2, dlg_->height() / 2);
        QDragEnterEvent enter(pos, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(dlg_.get(), &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropped(pos, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(dlg_.get(), &dropped);
        return true;
    }

    // An earlier output that the user may have edited since: its own bytes and date.
    static const inline QDateTime kPlantedTime{QDate(2020, 1, 2), QTime(3, 4, 5)};
    static void plantOutput(const QString& path) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("retouched") == 9 && f.flush());
        QVERIFY(f.setFileTime(kPlantedTime, QFileDevice::FileModificationTime));
    }
    // Byte for byte and to the second as planted.
    static bool isPlanted(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) && f.readAll() == "retouched" &&
               f.fileTime(QFileDevice::FileModificationTime) == kPlantedTime;
    }

    void openDialog() {
        dlg_ = std::make_unique<MainDialog>(*services_);
        dlg_->show();
        QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
        dlg_->activateWindow();
        child("highRadio")->setFocus();
    }

private slots:
    void initTestCase() {
        QVERIFY(settingsDir_.isValid());
        QCoreApplication::setOrganizationName("KiruneTest");
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
        QVERIFY(QSettings().fileName().startsWith(settingsDir_.path()));
    }

    void init() {
        QSettings().clear();  // each test starts as a first run
        services_ = std::make_unique<RecordingServices>();
        files_ = std::make_unique<QTemporaryDir>();
        openDialog();
    }

    void cleanup() {
        services_->gated = false;  // a failed check may leave a gated worker waiting
        services_->proceed.release(1000);
        dlg_.reset();
        services_.reset();
    }

    void startsWithHighQualityAndTiffOutput() {
        QCOMPARE(dlg_->windowTitle(), QString("TIFF(RGB各16bit)専用  圧縮／伸張プログラム"));
        const char* texts[][2] = {{"standardRadio", "標準"}, {"highRadio", "高画質"}, {"superRadio", "超高画質"},
                                  {"browseButton", "参照"},  {"closeButton", "終了"}, {"helpButton", "ヘルプ"},
                                  {"counterText", "0 / 0"},
                                  {"dropHint", "TIFFファイルとRPXファイルをドラッグ＆ドロップできます"}};
        for (const auto& [name, text] : texts) QCOMPARE(child(name)->property("text").toString(), QString(text));
        QCOMPARE(state(), want(49, 1, 12, 4));
        QCOMPARE(child<QProgressBar>("progressBar")->value(), 0);
        QVERIFY(dlg_->pathText().isEmpty());
        QVERIFY(!dlg_->windowIcon().isNull());
    }

    void digitKeysChoosePresets() {  // the batch that runs with one: see the real-drivers test
        for (const Preset& p : kPresets) {
            press(p.digit == 9 ? Qt::Key_3 : Qt::Key_9);  // from another preset, not the start state
            press(Qt::Key_0 + p.digit);
            QCOMPARE(state(), want(p.dbFigure, p.radio, p.qualityLevel, p.colourSampling));
        }
    }

    // P is one of the "other keys" (it clears the radios) that also chooses PNG output.
    void bPAndTSwitchTheOutputOnlyAndClickingStandardAfterZeroRestoresItsPreset() {
        press(Qt::Key_B);
        QCOMPARE(state(), want(49, 1, 12, 4, "BMP "));
        press(Qt::Key_P);
        QCOMPARE(state(), want(49, -1, 12, 4, "PNG "));
        press(Qt::Key_T);
        QCOMPARE(state(), want(49, -1, 12, 4));
        press(Qt::Key_P), press(Qt::Key_B);
        QCOMPARE(state(), want(49, -1, 12, 4, "BMP "));
        press(Qt::Key_0);  // presets keep the chosen output
        QCOMPARE(state(), want(35, -1, 400, 1, "BMP "));
        press(Qt::Key_T);
        QCOMPARE(state(), want(35, -1, 400, 1));
        QTest::mouseClick(child("standardRadio"), Qt::LeftButton);
        QCOMPARE(state(), want(47, 0, 21, 4));
        QCOMPARE(dlg_->qualityRadio(), 0);
    }

    void otherKeysClearTheRadiosOnlyAndEnterOrEscapeDoNothing_data() {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kOtherKeys)); ++i) QTest::newRow(std::get<0>(kOtherKeys[i])) << i;
    }

    void otherKeysClearTheRadiosOnlyAndEnterOrEscapeDoNothing() {
        QFETCH(int, row);
        const auto [name, key, modifiers, radio] = kOtherKeys[row];
        child("browseButton")->setFocus();  // where Enter would click if it got through
        QSignalSpy rejected(dlg_.get(), &QDialog::rejected), accepted(dlg_.get(), &QDialog::accepted);
        press(key, modifiers);
        QTest::keyClick(dlg_.get(), Qt::Key(key), modifiers);
        if (key == Qt::Key_Tab) QVERIFY(dlg_->focusWidget() != child("browseButton"));  // and goes on
        QCOMPARE(state(), want(49, radio, 12, 4));
        QCOMPARE(dlg_->qualityRadio(), 1);
        QVERIFY(dlg_->isVisible() && rejected.isEmpty() && accepted.isEmpty());
        QVERIFY(services_->browseFilters.isEmpty());
    }

    void digitRowKeysChooseTheirPresetWhateverTheLayoutOrShiftMakeOfThem() {
        // key(), modifiers and X keycode as xcb reports them; the preset chosen (-1: radios cleared).
        const std::tuple<const char*, int, Qt::KeyboardModifiers, quint32, int> keys[] = {
            {"Shift+1", Qt::Key_Exclam, Qt::ShiftModifier, 10, 1},
            {"AZERTY 0", Qt::Key_Agrave, Qt::NoModifier, 19, 0},
            {"AZERTY Shift+8", Qt::Key_8, Qt::ShiftModifier, 17, 8},
            {"keypad 1", Qt::Key_1, Qt::KeypadModifier, 87, -1},
            {"a digit off the digit row", Qt::Key_5, Qt::NoModifier, 24, -1}};
        for (const auto& [name, key, mods, code, digit] : keys) {
            press(Qt::Key_3);
            QKeyEvent event(QEvent::KeyPress, key, mods, code, 0, 0);
            QApplication::sendEvent(dlg_->focusWidget(), &event);
            const Preset& p = kPresets[digit < 0 ? 3 : digit];
            QVERIFY2(state() == want(p.dbFigure, digit < 0 ? -1 : p.radio, p.qualityLevel, p.colourSampling), name);
        }
    }

    void keysFallBackToHighQualityWithoutAFigure() {
        for (auto [key, bmp] : {std::pair{Qt::Key_X, false}, {Qt::Key_B, true}}) {
            press(Qt::Key_9);
            press(Qt::Key_Tab);
            dlg_->onQualityChanged();  // with no radio checked: no figure, the level stays
            QCOMPARE(state(), want(0, -1, 200, 4));
            QCOMPARE(dlg_->qualityRadio(), -1);
            press(key);
            QCOMPARE(state(), want(49, 1, 12, 4, bmp ? "BMP " : "TIFF"));
            QCOMPARE(dlg_->qualityRadio(), 1);
        }
    }

    void droppedFilesRunSortedAndEachMessageHoldsTheBatch() {
        QStringList paths = {"/p/b.tif", "/p/A.TIF", "/p/note.txt", "/p/damaged.rpx", "/p/folder", "/p/huge.tif"};
        for (int i = 1199; i >= 0; --i) paths.append(QString("/p/f%1.tif").arg(i, 4, 10, QChar('0')));
        DROP_AND_WAIT(paths);
        // The first 1000 in drop order, sorted: f1199 down to f0206.
        const std::vector<std::string> seen = services_->seen();
        QCOMPARE(seen.size(), size_t(998));
        QCOMPARE(std::vector(seen.begin(), seen.begin() + 4),
                 (std::vector<std::string>{"/p/A.TIF", "/p/b.tif", "/p/damaged.rpx", "/p/f0206.tif"}));
        QCOMPARE(std::vector(seen.end() - 2, seen.end()), (std::vector<std::string>{"/p/f1199.tif", "/p/huge.tif"}));
        QCOMPARE(services_->messages, QStringList({"ファイルが壊れています", "ファイル形式には対応していません",
                                                   "Out of Memory", "txtファイル形式には対応していません"}));
        QCOMPARE(services_->messagePaths, QStringList({"/p/damaged.rpx", "/p/folder", "/p/huge.tif", "/p/note.txt"}));
        QCOMPARE(services_->begunWhileOpen, std::vector<size_t>(4, 0));
    }

    void droppedFoldersBringTheImagesBelowThemInDropOrderUpToTheCap() {
        const QDir dir(files_->path());
        QVERIFY(dir.mkpath("many/sub/deeper"));
        QVERIFY(dir.mkpath("empty"));
        const auto touch = [&](const QString& name) { QVERIFY(QFile(dir.filePath(name)).open(QIODevice::WriteOnly)); };
        for (int i = 0; i < 998; ++i) touch(QString("many/f%1.tif").arg(i, 3, 10, QChar('0')));
        for (const char* name : {"many/sub/B.TIF", "many/sub/deeper/c.rpx", "many/readme.txt", "a.bmp"}) touch(name);
        const auto run = [&](const QStringList& names) {
            QStringList paths;
            for (const QString& n : names) paths.append(dir.filePath(n));
            services_->files.clear();  // no batch runs between drops
            const bool ran = drop(paths) && QTest::qWaitFor([&] { return !dlg_->batchRunning(); }, kWait);
            return ran ? services_->seen() : std::vector<std::string>();
        };
        const auto has = [](const std::vector<std::string>& seen, const QString& path) {
            return std::find(seen.begin(), seen.end(), path.toStdString()) != seen.end();
        };
        // The folder first: its 1000 images (walk: tests/app) fill the batch, the file after it is left out.
        const std::vector<std::string> first = run({"empty", "many", "a.bmp"});
        QCOMPARE(first.size(), size_t(1000));
        QVERIFY(!has(first, dir.filePath("a.bmp")));
        QVERIFY(std::is_sorted(first.begin(), first.end(), [](auto& a, auto& b) {
            return asciiLower(a) < asciiLower(b);
        }));
        // The file first: it and the folder's first 999 in its own order; never the text file.
        const std::vector<std::string> second = run({"a.bmp", "many"});
        QCOMPARE(second.size(), size_t(1000));
        QVERIFY(has(second, dir.filePath("a.bmp")));
        QVERIFY(!has(second, dir.filePath("many/sub/deeper/c.rpx")));
        QVERIFY(services_->messages.isEmpty());
        QVERIFY(run({"empty"}).empty());  // and a folder without images says so
        QCOMPARE(child<QLabel>("pathText")->text(), QString("処理するファイルはありませんでした"));
    }

    void aBatchShowsItsProgressAndIgnoresInput() {
        services_->gated = true;
        QVERIFY(drop({"/p/two.tif", "/p/one.tif"}));
        for (const char* file : {"/p/one.tif", "/p/two.tif"}) {
            QVERIFY(services_->started.tryAcquire(1, kWait));
            QTRY_COMPARE_WITH_TIMEOUT(dlg_->pathText(), QString(file), kWait);
            QTRY_COMPARE_WITH_TIMEOUT(child<QProgressBar>("progressBar")->value(), 37, kWait);
            QCOMPARE(counter(), QString(file == std::string("/p/one.tif") ? "1 / 2" : "2 / 2"));
            // Settings, drops and browse are frozen while it runs.
            press(Qt::Key_8), press(Qt::Key_B);
            QTest::mouseClick(child("standardRadio"), Qt::LeftButton);
            QTest::mouseClick(child("browseButton"), Qt::LeftButton);
            QVERIFY(!drop({"/p/late.tif"}));
            dlg_->onFilesDropped({"/p/late.tif"}), dlg_->onBrowse();
            QCOMPARE(state(), want(49, 1, 12, 4));
            services_->proceed.release();
        }
        WAIT_FOR_BATCH();
        QCOMPARE(services_->seen(), (std::vector<std::string>{"/p/one.tif", "/p/two.tif"}));
        QVERIFY(services_->batchSettings.size() == 1);
        QVERIFY(services_->browseFilters.isEmpty());
        QVERIFY(counter() == "0 / 0");
        press(Qt::Key_8);  // and settles back to normal afterwards
        QCOMPARE(state(), want(40, -1, 100, 2));
    }

    void browseAndDropRunTheChosenFilesPngsTooAndACancelChangesNothing() {
        press(Qt::Key_5);
        QTest::mouseClick(child("browseButton"), Qt::LeftButton);  // cancelled: no files
        QVERIFY(services_->batchSettings.empty());
        QCOMPARE(state(), want(54, -1, 3, 4));
        services_->browseResult = {"/p/z.tif", "/p/Y.rpx", "/p/c.png"};
        QTest::mouseClick(child("browseButton"), Qt::LeftButton);
        WAIT_FOR_BATCH();
        DROP_AND_WAIT({"/p/b.PNG", "/p/a.png"});
        QCOMPARE(services_->seen(), (std::vector<std::string>{"/p/c.png", "/p/Y.rpx", "/p/z.tif", "/p/a.png", "/p/b.PNG"}));
        QVERIFY(services_->messages.isEmpty());
        // Every name the batch takes passes the picker's filter, which tells case apart as the file system does.
        const QString filter = services_->browseFilters.value(0);
        QVERIFY2(filter.startsWith("RPX,TIFFファイル (*.rpx *.tif "), qPrintable(filter));
        const QStringList patterns = filter.section('(', 1).chopped(1).split(' ');
        for (const char* name : {"a.rpx", "a.tif", "a.tiff", "a.bmp", "a.png", "A.RPX", "A.TIF", "A.TIFF", "A.BMP", "A.PNG"}) {
            const bool shown = std::any_of(patterns.begin(), patterns.end(), [&](const QString& p) {
                return QRegularExpression::fromWildcard(p, Qt::CaseSensitive).match(name).hasMatch();
            });
            QVERIFY2(shown, name);
        }
    }

    void helpOpensTheInstalledGuideOrTheOneBesideTheProgramAndSaysWhenNothingShowsItAndAboutTheVersionBox() {
        QTemporaryDir prefix;  // an installed tree: <prefix>/bin and <prefix>/share/doc/kirune
        const QString bin = prefix.filePath("bin"), doc = prefix.filePath("share/doc/kirune");
        QVERIFY(QDir().mkpath(bin) && QDir().mkpath(doc));
        QCOMPARE(helpPdfPath(bin), bin + "/Kirune_操作説明.pdf");  // none installed: beside the program
        QVERIFY(QFile(doc + "/Kirune_操作説明.pdf").open(QIODevice::WriteOnly));
        QCOMPARE(helpPdfPath(bin), doc + "/Kirune_操作説明.pdf");

        const QString pdf = helpPdfPath(QCoreApplication::applicationDirPath());
        QFile guide(pdf);  // the build puts the typeset guide where the lookup finds it
        QVERIFY2(guide.open(QIODevice::ReadOnly), qPrintable(pdf));
        QCOMPARE(guide.read(5), QByteArray("%PDF-"));
        QTest::mouseClick(child("helpButton"), Qt::LeftButton);  // no viewer: the user is told
        QCOMPARE(services_->opened, QList<QUrl>{QUrl::fromLocalFile(pdf)});
        QCOMPARE(services_->messagePaths, QStringList{pdf});
        QVERIFY2(services_->messages.value(0).contains("開けませんでした"), qPrintable(services_->messages.value(0)));
        services_->opens = true;
        QTest::mouseClick(child("helpButton"), Qt::LeftButton);
        QVERIFY(services_->opened.size() == 2);
        QVERIFY(services_->messages.size() == 1);
        QVERIFY(dlg_->isVisible());

        auto* about = dlg_->findChild<QAction*>("aboutAction");
        QVERIFY(dlg_->actions().contains(about));  // and so not null
        QVERIFY(dlg_->contextMenuPolicy() == Qt::ActionsContextMenu);
        QCOMPARE(about->text(), QString("Kirune のﾊﾞｰｼﾞｮﾝ情報(&A)..."));
        QString shown;  // title, text and button of the box
        QTimer poll;    // the box runs its own loop; look at it from there and press OK
        connect(&poll, &QTimer::timeout, this, [&] {
            if (auto* box = qobject_cast<AboutDialog*>(QApplication::activeModalWidget())) {
                poll.stop();
                auto* ok = box->findChild<QPushButton*>("versionOk");
                shown = box->windowTitle() + "|" + box->findChild<QLabel*>("versionText")->text() + "|" +
                        (ok ? ok->text() : "");
                ok ? ok->click() : box->reject();
            }
        });
        poll.start(20);
        about->trigger();  // returns once the box is closed
        QCOMPARE(shown, QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報|Kirune Ver. ") + QString::fromLatin1(kVersionText) + QStringLiteral("|OK"));
        QVERIFY(dlg_->isVisible());
    }

    void theEndOfABatchReportsCountsSizesAndFailuresOneByOneOrCollected() {
        constexpr uint64_t MiB = 1 << 20;
        services_->reports = {
            {"/p/a.tif", report(FileKind::CompressTiff, 3 * MiB, MiB, "/p/out/a_49-2.rpx", 50.0)},
            {"/p/b.tif", report(FileKind::CompressTiff, 2 * MiB, MiB / 2, "/p/out/x/b_49-2.rpx", 48.0)},
            {"/p/c.rpx", report(FileKind::Expand, MiB, 6 * MiB, "/p/out/y/c.tif", 0.0)}};
        DROP_AND_WAIT({"/p/c.rpx", "/p/x.txt", "/p/b.tif", "/p/damaged.rpx", "/p/a.tif"});
        QCOMPARE(services_->messagePaths, QStringList({"/p/damaged.rpx", "/p/x.txt"}));  // a box each
        const QString line = child<QLabel>("pathText")->text();
        QVERIFY2(line.startsWith("3 件完了、2 件失敗"), qPrintable(line));
        // Sizes in and out, the mean of 3:1, 4:1 and an expansion's 6:1, the compressions' mean PSNR.
        QCOMPARE(counter(), QString("6.0 MB → 7.5 MB  平均 4.3:1  約 49.0 dB"));
        QCOMPARE(dlg_->lastBatch().outputFolder(), QString("/p/out"));
        BatchSummary siblings;  // "/p/out" is no folder of "/p/outer"
        for (const char* out : {"/p/out/a.rpx", "/p/outer/b.rpx"})
            siblings.addDone(report(FileKind::CompressTiff, 2, 1, out, 0));
        QCOMPARE(siblings.outputFolder(), QString("/p"));
        dlg_->findChild<QAction*>("folderAction")->trigger();
        QCOMPARE(services_->opened, QList<QUrl>{QUrl::fromLocalFile("/p/out")});
        QCOMPARE(services_->messagePaths.size(), 3);  // it could not be opened, and the user hears of it
        QVERIFY(!dlg_->findChild<FailureListDialog*>());
        dlg_->findChild<QAction*>("failuresAction")->trigger();
        const QString listed = "/p/damaged.rpx\tファイルが壊れています\n/p/x.txt\ttxtファイル形式には対応していません\n";
        auto* list = dlg_->findChild<FailureListDialog*>("failureList");
        QVERIFY(list);
        QVERIFY(list->isVisible());
        QCOMPARE(list->asText(), listed);
        list->close();

        // Collected, even when told so while the batch runs: no box holds it, and the list opens at its end.
        services_->messages.clear();
        services_->started.acquire(services_->started.available());  // the first batch's files
        services_->gated = true;
        QVERIFY(drop({"/p/x.txt", "/p/damaged.rpx", "/p/a.tif"}));
        QVERIFY(services_->started.tryAcquire(1, kWait));  // a.tif, first in name order
        dlg_->findChild<QAction*>("collectAction")->trigger();
        services_->proceed.release(3);
        WAIT_FOR_BATCH();
        QVERIFY(services_->messages.isEmpty());
        QVERIFY(list->isVisible());
        QCOMPARE(list->asText(), listed);
        QCOMPARE(counter(), QString("3.0 MB → 1.0 MB  平均 3.0:1  約 50.0 dB"));
        QVERIFY(child<QLabel>("pathText")->text().startsWith("1 件完了、2 件失敗"));
    }

    void choicesAreRememberedAcrossRunsAndBadSavedValuesAreIgnored() {
        const auto item = [&](const char* name) { return dlg_->findChild<QAction*>(name); };
        press(Qt::Key_8), press(Qt::Key_B);
        item("collectAction")->trigger(), item("rateAwareAction")->trigger();
        dlg_.reset();
        openDialog();  // the next run
        QCOMPARE(state(), want(40, -1, 100, 2, "BMP "));
        QVERIFY(dlg_->collectsFailures() && item("collectAction")->isChecked());
        QVERIFY(dlg_->jobSettings().rateAware && item("rateAwareAction")->isChecked());
        press(Qt::Key_3), press(Qt::Key_T), item("rateAwareAction")->trigger();
        dlg_.reset();
        openDialog();
        QCOMPARE(state(), want(51, 2, 6, 4));
        QVERIFY(!dlg_->jobSettings().rateAware);
        for (const QVariant& bad : {QVariant(10), QVariant(-1), QVariant("x")}) {
            QSettings().setValue("preset", bad);
            dlg_.reset();
            openDialog();
            QVERIFY2(state() == want(49, 1, 12, 4), qPrintable(bad.toString()));
        }
    }

    void closingOrDestroyingTheDialogEndsTheBatchAfterTheCurrentFile() {
        QSignalSpy rejected(dlg_.get(), &QDialog::rejected);
        services_->gated = true;
        QVERIFY(drop({"/p/c.tif", "/p/a.tif", "/p/x.txt", "/p/b.tif"}));
        QVERIFY(services_->started.tryAcquire(1, kWait));
        QVERIFY(!dlg_->close());  // not yet: a.tif is being written
        QTest::qWait(50);
        QVERIFY(dlg_->isVisible());
        QVERIFY(!child<QPushButton>("closeButton")->isEnabled());
        services_->proceed.release(4);
        QTRY_VERIFY_WITH_TIMEOUT(!dlg_->isVisible(), kWait);
        QVERIFY(!dlg_->batchRunning());
        QVERIFY(rejected.count() == 1);
        QCOMPARE(services_->seen(), std::vector<std::string>{"/p/a.tif"});  // the rest was skipped, x.txt too
        QVERIFY(services_->messages.isEmpty());
        dlg_->show();  // 終了 ends it at once when idle
        QTest::mouseClick(child("closeButton"), Qt::LeftButton);
        QVERIFY(!dlg_->isVisible());
        QVERIFY(rejected.count() == 2);
        // Destroyed while the worker waits for a message nobody will see: no hang, nothing more run.
        QVERIFY(drop({"/p/a.bad", "/p/b.tif"}));
        dlg_.reset();
        QVERIFY(services_->seen().size() == 1);
        QVERIFY(services_->messages.isEmpty());
    }

    void helpAndVersionAnswerWithoutADisplayAndUnknownOptionsAreUsageErrors() {
        const QString kirune = QCoreApplication::applicationDirPath() + "/kirune";
        QProcessEnvironment bare = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) bare.remove(name);
        // Arguments, environment, exit status, and what must be on standard output / error.
        const std::tuple<QStringList, bool, int, QString, QString> runs[] = {
            {{"pic.tif", "--help"}, false, 0, "--version", ""},
            {{"--version"}, false, 0, QString("kirune %1\n").arg(kVersionText), ""},
            {{"-x", "pic.tif"}, true, 2, "", "-x"},
            {{"--", "--help"}, false, 1, "", "no display"}};  // after "--", a file name
        for (const auto& [args, display, status, out, err] : runs) {
            QProcess run;
            if (!display) run.setProcessEnvironment(bare);
            run.start(kirune, args);
            QVERIFY2(run.waitForFinished(kWait), qPrintable(args.join(' ')));  // no window was opened
            QCOMPARE(run.exitCode(), status);
            const QString stdOut = QString::fromUtf8(run.readAllStandardOutput());
            if (out.endsWith('\n')) QCOMPARE(stdOut, out);
            QVERIFY2(stdOut.contains(out), qPrintable(stdOut));
            QVERIFY2(QString::fromUtf8(run.readAllStandardError()).contains(err), qPrintable(args.join(' ')));
        }
    }

    void commandLineArgumentsBecomeAbsolutePaths() {
        QCOMPARE(pathsFromArguments({"rel/pic.tif", "file:///tmp/x%20y.rpx", "", "/abs/a.tif"}),
                 QStringList({QDir::currentPath() + "/rel/pic.tif", "/tmp/x y.rpx", "/abs/a.tif"}));
    }

    void realDriversRunADropOfRealFilesByTheKeysReplacingOldOutputsWhenTold() {
        const QDir dir(files_->path());
        test::writeTiff(dir.filePath("pic.tif").toStdString(), {.width = 64, .height = 40});
        test::writeFile(dir.filePath("bad.rpx").toStdString(), std::vector<uint8_t>(200, 'x'));
        test::writeFile(dir.filePath("memo.txt").toStdString(), {'h', 'i'});
        // Replaced once the user says so; what the other answers do is the batch's own test.
        test::writeFile(dir.filePath("pic_40-2.bmp").toStdString(), {'o', 'l', 'd'});
        services_->answers = {ExistingOutputChoice::Replace};
        services_->realDrivers = true;
        press(Qt::Key_8), press(Qt::Key_B);  // the batch runs with the keys' preset, not the start one
        // pic.tif sorts before the container it becomes, which is then expanded.
        DROP_AND_WAIT({dir.filePath("pic_40-2.rpx"), dir.filePath("memo.txt"), dir.filePath("pic.tif"),
                      dir.filePath("bad.rpx")});
        QCOMPARE(services_->batchSettings.at(0).qualityLevel, 100);
        QCOMPARE(services_->batchSettings.at(0).colourSampling, 2);
        QCOMPARE(services_->questions, QStringList(dir.filePath("pic_40-2.rpx") + "|" + dir.filePath("pic_40-2.bmp")));
        QCOMPARE(services_->begunWhileOpen, std::vector<size_t>(3, 0));  // a question holds the batch as a box does
        QCOMPARE(services_->messages, QStringList({"このフォーマットには対応していません",
                                                   "txtファイル形式には対応していません"}));
        QVERIFY(dlg_->pathText().isEmpty());
        QCOMPARE(dir.entryList(QDir::Files, QDir::Name),
                 QStringList({"bad.rpx", "memo.txt", "pic.tif", "pic_40-2.bmp", "pic_40-2.rpx"}));
        QCOMPARE(QFileInfo(dir.filePath("pic_40-2.bmp")).size(), qint64(54 + 64 * 3 * 40));
        // The report adds up what the drivers read and wrote.
        const auto size = [&](const char* name) { return uint64_t(QFileInfo(dir.filePath(name)).size()); };
        const BatchSummary& report = dlg_->lastBatch();
        QCOMPARE(report.done(), 2);
        QCOMPARE(report.failed(), 2);
        QCOMPARE(report.inputBytes(), size("pic.tif") + size("pic_40-2.rpx"));
        QCOMPARE(report.outputBytes(), size("pic_40-2.rpx") + size("pic_40-2.bmp"));
        QVERIFY(report.meanPsnr() > 0.0);  // measured: the dialog asks the drivers for it
        QCOMPARE(report.outputFolder(), dir.path());
    }

    void aStopRequestClosesBoxesAndTheWindowAfterTheCurrentFileAndSkipsTheRest() {
        std::stop_source stop;
        dlg_->setStopToken(stop.get_token());
        QCOMPARE(dlg_->jobSettings().stop, stop.get_token());  // the drivers abandon the current file
        services_->gated = true;
        QVERIFY(drop({"/p/a.tif", "/p/b.tif", "/p/c.tif"}));
        QVERIFY(services_->started.tryAcquire(1, kWait));
        QMessageBox box(QMessageBox::Information, "x", "nobody reads this");  // as a box left open
        box.show();
        stop.request_stop();  // from this thread, as from the signal thread: queued either way
        QTRY_VERIFY_WITH_TIMEOUT(!box.isVisible(), kWait);
        QVERIFY(dlg_->isVisible());  // a.tif still works
        services_->proceed.release(3);
        QTRY_VERIFY_WITH_TIMEOUT(!dlg_->isVisible(), kWait);
        QVERIFY(!dlg_->batchRunning());
        QCOMPARE(services_->seen(), std::vector<std::string>{"/p/a.tif"});
    }

    void aQuestionNobodyIsLeftToAnswerFreesTheWorkerAndReplacesNothing() {  // answers: the tests below
        BatchControl control;
        DialogBatchUi ui(control, false);
        int asked = 0;
        connect(&ui, &DialogBatchUi::replaceQuestionRequested, this, [&] { ++asked; });
        std::atomic<int> got = -1;
        std::thread worker([&] { got = int(ui.askReplaceExisting("/p/a.rpx", "/p/a.tif")); });
        const auto freed = qScopeGuard([&] { control.answer(ExistingOutputChoice::Skip), worker.join(); });
        QTRY_COMPARE_WITH_TIMEOUT(asked, 1, kWait);
        QTest::qWait(20);
        QCOMPARE(got.load(), -1);  // still waiting: nobody has answered
        control.cancel();  // the window closes
        QTRY_COMPARE_WITH_TIMEOUT(got.load(), int(ExistingOutputChoice::SkipAll), kWait);
        QCOMPARE(ui.askReplaceExisting("/p/b.rpx", "/p/b.tif"), ExistingOutputChoice::SkipAll);
        QTest::qWait(20);
        QCOMPARE(asked, 1);  // and asks nobody again
    }

    void anUnattendedBatchLeavesExistingOutputsUnaskedAndListsThemAtTheEnd() {
        const QDir dir(files_->path());
        for (const char* n : {"a.tif", "b.tif"}) test::writeTiff(dir.filePath(n).toStdString(), {.width = 64, .height = 40});
        test::writeFile(dir.filePath("memo.txt").toStdString(), {'h', 'i'});
        plantOutput(dir.filePath("a_49-2.rpx"));
        dlg_->findChild<QAction*>("collectAction")->trigger();
        services_->realDrivers = true;
        DROP_AND_WAIT({dir.filePath("memo.txt"), dir.filePath("b.tif"), dir.filePath("a.tif")});
        QVERIFY(services_->questions.isEmpty());
        QVERIFY(services_->messages.isEmpty());
        QVERIFY(isPlanted(dir.filePath("a_49-2.rpx")));
        QVERIFY(QFileInfo::exists(dir.filePath("b_49-2.rpx")));
        QVERIFY(child<QLabel>("pathText")->text().startsWith("1 件完了、1 件スキップ、1 件失敗"));
        auto* list = dlg_->findChild<FailureListDialog*>("failureList");
        QVERIFY(list && list->isVisible());
        QCOMPARE(list->asText(), dir.filePath("memo.txt") + "\ttxtファイル形式には対応していません\n" +
                                     "出力先が既にあるためスキップしたファイル (1 件)\n" + dir.filePath("a.tif") +
                                     "\t出力先が既にあります: " + dir.filePath("a_49-2.rpx") + "\n");
    }

    void theBoxNamesTheExistingFileAndWhenItChangedAndAStopWhileItIsOpenReplacesNothing() {
        const QDir dir(files_->path());
        for (const char* n : {"a.tif", "b.tif"}) {
            test::writeTiff(dir.filePath(n).toStdString(), {.width = 64, .height = 40});
            plantOutput(dir.filePath(QString(n).replace(".tif", "_49-2.rpx")));
        }
        std::stop_source stop;
        dlg_->setStopToken(stop.get_token());
        services_->realDrivers = true;
        services_->realBox = true;
        QStringList shown;  // each box's text, details and buttons
        QTimer poll;  // the box runs its own loop; look at it from there
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || box->property("seen").toBool()) return;
            box->setProperty("seen", true);
            QStringList buttons;
            for (QAbstractButton* b : box->buttons()) buttons.append(b->text());
            shown.append(box->text() + "|" + box->informativeText() + "|" + buttons.join(','));
            if (shown.size() == 1)
                box->findChild<QPushButton*>("replaceButton")->click();
            else
                stop.request_stop();  // as a signal would, with the question open
        });
        poll.start(20);
        QVERIFY(drop({dir.filePath("a.tif"), dir.filePath("b.tif")}));
        QTRY_VERIFY_WITH_TIMEOUT(!dlg_->isVisible(), kWait);
        QVERIFY(!dlg_->batchRunning());
        QCOMPARE(shown.size(), 2);
        const QString out = dir.filePath("a_49-2.rpx");
        QCOMPARE(shown[0], "a_49-2.rpx は既にあります。置き換えますか？|出力先: " + out + "\n更新日時: 2020/01/02 03:04:05\n入力: " +
                               dir.filePath("a.tif") + "|置き換える,スキップ,すべて置き換える,すべてスキップ");
        QVERIFY(!isPlanted(out));
        QVERIFY(isPlanted(dir.filePath("b_49-2.rpx")));
    }

    void whatStopsABatchOutsideAnyFileIsToldAndNotSwallowed() {
        DROP_AND_WAIT({"/p/odd.tif", "/p/b.tif"});
        QCOMPARE(services_->messages, QStringList{"不明なエラーのため処理を中止しました"});
    }

    // Off at first; once chosen, batches compress with the rate-aware coder at the chosen preset and the
    // report names it (remembered: with the other choices).
    void theRateAwareItemCodesBatchesForFewerBytesAndIsRemembered() {
        auto* item = dlg_->findChild<QAction*>("rateAwareAction");
        QVERIFY(item && item->isCheckable() && !item->isChecked());
        QVERIFY(dlg_->actions().contains(item));
        services_->reports = {{"/p/a.tif", report(FileKind::CompressTiff, 3 << 20, 1 << 20, "/p/a_51-2.rpx", 50.0)}};
        press(Qt::Key_3);
        item->trigger();
        DROP_AND_WAIT({"/p/a.tif"});
        const JobSettings s = services_->batchSettings.back();
        QVERIFY(s.rateAware);
        QCOMPARE(s.qualityLevel, 6);
        QCOMPARE(s.qualityDbText, std::string("51"));
        QCOMPARE(counter(), QString("3.0 MB → 1.0 MB  平均 3.0:1  約 50.0 dB  容量優先"));
    }
};

QTEST_MAIN(DialogTest)
#include "test_gui.moc"
