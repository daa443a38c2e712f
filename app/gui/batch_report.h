#pragma once
// What one batch did, for the window to tell once it has ended: files done,
// skipped and failed, sizes, the mean ratio and quality, which files failed and why,
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

// A file left alone because its output already existed.
struct SkippedFile {
    QString path;
    QString output;
};

// Filled on the batch's worker, read by the window after the worker has joined.
class BatchSummary {
public:
    void addDone(const FileReport& report);
    void addFailure(const QString& path, const QString& text) { failures_.push_back({path, text}); }
    void addSkipped(const QString& path, const QString& output) { skippedFiles_.push_back({path, output}); }
    // The batch's own counts, which include files that failed before any driver ran.
    void setCounts(int done, int failed, int skipped = 0) { done_ = done, failed_ = failed, skipped_ = skipped; }

    int done() const { return done_; }
    int failed() const { return failed_; }
    int skipped() const { return skipped_; }
    const std::vector<FailedFile>& failures() const { return failures_; }
    const std::vector<SkippedFile>& skippedFiles() const { return skippedFiles_; }
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
    int skipped_ = 0;
    uint64_t inputBytes_ = 0;
    uint64_t outputBytes_ = 0;
    double ratioSum_ = 0.0;
    int ratios_ = 0;
    double psnrSum_ = 0.0;
    int psnrs_ = 0;
    QStringList outputs_;
    std::vector<FailedFile> failures_;
    std::vector<SkippedFile> skippedFiles_;
};

// "3 件完了、2 件スキップ、1 件失敗" (parts that are 0 left out, but "0 件完了" when
// nothing was skipped either): the first line of the report; a batch that found
// no file says so.
QString summaryCountsText(const BatchSummary& summary);
// "4.0 MB → 1.0 MB  平均 4.0:1  約 49.6 dB": the second; empty when nothing was done.
QString summarySizesText(const BatchSummary& summary);

}  // namespace kirune
