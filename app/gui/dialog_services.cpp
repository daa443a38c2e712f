#include "app/gui/dialog_services.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

#include "app/core/batch.h"
#include "app/core/drivers.h"
#include "common/kirune/Error.h"

namespace kirune {

namespace {

#ifndef KIRUNE_HAVE_DRIVERS
// Stands in while a checkout has the dialog but not yet the drivers, so such a
// build still links and says why nothing happens.
class MissingDrivers : public FileProcessor {
public:
    bool processOneFile(const std::string&, FileKind, BatchUi&) override {
        throw Error("圧縮／伸張の処理が組み込まれていません");
    }
};
#endif

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

    std::unique_ptr<FileProcessor> makeProcessor(const JobSettings& settings) override {
#ifdef KIRUNE_HAVE_DRIVERS
        return std::make_unique<FileDrivers>(settings);
#else
        (void)settings;
        return std::make_unique<MissingDrivers>();
#endif
    }
};

}  // namespace

std::unique_ptr<DialogServices> makeDesktopServices() { return std::make_unique<DesktopServices>(); }

}  // namespace kirune
