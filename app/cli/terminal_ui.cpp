#include "terminal_ui.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "app/core/i18n.h"
#include "text_encoding.h"

namespace kirune::cli {

std::string progressLine(int percent, const std::string& counter, const std::string& path, std::size_t columns) {
    const int shownPercent = percent < 0 ? 0 : percent > 100 ? 100 : percent;
    char figure[8];
    std::snprintf(figure, sizeof figure, "%3d%%", shownPercent);
    const std::size_t figureWidth = 4;
    if (columns < figureWidth) return {};
    // "[" bar "] " figure, then "  " counter, then "  " path when room is left.
    std::size_t room = columns - figureWidth;
    // The bar takes a third of what is left, so that counter and path keep some.
    std::size_t bar = std::clamp<std::size_t>(room / 3, 10, 30);
    if (room < bar + 3) bar = 0;
    std::string line;
    if (bar > 0) {
        const std::size_t filled = bar * static_cast<std::size_t>(shownPercent) / 100;
        line.reserve(bar + 3);
        line.push_back('[');
        line.append(filled, '#').append(bar - filled, ' ').append("] ");
        room -= bar + 3;
    }
    line += figure;
    if (!counter.empty() && room >= 2 + counter.size()) {
        line.append("  ").append(counter);
        room -= 2 + counter.size();
    }
    const std::string shown = displayName(path);
    if (!shown.empty() && room >= 2 + 8) line.append("  ").append(fitFromEnd(shown, room - 2));
    return line;
}

std::size_t terminalColumns() {
    struct winsize ws {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    if (const char* env = std::getenv("COLUMNS")) {
        const long n = std::strtol(env, nullptr, 10);
        if (n > 0 && n < 10000) return static_cast<std::size_t>(n);
    }
    return 80;
}

TerminalUi::TerminalUi(bool quiet) : bar_(!quiet && ::isatty(STDERR_FILENO)) {}

void TerminalUi::showMessage(const std::string& path, const std::string& text) {
    clearBar();
    if (path.empty()) {
        std::fprintf(stderr, "%s\n", text.c_str());
        return;
    }
    std::fprintf(stderr, "%s: %s\n", displayName(path).c_str(), text.c_str());
    if (onFileMessage) onFileMessage(path, text);
}

void TerminalUi::showWarning(const std::string& path, const std::string& text) {
    clearBar();
    std::fprintf(stderr, "%s: %s: %s\n", displayName(path).c_str(), tr("warning"), text.c_str());
}

void TerminalUi::setProgress(int percent) {
    if (!bar_) return;
    if (percent <= 0) {
        clearBar();
        return;
    }
    // One column short of the width: writing the last column wraps on some
    // terminals, which would leave a stale line on every update.
    const std::size_t columns = terminalColumns();
    const std::string line = progressLine(percent, counter_, path_, columns > 1 ? columns - 1 : 0);
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void TerminalUi::clearBar() {
    if (drawn_) {
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
        drawn_ = false;
    }
}

}  // namespace kirune::cli
