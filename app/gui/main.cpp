// kirune: the dialog users drop their photographs on.

#include <QString>
#include <QStringList>
#include <cstdio>
#include <cstdlib>

#include "app/core/signals.h"
#include "app/version.h"
#include "app/gui/command_line.h"
#include "app/gui/kirune_app.h"

int main(int argc, char** argv) {
    // Answered before Qt starts, so they work without a display. Unknown
    // options wait until Qt has taken its own (-platform, -style...).
    QStringList arguments;
    for (int i = 1; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
    const kirune::CommandLine line = kirune::parseCommandLine(arguments);
    if (line.action == kirune::CommandLine::Action::Help) {
        std::fputs(kirune::commandLineHelp().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (line.action == kirune::CommandLine::Action::Version) {
        std::printf("kirune %s\n", kirune::kVersionText);
        return 0;
    }

    // Qt aborts when it finds no display; say what to use instead.
    const auto unset = [](const char* name) {
        const char* v = std::getenv(name);
        return v == nullptr || *v == '\0';
    };
    if (unset("QT_QPA_PLATFORM") && unset("DISPLAY") && unset("WAYLAND_DISPLAY")) {
        std::fputs("kirune: no display found; the rpx command does the same work from a terminal\n", stderr);
        return 1;
    }
    kirune::SignalStop stopSignals;  // before Qt starts any thread
    kirune::KiruneApp app(argc, argv, stopSignals);
    return app.run();
}
