#pragma once
// The files a batch could not handle and why, then those it left alone because
// their output existed, in a window that stays open beside the dialog; the
// whole list can be copied for a log or a mail.

#include <QDialog>
#include <vector>

#include "app/gui/batch_report.h"

class QTreeWidget;

namespace kirune {

class FailureListDialog : public QDialog {
    Q_OBJECT
public:
    explicit FailureListDialog(QWidget* parent = nullptr);
    void setFailures(const std::vector<FailedFile>& failures, const std::vector<SkippedFile>& skipped = {});
    // One line per failure: the path, a tab, the message; then the skipped
    // files' heading on a line of its own and a line for each.
    QString asText() const;

private:
    QTreeWidget* list_ = nullptr;
};

}  // namespace kirune
