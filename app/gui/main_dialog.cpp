#include "app/gui/main_dialog.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QUrl>
#include <algorithm>

#include "app/core/batch.h"
#include "app/core/failure_text.h"
#include "app/core/presets.h"
#include "app/version.h"
#include "app/gui/batch_bridge.h"
#include "app/gui/dialog_services.h"
#include "app/gui/failure_list_dialog.h"

namespace kirune {

namespace {

// Every name the batch takes; the file system and the picker tell case apart.
const QString kBrowseFilter =
    QStringLiteral("RPX,TIFFファイル (*.rpx *.tif *.tiff *.bmp *.png *.RPX *.TIF *.TIFF *.BMP *.PNG)");

constexpr int kHighQualityRadio = kDefaultPreset.radio;  // 高画質, the start-up choice and the fallback

const QString kHelpPdfName = QStringLiteral("Kirune_操作説明.pdf");

// The remembered choices.
const QString kPresetKey = QStringLiteral("preset");  // the digit key of the preset in force
const QString kBmpOutputKey = QStringLiteral("bmpOutput");
const QString kPngOutputKey = QStringLiteral("pngOutput");
const QString kCollectFailuresKey = QStringLiteral("collectFailures");
const QString kRateAwareKey = QStringLiteral("rateAware");

// Neither closes the dialog nor presses a button.
bool isSwallowed(const QKeyEvent& key) {
    const int k = key.key();
    return k == Qt::Key_Return || k == Qt::Key_Enter || k == Qt::Key_Escape;
}

// The digit of the main keyboard's digit row the key sits on, whatever the
// layout and Shift make of it (AZERTY's '&', Shift+1's '!'); -1 for any other
// key, the keypad included. Qt reports X keycodes (evdev + 8) on xcb, wayland
// and its own evdev and libinput input, and set-1 scan codes (evdev's numbers)
// on Windows; elsewhere, or when no scan code came, the key's digit decides.
int digitRowKey(const QKeyEvent& key) {
    const QString platform = QGuiApplication::platformName();
    int first = 0;  // scan code of the '1' key; '2'..'9' and '0' follow it
    if (platform == u"windows")
        first = 2;
    else if (platform == u"xcb" || platform.startsWith(u"wayland") || platform == u"eglfs" ||
             platform == u"linuxfb" || platform == u"offscreen")
        first = 10;
    const auto code = static_cast<int>(key.nativeScanCode());
    if (first != 0 && code != 0) return code >= first && code < first + 10 ? (code - first + 1) % 10 : -1;
    const int k = key.key();
    if ((key.modifiers() & Qt::KeypadModifier) || k < Qt::Key_0 || k > Qt::Key_9) return -1;
    return k - Qt::Key_0;
}

// What the list of the batch's failures shows.
bool hasListed(const BatchSummary& summary) {
    return !summary.failures().empty() || !summary.skippedFiles().empty();
}

QIcon programIcon() { return QIcon(QStringLiteral(":/kirune/kirune.png")); }

// The dialog was laid out in dialog units of its 9-point font: a quarter of
// the average Latin letter's width across, an eighth of the em down.
QSize dialogUnits(const QFont& font, int x, int y) {
    const QFontMetrics fm(font);
    const int letters = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const int baseX = (letters / 26 + 1) / 2;
    const int baseY = QFontInfo(font).pixelSize();
    return {x * baseX / 4, y * baseY / 8};
}

QLabel* centredLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

// What stopped a batch outside any one file: the exception's own text, or a
// fixed one for whatever is not a standard exception.
std::string batchFailureText(std::exception_ptr failure) {
    try {
        return failureText(failure);
    } catch (...) {
        return "不明なエラーのため処理を中止しました";
    }
}

}  // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("versionIcon"));
    icon->setPixmap(programIcon().pixmap(32, 32));
    auto* text = new QLabel(QStringLiteral("Kirune Ver. ") + QString::fromLatin1(kVersionText), this);
    text->setObjectName(QStringLiteral("versionText"));
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("versionOk"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addSpacing(12);
    row->addWidget(text, 1);
    row->addWidget(ok, 0, Qt::AlignTop);
    setLayout(row);
    setFixedSize(sizeHint());
}

MainDialog::MainDialog(DialogServices& services, QWidget* parent) : QDialog(parent), services_(services) {
    setWindowTitle(QStringLiteral("TIFF(RGB各16bit)専用  圧縮／伸張プログラム"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(programIcon());
    // The nearest free match for the Japanese UI font the layout was drawn for.
    setFont(QFont(QStringLiteral("Noto Sans CJK JP"), 9));

    buildQualityGroup();
    buildButtons();
    buildStatusLines();
    layOut();
    initialise();
    setFixedSize(dialogUnits(font(), 198, 109).expandedTo(minimumSizeHint()));
}

void MainDialog::buildQualityGroup() {
    qualityGroup_ = new QGroupBox(QStringLiteral("画品質の設定"), this);
    qualityGroup_->setObjectName(QStringLiteral("qualityGroup"));
    radios_ = new QButtonGroup(this);
    auto* radioRow = new QHBoxLayout(qualityGroup_);
    const QString radioTexts[3] = {QStringLiteral("標準"), QStringLiteral("高画質"), QStringLiteral("超高画質")};
    const char* radioNames[3] = {"standardRadio", "highRadio", "superRadio"};
    for (int i = 0; i < 3; ++i) {
        radioButtons_[i] = new QRadioButton(radioTexts[i], qualityGroup_);
        radioButtons_[i]->setObjectName(QString::fromLatin1(radioNames[i]));
        radios_->addButton(radioButtons_[i], i);
        radioRow->addWidget(radioButtons_[i]);
    }
    connect(radios_, &QButtonGroup::idClicked, this, [this](int) { onQualityChanged(); });
}

void MainDialog::buildButtons() {
    browseButton_ = new QPushButton(QStringLiteral("参照"), this);
    browseButton_->setObjectName(QStringLiteral("browseButton"));
    helpButton_ = new QPushButton(QStringLiteral("ヘルプ"), this);
    helpButton_->setObjectName(QStringLiteral("helpButton"));
    closeButton_ = new QPushButton(QStringLiteral("終了"), this);
    closeButton_->setObjectName(QStringLiteral("closeButton"));
    for (QPushButton* b : {browseButton_, helpButton_, closeButton_}) {
        b->setAutoDefault(false);
        b->setMinimumSize(dialogUnits(font(), 40, 14));
    }
    connect(browseButton_, &QPushButton::clicked, this, &MainDialog::onBrowse);
    connect(helpButton_, &QPushButton::clicked, this, &MainDialog::onHelp);
    connect(closeButton_, &QPushButton::clicked, this, &MainDialog::onClose);
}

void MainDialog::buildStatusLines() {
    pathLabel_ = centredLabel(QString(), this);
    pathLabel_->setObjectName(QStringLiteral("pathText"));
    // A long path must not widen the fixed-size window; it is elided instead.
    pathLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    pathLabel_->setMinimumHeight(pathLabel_->fontMetrics().height());
    counterLabel_ = centredLabel(QStringLiteral("0 / 0"), this);
    counterLabel_->setObjectName(QStringLiteral("counterText"));
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("progressBar"));
    progress_->setTextVisible(false);
    hintLabel_ = centredLabel(QStringLiteral("TIFFファイルとRPXファイルをドラッグ＆ドロップできます"), this);
    hintLabel_->setObjectName(QStringLiteral("dropHint"));
}

void MainDialog::layOut() {
    auto* grid = new QGridLayout(this);
    grid->addWidget(qualityGroup_, 0, 0, 3, 1);
    grid->addWidget(browseButton_, 0, 1);
    grid->addWidget(helpButton_, 1, 1);
    grid->addWidget(closeButton_, 2, 1);
    grid->addWidget(pathLabel_, 3, 0, 1, 2);
    grid->addWidget(counterLabel_, 4, 0, 1, 2);
    grid->addWidget(progress_, 5, 0, 1, 2);
    grid->addWidget(hintLabel_, 6, 0, 1, 2);
    grid->setColumnStretch(0, 1);
}

MainDialog::~MainDialog() {
    onStop_.reset();
    // The program is ending: let the current file finish, skip the rest.
    if (worker_.joinable()) {
        control_->cancel();
        worker_.join();
    }
}

void MainDialog::initialise() {
    // X11 has no system menu to extend; the About item sits in the context menu.
    auto* about = new QAction(QStringLiteral("Kirune のﾊﾞｰｼﾞｮﾝ情報(&A)..."), this);
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, &MainDialog::onAbout);
    addAction(about);
    buildBatchActions();
    setContextMenuPolicy(Qt::ActionsContextMenu);

    progress_->setRange(0, 100);
    progress_->setValue(0);
    setAcceptDrops(true);

    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);

    restoreChoices();
}

void MainDialog::buildBatchActions() {
    auto* separator = new QAction(this);
    separator->setSeparator(true);
    addAction(separator);
    failuresAction_ = new QAction(QStringLiteral("処理できなかったファイルの一覧(&F)..."), this);
    failuresAction_->setObjectName(QStringLiteral("failuresAction"));
    connect(failuresAction_, &QAction::triggered, this, &MainDialog::onShowFailures);
    folderAction_ = new QAction(QStringLiteral("出力フォルダを開く(&O)"), this);
    folderAction_->setObjectName(QStringLiteral("folderAction"));
    connect(folderAction_, &QAction::triggered, this, &MainDialog::onOpenOutputFolder);
    // For unattended batches: nobody is there to press OK on each box.
    collectAction_ = new QAction(QStringLiteral("エラーをまとめて最後に表示する(&C)"), this);
    collectAction_->setObjectName(QStringLiteral("collectAction"));
    collectAction_->setCheckable(true);
    connect(collectAction_, &QAction::toggled, this, &MainDialog::setCollectFailures);
    // Fewer bytes at the preset's quality, for archives, at about three times the time.
    rateAwareAction_ = new QAction(QStringLiteral("容量優先（時間がかかります）(&R)"), this);
    rateAwareAction_->setObjectName(QStringLiteral("rateAwareAction"));
    rateAwareAction_->setCheckable(true);
    connect(rateAwareAction_, &QAction::toggled, this, &MainDialog::setRateAware);
    for (QAction* a : {failuresAction_, folderAction_}) a->setEnabled(false);
    addActions({failuresAction_, folderAction_, collectAction_, rateAwareAction_});

    pathLabel_->setTextFormat(Qt::PlainText);  // a file may be named like markup
    connect(pathLabel_, &QLabel::linkActivated, this, [this](const QString& link) {
        if (link == u"#failures") onShowFailures();
        if (link == u"#folder") onOpenOutputFolder();
    });
}

void MainDialog::restoreChoices() {
    const QSettings settings;
    bool valid = false;
    const int digit = settings.value(kPresetKey, kDefaultPresetDigit).toInt(&valid);
    bmpOutput_ = settings.value(kBmpOutputKey, false).toBool();
    pngOutput_ = !bmpOutput_ && settings.value(kPngOutputKey, false).toBool();
    collectFailures_ = settings.value(kCollectFailuresKey, false).toBool();
    rateAware_ = settings.value(kRateAwareKey, false).toBool();
    {
        const QSignalBlocker quiet(collectAction_);  // saving now would store the defaults
        collectAction_->setChecked(collectFailures_);
        const QSignalBlocker quietToo(rateAwareAction_);
        rateAwareAction_->setChecked(rateAware_);
    }
    choosePreset(valid && digit >= 0 && digit <= 9 ? digit : kDefaultPresetDigit);
}

void MainDialog::saveChoices() const {
    QSettings settings;
    // The digit whose preset is in force; none when no figure is (the keys then fall back to 高画質).
    const auto inForce = std::find_if(std::begin(kPresets), std::end(kPresets), [this](const Preset& p) {
        return p.qualityLevel == qualityLevel_ && p.colourSampling == colourSampling_ && p.dbFigure == dbEstimate_;
    });
    if (inForce != std::end(kPresets))
        settings.setValue(kPresetKey, inForce->digit);
    else
        settings.remove(kPresetKey);
    settings.setValue(kBmpOutputKey, bmpOutput_);
    settings.setValue(kPngOutputKey, pngOutput_);
    settings.setValue(kCollectFailuresKey, collectFailures_);
    settings.setValue(kRateAwareKey, rateAware_);
}

void MainDialog::setRateAware(bool rateAware) {
    rateAware_ = rateAware;
    if (rateAwareAction_->isChecked() != rateAware) rateAwareAction_->setChecked(rateAware);
    saveChoices();  // the batch running keeps the coder it started with
}

void MainDialog::setCollectFailures(bool collect) {
    collectFailures_ = collect;
    if (collectAction_->isChecked() != collect) collectAction_->setChecked(collect);
    if (batchUi_) batchUi_->setCollectFailures(collect);  // an unattended batch may be told so once it runs
    saveChoices();
}

void MainDialog::setStopToken(std::stop_token stop) {
    onStop_.reset();
    stop_ = std::move(stop);
    // Runs on the thread that requests the stop; the window acts on its own.
    onStop_ = std::make_unique<std::stop_callback<std::function<void()>>>(stop_, [this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (w != this && w->isVisible()) w->close();
                reject();
            },
            Qt::QueuedConnection);
    });
}

JobSettings MainDialog::jobSettings() const {
    JobSettings s;
    s.qualityLevel = qualityLevel_;
    s.colourSampling = colourSampling_;
    s.qualityDbText = std::to_string(dbEstimate_);
    s.bmpOutput = bmpOutput_;
    s.pngOutput = pngOutput_;
    s.measureQuality = true;  // for the report at the end of the batch; the bytes written do not change
    s.rateAware = rateAware_;
    s.stop = stop_;
    // An existing file may have been edited since it was written: ask, or when
    // nobody is there to answer, leave it and list it at the end.
    s.existingOutputs = collectFailures_ ? ExistingOutputs::Skip : ExistingOutputs::Ask;
    return s;
}

void MainDialog::onQualityChanged() {
    if (batchRunning()) {
        selectRadio(qualityRadio_);
        return;
    }
    qualityRadio_ = radios_->checkedId();
    if (const auto preset = presetForRadio(qualityRadio_)) {
        usePreset(*preset);
    } else {
        // No radio: no figure, the level stays, and the radios' 4:4:4 sampling.
        colourSampling_ = kDefaultPreset.colourSampling;
        dbEstimate_ = 0;
    }
    showQuality();
}

void MainDialog::usePreset(const Preset& preset) {
    qualityLevel_ = preset.qualityLevel;
    colourSampling_ = preset.colourSampling;
    dbEstimate_ = preset.dbFigure;
}

void MainDialog::showQuality() {
    const QString text = bmpOutput_   ? QStringLiteral("画品質は約 %1 dBです  出力:BMP ")
                         : pngOutput_ ? QStringLiteral("画品質は約 %1 dBです  出力:PNG ")
                                      : QStringLiteral("画品質は約 %1 dBです  出力:TIFF");
    qualityGroup_->setTitle(text.arg(dbEstimate_));
    saveChoices();  // every change lands here; saved at once, so a killed program keeps it too
}

void MainDialog::choosePreset(int digit) {
    const Preset& p = kPresets[digit];
    usePreset(p);
    if (p.radio >= 0) qualityRadio_ = p.radio;
    selectRadio(p.radio);
    showQuality();
}

void MainDialog::selectRadio(int radio) {
    if (radio >= 0 && radio < 3) {
        radioButtons_[radio]->setChecked(true);
        return;
    }
    // An exclusive group refuses to end up with nothing checked.
    radios_->setExclusive(false);
    for (QRadioButton* b : radioButtons_) b->setChecked(false);
    radios_->setExclusive(true);
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto& key = *static_cast<QKeyEvent*>(event);
        if (isSwallowed(key)) return true;
        // A key a child ignores is sent on to its parents; act on its first receiver only.
        QWidget* first = focusWidget() ? focusWidget() : this;
        if (watched == first) applyKey(key);
    }
    return QDialog::eventFilter(watched, event);
}

void MainDialog::applyKey(const QKeyEvent& key) {
    const int k = key.key();
    if (batchRunning()) return;
    // These came as system keys, not key-downs, where the key table was drawn up.
    if (k == Qt::Key_Alt || k == Qt::Key_AltGr || k == Qt::Key_F10 || (key.modifiers() & Qt::AltModifier))
        return;

    if (const int digit = digitRowKey(key); digit >= 0) {
        choosePreset(digit);
        return;
    }
    enum { Unchanged = -2, NoRadio = -1 };
    int radio = Unchanged;
    if (k == Qt::Key_B) {
        bmpOutput_ = true;
        pngOutput_ = false;
    } else if (k == Qt::Key_T) {
        bmpOutput_ = pngOutput_ = false;
    } else {
        // P chooses PNG and otherwise stays the "other key" it always was:
        // the radios are cleared as before.
        if (k == Qt::Key_P) {
            pngOutput_ = true;
            bmpOutput_ = false;
        }
        radio = NoRadio;
    }
    if (dbEstimate_ <= 0) {  // no preset in force: fall back to 高画質
        usePreset(kDefaultPreset);
        radio = kHighQualityRadio;
    }
    if (radio >= 0) {
        qualityRadio_ = radio;
        selectRadio(radio);
    } else if (radio == NoRadio) {
        selectRadio(NoRadio);  // qualityRadio_ keeps its value
    }
    showQuality();
}

void MainDialog::dragEnterEvent(QDragEnterEvent* event) {
    if (!batchRunning() && event->mimeData()->hasUrls()) {
        for (const QUrl& url : event->mimeData()->urls()) {
            if (url.isLocalFile()) {
                event->acceptProposedAction();
                return;
            }
        }
    }
    event->ignore();
}

void MainDialog::dropEvent(QDropEvent* event) {
    if (batchRunning()) {
        event->ignore();
        return;
    }
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) paths.append(url.toLocalFile());
    event->acceptProposedAction();
    onFilesDropped(paths);
}

void MainDialog::onFilesDropped(const QStringList& paths) {
    if (batchRunning()) return;
    startBatch(paths);
}

void MainDialog::onBrowse() {
    if (batchRunning()) return;
    const QStringList files = services_.browseFiles(this, kBrowseFilter);
    if (files.isEmpty()) return;  // cancelled: nothing changes
    startBatch(files);
}

void MainDialog::startBatch(const QStringList& paths) {
    std::vector<std::string> given;
    for (const QString& p : paths) given.push_back(pathFromQString(p));

    control_ = std::make_shared<BatchControl>();
    batchUi_ = std::make_unique<DialogBatchUi>(*control_, collectFailures_);
    try {
        // The summary is the worker's while it runs; the window reads it once it has joined.
        processor_ = services_.makeProcessor(
            jobSettings(), [&summary = batchUi_->summary()](const FileReport& r) { summary.addDone(r); });
    } catch (...) {
        batchUi_.reset();
        control_.reset();
        services_.showMessage(this, QString(), QString::fromStdString(failureText(std::current_exception())));
        return;
    }
    connect(batchUi_.get(), &DialogBatchUi::messageRequested, this, &MainDialog::showMessage, Qt::QueuedConnection);
    connect(batchUi_.get(), &DialogBatchUi::replaceQuestionRequested, this, &MainDialog::askReplaceExisting,
            Qt::QueuedConnection);
    connect(batchUi_.get(), &DialogBatchUi::pathTextChanged, this, &MainDialog::setPathText, Qt::QueuedConnection);
    connect(batchUi_.get(), &DialogBatchUi::counterTextChanged, this, &MainDialog::setCounterText,
            Qt::QueuedConnection);
    connect(batchUi_.get(), &DialogBatchUi::progressChanged, this, &MainDialog::setProgress, Qt::QueuedConnection);
    setInputEnabled(false);
    reportShown_ = false;
    batchRateAware_ = rateAware_;
    for (QAction* a : {failuresAction_, folderAction_}) a->setEnabled(false);

    // Folders are walked on the worker: a large tree must not freeze the window.
    worker_ = std::thread([this, given = std::move(given)] {
        try {
            const FileList list = droppedFileList(given);
            GuardedProcessor guarded(*processor_, *control_);
            const BatchResult result = runBatch(list, guarded, *batchUi_, stop_);
            batchUi_->summary().setCounts(result.succeeded, result.failed, result.skipped);
        } catch (...) {
            // Only the display or building the list could have failed here; no file is half done, but the
            // user hears why the batch stopped, the way each failure is told.
            const std::string text = batchFailureText(std::current_exception());
            try {
                batchUi_->showMessage({}, text);
            } catch (...) {  // the display itself has failed: nothing is left to tell it with
            }
        }
        QMetaObject::invokeMethod(this, [this] { finishBatch(); }, Qt::QueuedConnection);
    });
}

void MainDialog::finishBatch() {
    if (worker_.joinable()) worker_.join();
    lastBatch_ = std::move(batchUi_->summary());
    batchUi_.reset();
    processor_.reset();
    control_.reset();
    setInputEnabled(true);
    closeButton_->setEnabled(true);
    if (closeRequested_) {
        closeRequested_ = false;
        emit batchFinished();
        QDialog::reject();
        return;
    }
    showReport();
    if (collectFailures_ && hasListed(lastBatch_)) onShowFailures();
    emit batchFinished();
}

void MainDialog::showReport() {
    reportShown_ = true;
    refreshPathLabel();
    QString sizes = summarySizesText(lastBatch_);
    // Which coder the compressions ran with: only the rate-aware one is named.
    if (batchRateAware_ && lastBatch_.meanPsnr() > 0.0) sizes += QStringLiteral("  容量優先");
    setCounterText(sizes.isEmpty() ? QStringLiteral("0 / 0") : sizes);
    failuresAction_->setEnabled(hasListed(lastBatch_));
    folderAction_->setEnabled(!lastBatch_.outputFolder().isEmpty());
}

void MainDialog::refreshPathLabel() {
    if (!reportShown_) {
        pathLabel_->setTextFormat(Qt::PlainText);
        pathLabel_->setText(pathLabel_->fontMetrics().elidedText(pathText_, Qt::ElideMiddle, pathLabel_->width()));
        pathLabel_->setToolTip(QDir::toNativeSeparators(pathText_));
        return;
    }
    QString line = summaryCountsText(lastBatch_).toHtmlEscaped();
    if (hasListed(lastBatch_)) line += QStringLiteral("（<a href=\"#failures\">一覧</a>）");
    if (!lastBatch_.outputFolder().isEmpty()) line += QStringLiteral("　<a href=\"#folder\">出力フォルダ</a>");
    pathLabel_->setTextFormat(Qt::RichText);
    pathLabel_->setText(line);
    pathLabel_->setToolTip(QDir::toNativeSeparators(lastBatch_.outputFolder()));
}

void MainDialog::onShowFailures() {
    if (!hasListed(lastBatch_)) return;
    if (!failureList_) failureList_ = new FailureListDialog(this);
    failureList_->setFailures(lastBatch_.failures(), lastBatch_.skippedFiles());
    failureList_->show();
    failureList_->raise();
}

void MainDialog::onOpenOutputFolder() {
    const QString folder = lastBatch_.outputFolder();
    if (folder.isEmpty()) return;
    if (!services_.openUrl(QUrl::fromLocalFile(folder)))
        services_.showMessage(this, folder, QStringLiteral("出力フォルダを開けませんでした"));
}

void MainDialog::showMessage(const QString& path, const QString& text) {
    // Held here: a cancelled batch may finish while the box is open.
    const std::shared_ptr<BatchControl> control = control_;
    if (control && !control->cancelled()) services_.showMessage(this, path, text);
    if (control) control->acknowledge();
}

void MainDialog::askReplaceExisting(const QString& path, const QString& output) {
    // Held here: a cancelled batch may finish while the box is open.
    const std::shared_ptr<BatchControl> control = control_;
    if (!control) return;
    // Once closing, the worker no longer waits and takes no answer.
    if (control->cancelled()) return;
    control->answer(services_.askReplaceExisting(this, path, output));
}

void MainDialog::setPathText(const QString& text) {
    pathText_ = text;
    reportShown_ = false;
    refreshPathLabel();
}

void MainDialog::setCounterText(const QString& text) { counterLabel_->setText(text); }

void MainDialog::setProgress(int percent) { progress_->setValue(percent); }

void MainDialog::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    refreshPathLabel();
}

void MainDialog::setInputEnabled(bool enabled) {
    qualityGroup_->setEnabled(enabled);
    browseButton_->setEnabled(enabled);
}

QString helpPdfPath(const QString& programDir) {
    const QString installed = QDir(programDir).filePath(QStringLiteral("../share/doc/kirune/") + kHelpPdfName);
    if (QFileInfo::exists(installed)) return QDir::cleanPath(installed);
    return QDir(programDir).filePath(kHelpPdfName);
}

void MainDialog::onHelp() {
    const QString pdf = helpPdfPath(QCoreApplication::applicationDirPath());
    if (!QFileInfo::exists(pdf))
        services_.showMessage(this, pdf, QStringLiteral("操作説明 (PDF) が見つかりません"));
    else if (!services_.openUrl(QUrl::fromLocalFile(pdf)))
        services_.showMessage(this, pdf,
                              QStringLiteral("操作説明 (PDF) を開けませんでした。PDF を表示するアプリケーションが"
                                             "インストールされているか確認してください"));
}

void MainDialog::onClose() { reject(); }

void MainDialog::reject() {
    if (batchRunning()) {
        // No half-written file: the current one finishes, the rest are skipped,
        // and the window closes when the worker is done.
        closeRequested_ = true;
        control_->cancel();
        setInputEnabled(false);
        closeButton_->setEnabled(false);
        return;
    }
    QDialog::reject();
}

void MainDialog::onAbout() {
    AboutDialog about(this);
    about.exec();
}

}  // namespace kirune
