#pragma once
// The batch's window in a terminal: messages on standard error, one line
// each, prefixed with their file, and a progress bar redrawn in place on one
// line that fits the terminal's width.

#include <functional>
#include <string>

#include "app/core/ui.h"

namespace kirune::cli {

// The progress line "[####    ]  42%  3 / 10  path" cut to `columns`
// (never longer): the path loses its start first, then the bar shrinks.
std::string progressLine(int percent, const std::string& counter, const std::string& path, std::size_t columns);

// Columns of the terminal on standard error: its window size, else $COLUMNS,
// else 80.
std::size_t terminalColumns();

class TerminalUi : public BatchUi {
public:
    // The bar is drawn only when standard error is a terminal and not `quiet`.
    explicit TerminalUi(bool quiet);
    ~TerminalUi() override { clearBar(); }

    void showMessage(const std::string& path, const std::string& text) override;
    void showWarning(const std::string& path, const std::string& text) override;
    void setPathText(const std::string& text) override { path_ = text; }
    void setCounterText(const std::string& text) override { counter_ = text; }
    void setProgress(int percent) override;
    void clearBar();

    // Told of every message about a file, which in a batch means it failed.
    std::function<void(const std::string& path, const std::string& text)> onFileMessage;

private:
    bool bar_;
    bool drawn_ = false;
    std::string path_;
    std::string counter_;
};

}  // namespace kirune::cli
