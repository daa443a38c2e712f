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

void FailureListDialog::setFailures(const std::vector<FailedFile>& failures,
                                    const std::vector<SkippedFile>& skipped) {
    list_->clear();
    const auto addRow = [this](const QString& path, const QString& text) {
        auto* row = new QTreeWidgetItem(list_, {QDir::toNativeSeparators(path), text});
        row->setToolTip(0, row->text(0));
        row->setToolTip(1, text);
    };
    for (const FailedFile& f : failures) addRow(f.path, f.text);
    if (!skipped.empty()) {
        auto* heading = new QTreeWidgetItem(list_, {QStringLiteral("出力先が既にあるためスキップしたファイル (%1 件)")
                                                        .arg(skipped.size())});
        heading->setFirstColumnSpanned(true);
        heading->setFlags(Qt::ItemIsEnabled);
        QFont bold = heading->font(0);
        bold.setBold(true);
        heading->setFont(0, bold);
        for (const SkippedFile& f : skipped)
            addRow(f.path, QStringLiteral("出力先が既にあります: ") + QDir::toNativeSeparators(f.output));
    }
    list_->resizeColumnToContents(0);
    setWindowTitle(skipped.empty() ? QStringLiteral("処理できなかったファイル (%1 件)").arg(failures.size())
                                   : QStringLiteral("処理できなかったファイル (%1 件)・スキップしたファイル (%2 件)")
                                         .arg(failures.size())
                                         .arg(skipped.size()));
}

QString FailureListDialog::asText() const {
    QString text;
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = list_->topLevelItem(i);
        text += row->isFirstColumnSpanned() ? row->text(0) + u'\n' : row->text(0) + u'\t' + row->text(1) + u'\n';
    }
    return text;
}

}  // namespace kirune
