#pragma once
// The batch: up to 1000 paths, sorted by name, dispatched one after another by
// what their names contain.

#include <cstddef>
#include <string>
#include <vector>

namespace kirune {

class BatchUi;

inline constexpr std::size_t kMaxBatchFiles = 1000;

class FileList {
public:
    // Adds a path; returns false (and adds nothing) once the list is full.
    bool add(std::string path);
    std::size_t count() const { return paths_.size(); }
    const std::string& operator[](std::size_t i) const { return paths_[i]; }
    std::vector<std::string>& paths() { return paths_; }
    const std::vector<std::string>& paths() const { return paths_; }
    void clear() { paths_.clear(); }

private:
    std::vector<std::string> paths_;
};

// ASCII letters lowered byte by byte; other bytes (cp932 or UTF-8) untouched.
std::string asciiLower(std::string text);

// Exchange sort, ascending under case-insensitive byte comparison. Names that
// compare equal are never swapped with each other, though other swaps may
// still reorder them.
void sortFileList(FileList& list);

enum class FileKind { Unsupported, CompressTiff, CompressBmp, Expand };

// The dispatch rule: ".rpx" anywhere in the lower-cased path expands (tested
// first), ".tif" compresses a TIFF, ".bmp" compresses a BMP.
FileKind classifyPath(const std::string& path);

// "%sファイル形式には対応していません" with the lower-cased text after the last '.'.
std::string unsupportedMessage(const std::string& path);

// What the batch hands each supported file to.
class FileProcessor {
public:
    virtual ~FileProcessor() = default;
    // Works on one file; returns false when it failed (and has reported it).
    virtual bool processOneFile(const std::string& path, FileKind kind, BatchUi& ui) = 0;
};

struct BatchResult {
    int succeeded = 0;
    int failed = 0;       // refused or failed files, unsupported names included
};

// Runs the batch in list order with the "%d / %d" counter and path display;
// the caller sorts first. Never stops early.
BatchResult runBatch(const FileList& list, FileProcessor& processor, BatchUi& ui);

}  // namespace kirune
