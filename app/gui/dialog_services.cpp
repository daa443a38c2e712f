#include "app/gui/dialog_services.h"

#include <QDesktopServices>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <utility>
#include <vector>

#include "app/core/batch.h"
#include "app/core/drivers.h"

namespace kirune {

namespace {

struct ReplaceAnswer {
    const char* text;
    const char* name;  // the button's object name
    ExistingOutputChoice choice;
};
constexpr ReplaceAnswer kReplaceAnswers[] = {
    {"置き換える", "replaceButton", ExistingOutputChoice::Replace},
    {"スキップ", "skipButton", ExistingOutputChoice::Skip},
    {"すべて置き換える", "replaceAllButton", ExistingOutputChoice::ReplaceAll},
    {"すべてスキップ", "skipAllButton", ExistingOutputChoice::SkipAll}};

class DesktopServices : public DialogServices {
public:
    void showMessage(QWidget* parent, const QString& path, const QString& text) override {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Kirune"), text, QMessageBox::Ok, parent);
        // In a long batch the path tells which file the message is about.
        if (!path.isEmpty()) box.setInformativeText(QDir::toNativeSeparators(path));
        box.exec();
    }

    ExistingOutputChoice askReplaceExisting(QWidget* parent, const QString& path, const QString& output) override {
        const QFileInfo existing(output);
        QMessageBox box(QMessageBox::Question, QStringLiteral("Kirune"),
                        QStringLiteral("%1 は既にあります。置き換えますか？").arg(existing.fileName()),
                        QMessageBox::NoButton, parent);
        box.setTextFormat(Qt::PlainText);  // a file may be named like markup
        // When it was last changed tells a retouched file from an earlier run's output.
        QString details = QStringLiteral("出力先: ") + QDir::toNativeSeparators(output);
        if (existing.exists())
            details += QStringLiteral("\n更新日時: ") +
                       existing.lastModified().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
        details += QStringLiteral("\n入力: ") + QDir::toNativeSeparators(path);
        box.setInformativeText(details);
        std::vector<std::pair<QPushButton*, ExistingOutputChoice>> buttons;
        for (const ReplaceAnswer& a : kReplaceAnswers) {
            // One role for all four keeps them in this order on every desktop.
            QPushButton* b = box.addButton(QString::fromUtf8(a.text), QMessageBox::ActionRole);
            b->setObjectName(QString::fromLatin1(a.name));
            buttons.emplace_back(b, a.choice);
        }
        // Enter, Escape and closing the box all keep the existing file.
        box.setDefaultButton(buttons[1].first);
        box.setEscapeButton(buttons[1].first);
        box.exec();
        for (const auto& [button, choice] : buttons)
            if (box.clickedButton() == button) return choice;
        return ExistingOutputChoice::Skip;
    }

    QStringList browseFiles(QWidget* parent, const QString& filter) override {
        return QFileDialog::getOpenFileNames(parent, QStringLiteral("開く"), QString(), filter);
    }

    bool openUrl(const QUrl& url) override { return QDesktopServices::openUrl(url); }

    std::unique_ptr<FileProcessor> makeProcessor(const JobSettings& settings,
                                                 FileDoneCallback onFileDone) override {
        auto drivers = std::make_unique<FileDrivers>(settings);
        drivers->onFileDone = std::move(onFileDone);
        return drivers;
    }
};

}  // namespace

std::unique_ptr<DialogServices> makeDesktopServices() { return std::make_unique<DesktopServices>(); }

}  // namespace kirune
