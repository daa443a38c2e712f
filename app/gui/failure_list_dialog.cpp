#include "app/gui/failure_list_dialog.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QDir>
#include <QGuiApplication>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace kirune {

FailureListDialog::FailureListDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("failureList"));
    setWindowTitle(QStringLiteral("処理できなかったファイル"));
    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("failureRows"));
    list_->setHeaderLabels({QStringLiteral("ファイル"), QStringLiteral("内容")});
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->header()->setStretchLastSection(true);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setText(QStringLiteral("閉じる"));
    QPushButton* copy = buttons->addButton(QStringLiteral("コピー"), QDialogButtonBox::ActionRole);
    copy->setObjectName(QStringLiteral("copyFailures"));
    connect(copy, &QPushButton::clicked, this, [this] { QGuiApplication::clipboard()->setText(asText()); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);

    auto* column = new QVBoxLayout(this);
    column->addWidget(list_);
    column->addWidget(buttons);
    resize(640, 320);
}

void FailureListDialog::setFailures(const std::vector<FailedFile>& failures) {
    list_->clear();
    for (const FailedFile& f : failures) {
        auto* row = new QTreeWidgetItem(list_, {QDir::toNativeSeparators(f.path), f.text});
        row->setToolTip(0, row->text(0));
        row->setToolTip(1, f.text);
    }
    list_->resizeColumnToContents(0);
    setWindowTitle(QStringLiteral("処理できなかったファイル (%1 件)").arg(failures.size()));
}

QString FailureListDialog::asText() const {
    QString text;
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = list_->topLevelItem(i);
        text += row->text(0) + u'\t' + row->text(1) + u'\n';
    }
    return text;
}

}  // namespace kirune
