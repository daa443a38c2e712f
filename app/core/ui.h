#pragma once
// What the batch needs of a window: the dialog, rpx and the tests implement it.
// Calls come from the thread that runs the batch.

#include <functional>
#include <string>

namespace kirune {

// The window's answer when a file's output name is taken by a file that this
// batch did not write; the "all" answers hold for the rest of the batch.
enum class ExistingOutputChoice { Replace, Skip, ReplaceAll, SkipAll };

class BatchUi {
public:
    virtual ~BatchUi() = default;
    // Shows `text` and returns once the user has acknowledged it. `path` is the
    // file the message concerns (empty when none).
    virtual void showMessage(const std::string& path, const std::string& text) = 0;
    virtual void setPathText(const std::string& text) = 0;
    virtual void setCounterText(const std::string& text) = 0;
    virtual void setProgress(int percent) = 0;
    virtual void repaint() {}
    // Something noticed about `path` that did not stop its work (a tag left
    // out, a damaged input that libtiff repaired). Never waits. The default
    // writes "path: warning: text" to standard error.
    virtual void showWarning(const std::string& path, const std::string& text);
    // Runs `action` in its place among the file's messages: at once, or, when
    // files run side by side, in the file's turn in list order.
    virtual void inOrder(std::function<void()> action) { action(); }
    // Asked in the file's turn, before its work starts, when the batch's rule
    // for existing outputs is to ask. The default never replaces unasked.
    virtual ExistingOutputChoice askReplaceExisting(const std::string& path, const std::string& output) {
        return ExistingOutputChoice::Skip;
    }
    // A file left alone because its output already exists. Never waits.
    virtual void noteSkipped(const std::string& path, const std::string& output) {}
};

}  // namespace kirune
