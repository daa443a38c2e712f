// kirune: the dialog users drop their photographs on.

#include <cstdio>
#include <cstdlib>

#include "app/core/signals.h"
#include "app/gui/kirune_app.h"

int main(int argc, char** argv) {
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
