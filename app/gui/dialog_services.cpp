#include "app/gui/dialog_services.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

#include "app/core/batch.h"
#include "app/core/drivers.h"

namespace kirune {

namespace {

class DesktopServices : public DialogServices {
public:
    void showMessage(QWidget* parent, const QString& path, const QString& text) override {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Kirune"), text, QMessageBox::Ok, parent);
        // In a long batch the path tells which file the message is about.
        if (!path.isEmpty()) box.setInformativeText(QDir::toNativeSeparators(path));
        box.exec();
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
