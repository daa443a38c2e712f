#pragma once
// The files a batch could not handle and why, in a window that stays open
// beside the dialog; the whole list can be copied for a log or a mail.

#include <QDialog>
#include <vector>

#include "app/gui/batch_report.h"

class QTreeWidget;

namespace kirune {

class FailureListDialog : public QDialog {
    Q_OBJECT
public:
    explicit FailureListDialog(QWidget* parent = nullptr);
    void setFailures(const std::vector<FailedFile>& failures);
    // One line per failure: the path, a tab, the message.
    QString asText() const;

private:
    QTreeWidget* list_ = nullptr;
};

}  // namespace kirune
