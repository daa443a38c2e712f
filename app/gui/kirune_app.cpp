#include "app/gui/kirune_app.h"

#include <QFileInfo>
#include <QLibraryInfo>
#include <QTimer>
#include <QUrl>

#include "app/core/signals.h"
#include "app/version.h"
#include "app/gui/dialog_services.h"
#include "app/gui/main_dialog.h"

namespace kirune {

KiruneApp::KiruneApp(int& argc, char** argv, const SignalStop& stopSignals)
    : signals_(stopSignals), app_(argc, argv), services_(makeDesktopServices()) {
    QApplication::setApplicationName(QStringLiteral("kirune"));
    QApplication::setApplicationVersion(QString::fromLatin1(kVersionText));
    QGuiApplication::setDesktopFileName(QStringLiteral("kirune"));
    // The window is Japanese whatever the locale; so should Qt's own buttons be.
    if (qtTexts_.load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qtTexts_);
}

KiruneApp::~KiruneApp() = default;

int KiruneApp::run() {
    MainDialog dlg(*services_);
    dlg.setStopToken(signals_.token());
    const QStringList files = pathsFromArguments(QCoreApplication::arguments().mid(1));
    if (!files.isEmpty()) {
        // Queued, so the batch starts once the window is on screen.
        QTimer::singleShot(0, &dlg, [&dlg, files] { dlg.onFilesDropped(files); });
    }
    dlg.exec();
    return signals_.signal() ? 128 + signals_.signal() : 0;
}

QStringList pathsFromArguments(const QStringList& arguments) {
    QStringList paths;
    for (const QString& arg : arguments) {
        if (arg.isEmpty()) continue;
        const QString local = arg.startsWith(QStringLiteral("file:")) ? QUrl(arg).toLocalFile() : arg;
        if (!local.isEmpty()) paths.append(QFileInfo(local).absoluteFilePath());
    }
    return paths;
}

}  // namespace kirune
