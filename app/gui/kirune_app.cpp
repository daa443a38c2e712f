#include "app/gui/kirune_app.h"

#include <QFileInfo>
#include <cstdio>
#include <QLibraryInfo>
#include <QTimer>
#include <QUrl>

#include "app/core/signals.h"
#include "app/version.h"
#include "app/gui/command_line.h"
#include "app/gui/dialog_services.h"
#include "app/gui/main_dialog.h"

namespace kirune {

KiruneApp::KiruneApp(int& argc, char** argv, const SignalStop& stopSignals)
    : signals_(stopSignals), app_(argc, argv), services_(makeDesktopServices()) {
    // Where QSettings keeps the remembered choices: ~/.config/Kirune/kirune.conf.
    QApplication::setOrganizationName(QStringLiteral("Kirune"));
    QApplication::setApplicationName(QStringLiteral("kirune"));
    QApplication::setApplicationVersion(QString::fromLatin1(kVersionText));
    QGuiApplication::setDesktopFileName(QStringLiteral("kirune"));
    // The window is Japanese whatever the locale; so should Qt's own buttons be.
    if (qtTexts_.load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qtTexts_);
}

KiruneApp::~KiruneApp() = default;

int KiruneApp::run() {
    // Qt has taken its own options by now; anything else unknown is a mistake,
    // not a file name.
    const CommandLine line = parseCommandLine(QCoreApplication::arguments().mid(1));
    if (line.action == CommandLine::Action::Usage) {
        const QString text = QStringLiteral("kirune: 不明なオプションです: %1\n"
                                            "使い方は kirune --help で表示できます\n").arg(line.badOption);
        std::fputs(text.toLocal8Bit().constData(), stderr);
        return 2;
    }
    MainDialog dlg(*services_);
    dlg.setStopToken(signals_.token());
    const QStringList files = pathsFromArguments(line.files);
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
