#pragma once
// What the dialog needs of the desktop besides its own widgets: message boxes,
// the file picker, the shell's "open" and the processor a batch runs through.
// The tests replace it, so they never wait on a real box or file dialog.

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "app/core/ui.h"

class QUrl;
class QWidget;

namespace kirune {

class FileProcessor;
struct FileReport;
struct JobSettings;

// Called on the batch's worker after each file that succeeded.
using FileDoneCallback = std::function<void(const FileReport&)>;

class DialogServices {
public:
    virtual ~DialogServices() = default;
    // Modal on the window's thread; returns once the user has pressed OK.
    virtual void showMessage(QWidget* parent, const QString& path, const QString& text) = 0;
    // Modal on the window's thread: `output`, which `path` would be written to,
    // exists; replace it or skip the file (for the rest of the batch too, with
    // the "all" answers). Closing the box skips.
    virtual ExistingOutputChoice askReplaceExisting(QWidget* parent, const QString& path, const QString& output) = 0;
    // The chosen files in the picker's order; empty when cancelled.
    virtual QStringList browseFiles(QWidget* parent, const QString& filter) = 0;
    // False when the desktop could not open it (no viewer, no file manager).
    virtual bool openUrl(const QUrl& url) = 0;
    // Made afresh for each batch with the settings of the moment the batch starts.
    virtual std::unique_ptr<FileProcessor> makeProcessor(const JobSettings& settings,
                                                         FileDoneCallback onFileDone) = 0;
};

// Real boxes, the real file dialog, QDesktopServices and the real drivers.
std::unique_ptr<DialogServices> makeDesktopServices();

}  // namespace kirune
