#pragma once
// The application object: owns the Qt application, runs the main dialog
// modally and ends the program when it closes.

#include <QApplication>
#include <QTranslator>
#include <memory>

namespace kirune {

class DialogServices;
class SignalStop;

class KiruneApp {
public:
    // `stopSignals` (made before any thread) ends the program cleanly on SIGINT,
    // SIGTERM or SIGHUP: the current file abandoned, its output not written.
    KiruneApp(int& argc, char** argv, const SignalStop& stopSignals);
    ~KiruneApp();
    KiruneApp(const KiruneApp&) = delete;
    KiruneApp& operator=(const KiruneApp&) = delete;

    // Shows the dialog, runs the files named on the command line as one dropped
    // batch, and returns the program's exit status once the dialog has closed.
    int run();

private:
    const SignalStop& signals_;
    QApplication app_;
    QTranslator qtTexts_;
    std::unique_ptr<DialogServices> services_;
};

// Command-line arguments as absolute local paths (file: URLs included).
QStringList pathsFromArguments(const QStringList& arguments);

}  // namespace kirune
