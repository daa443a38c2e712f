#pragma once
// What one batch did, for the window to tell once it has ended: files done
// and failed, sizes, the mean ratio and quality, which files failed and why,
// and where the outputs went.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace kirune {

struct FileReport;

struct FailedFile {
    QString path;  // empty when the failure concerned no file
    QString text;
};

// Filled on the batch's worker, read by the window after the worker has joined.
class BatchSummary {
public:
    void addDone(const FileReport& report);
    void addFailure(const QString& path, const QString& text) { failures_.push_back({path, text}); }
    // The batch's own counts, which include files that failed before any driver ran.
    void setCounts(int done, int failed) { done_ = done, failed_ = failed; }

    int done() const { return done_; }
    int failed() const { return failed_; }
    const std::vector<FailedFile>& failures() const { return failures_; }
    uint64_t inputBytes() const { return inputBytes_; }
    uint64_t outputBytes() const { return outputBytes_; }
    // Mean over the files done of image bytes per container byte (a compression's
    // input, an expansion's output); 0 without any.
    double meanRatio() const { return ratios_ ? ratioSum_ / ratios_ : 0.0; }
    // Mean PSNR of the compressions that measured one; 0 without any.
    double meanPsnr() const { return psnrs_ ? psnrSum_ / psnrs_ : 0.0; }
    // The deepest folder holding every output; empty when nothing was written.
    QString outputFolder() const;

private:
    int done_ = 0;
    int failed_ = 0;
    uint64_t inputBytes_ = 0;
    uint64_t outputBytes_ = 0;
    double ratioSum_ = 0.0;
    int ratios_ = 0;
    double psnrSum_ = 0.0;
    int psnrs_ = 0;
    QStringList outputs_;
    std::vector<FailedFile> failures_;
};

// "3 件完了、1 件失敗" ("3 件完了" without failures): the first line of the report;
// a batch that found no file says so.
QString summaryCountsText(const BatchSummary& summary);
// "4.0 MB → 1.0 MB  平均 4.0:1  約 49.6 dB": the second; empty when nothing was done.
QString summarySizesText(const BatchSummary& summary);

}  // namespace kirune
