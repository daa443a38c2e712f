#pragma once
// The batch: paths (the dialog takes up to 1000), sorted by name, dispatched one after another by
// their final extension.

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "kirune/Error.h"

namespace kirune {

class BatchUi;

inline constexpr std::size_t kMaxBatchFiles = 1000;

class FileList {
public:
    // The dialog takes at most kMaxBatchFiles; rpx passes no limit.
    explicit FileList(std::size_t limit = kMaxBatchFiles) : limit_(limit) {}
    // Adds a path; returns false (and adds nothing) once the list is full.
    bool add(std::string path);
    std::size_t count() const { return paths_.size(); }
    const std::string& operator[](std::size_t i) const { return paths_[i]; }
    std::vector<std::string>& paths() { return paths_; }
    const std::vector<std::string>& paths() const { return paths_; }
    void clear() { paths_.clear(); }

private:
    std::size_t limit_;
    std::vector<std::string> paths_;
};

// ASCII letters lowered byte by byte; other bytes (cp932 or UTF-8) untouched.
std::string asciiLower(std::string text);

// Exchange sort, ascending under case-insensitive byte comparison. Names that
// compare equal are never swapped with each other, though other swaps may
// still reorder them.
void sortFileList(FileList& list);

enum class FileKind { Unsupported, CompressTiff, CompressBmp, CompressPng, Expand };

// The dispatch rule, by the file name's final extension whatever its case:
// ".rpx" expands, ".tif" or ".tiff" compresses a TIFF, ".bmp" a BMP, ".png" a
// PNG. Folder
// names and earlier dots never count ("b.rpx.tif" is a TIFF).
FileKind classifyPath(const std::string& path);

// The refusal of a name no rule takes. {1} is the lower-cased text after the
// path's last '.', which the Japanese names even when that '.' is in a folder's
// name and the file has no extension.
inline constexpr const char* kUnsupportedExtensionText =
    messageId("unsupported extension .{1}: rpx reads .tif, .tiff, .bmp, .png and .rpx");
inline constexpr const char* kNoExtensionText =
    messageId("no file extension: rpx reads .tif, .tiff, .bmp, .png and .rpx");
UserMessage unsupportedMessage(const std::string& path);

// What one file's work needs, read cheaply from its header.
struct FileFootprint {
    int strips = 0;               // 0: unknown; the file then runs alone on every thread
    uint64_t bytesPerThread = 0;  // working memory each of its threads holds
};

// What a batch does with a file whose output name is already taken by a file
// that the batch itself did not write (an earlier run's, or another program's).
enum class ExistingOutputs {
    Refuse,   // the file fails, naming the output (rpx without -f)
    Replace,  // the output is replaced (rpx -f)
    Skip,     // the file counts as skipped (rpx --skip-existing, the dialog's unattended mode)
    Ask,      // the window is asked, file by file (the dialog)
};

// What the batch decided for one file before its work.
struct FileTask {
    std::string path;
    FileKind kind = FileKind::Unsupported;
    int threads = 0;               // 0: as the processor's settings say
    bool replaceExisting = false;  // an existing file of the output's name may be replaced
};

enum class FileOutcome { Failed, Done, Skipped };

// What the batch hands each supported file to.
class FileProcessor {
public:
    virtual ~FileProcessor() = default;
    // Works on one file; returns false when it failed (and has reported it).
    virtual bool processOneFile(const std::string& path, FileKind kind, BatchUi& ui) = 0;
    // The file that processOneFile would write for `path`; empty when none.
    virtual std::string outputPath(const std::string& path, FileKind kind) const { return {}; }

    // Files side by side: the threads a batch may spread its files over (1:
    // one file after another), what a file will need, and processOneFile on
    // at most `threads` threads, which may run for several files at once.
    virtual int batchThreads() const { return 1; }
    virtual FileFootprint footprint(const std::string& path, FileKind kind) const { return {}; }
    virtual bool processOneFileOn(const std::string& path, FileKind kind, BatchUi& ui, int threads) {
        return processOneFile(path, kind, ui);
    }

    // The batch's rule for outputs that exist already.
    virtual ExistingOutputs existingOutputs() const { return ExistingOutputs::Refuse; }
    // What the batch calls: processOneFileOn with the batch's decision on the
    // output. Skipped: the output appeared meanwhile and the rule is to skip.
    virtual FileOutcome processFile(const FileTask& task, BatchUi& ui) {
        return processOneFileOn(task.path, task.kind, ui, task.threads) ? FileOutcome::Done : FileOutcome::Failed;
    }
};

struct BatchResult {
    int succeeded = 0;
    int failed = 0;       // refused or failed files, unsupported names included
    int skipped = 0;      // left alone because their output already existed
    int notStarted = 0;   // left when the batch was stopped
    bool stopped = false;
};

// The batch's own checks of an output's name; the detail names the output and
// the other file in parentheses.
inline constexpr const char* kOutputIsInputText =
    messageId("the output would replace an input file of this batch");
inline constexpr const char* kOutputTakenText =
    messageId("the output would replace the output of an earlier file of this batch");

// Runs the batch in list order with the "%d / %d" counter and path display;
// when the processor has several threads, files with fewer strips than
// threads run side by side, yet the window sees every file's messages,
// counter and path in list order, as if they had run one after another;
// the caller sorts first. Goes on past every failure; stops, leaving the rest,
// only once `stop` is requested. No file's output may replace an input of the
// batch (whatever name reaches it: files are compared by device and inode) or
// an output that an earlier file of the batch has written: such a file fails
// with a message naming the other one. An output that exists otherwise is
// dealt with by the processor's existingOutputs() rule; under Skip a file
// whose output exists is done before any of these checks, and under Ask the
// window is asked in the file's turn.
BatchResult runBatch(const FileList& list, FileProcessor& processor, BatchUi& ui, std::stop_token stop = {});

}  // namespace kirune
