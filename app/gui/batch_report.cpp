#include "app/gui/batch_report.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <cmath>

#include "app/core/drivers.h"
#include "app/gui/batch_bridge.h"

namespace kirune {

void BatchSummary::addDone(const FileReport& report) {
    inputBytes_ += report.inputBytes;
    outputBytes_ += report.outputBytes;
    const bool expanded = report.kind == FileKind::Expand;
    const uint64_t image = expanded ? report.outputBytes : report.inputBytes;
    const uint64_t container = expanded ? report.inputBytes : report.outputBytes;
    if (container > 0) {
        ratioSum_ += static_cast<double>(image) / static_cast<double>(container);
        ++ratios_;
    }
    // Lossless coding has no finite figure to average.
    if (!expanded && report.psnr > 0.0 && std::isfinite(report.psnr)) {
        psnrSum_ += report.psnr;
        ++psnrs_;
    }
    if (!report.output.empty()) outputs_.append(pathToQString(report.output));
}

QString BatchSummary::outputFolder() const {
    if (outputs_.isEmpty()) return {};
    QString common = QFileInfo(outputs_.front()).absolutePath();
    for (const QString& out : outputs_) {
        const QString folder = QFileInfo(out).absolutePath();
        // Climb until `common` is `folder` or one of its ancestors.
        while (folder != common && !folder.startsWith(common.endsWith(u'/') ? common : common + u'/')) {
            const QString up = QFileInfo(common).absolutePath();
            if (up == common) break;  // the root
            common = up;
        }
    }
    return common;
}

QString summaryCountsText(const BatchSummary& summary) {
    // A folder without images, say: "0 件完了" would read as if something went wrong.
    if (summary.done() == 0 && summary.failed() == 0 && summary.skipped() == 0)
        return QStringLiteral("処理するファイルはありませんでした");
    QStringList parts;
    // When every file was skipped, nothing may read as done.
    if (summary.done() > 0 || summary.skipped() == 0) parts.append(QStringLiteral("%1 件完了").arg(summary.done()));
    if (summary.skipped() > 0) parts.append(QStringLiteral("%1 件スキップ").arg(summary.skipped()));
    if (summary.failed() > 0) parts.append(QStringLiteral("%1 件失敗").arg(summary.failed()));
    return parts.join(QStringLiteral("、"));
}

QString summarySizesText(const BatchSummary& summary) {
    if (summary.done() == 0 || summary.outputBytes() == 0) return {};
    const QLocale c = QLocale::c();
    const auto size = [&c](uint64_t bytes) {
        return c.formattedDataSize(static_cast<qint64>(bytes), 1, QLocale::DataSizeTraditionalFormat);
    };
    QString text = size(summary.inputBytes()) + QStringLiteral(" → ") + size(summary.outputBytes());
    if (summary.meanRatio() > 0.0) text += QStringLiteral("  平均 %1:1").arg(summary.meanRatio(), 0, 'f', 1);
    if (summary.meanPsnr() > 0.0) text += QStringLiteral("  約 %1 dB").arg(summary.meanPsnr(), 0, 'f', 1);
    return text;
}

}  // namespace kirune
