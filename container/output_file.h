#pragma once
// An output written under a temporary name in its target folder and renamed
// over the final name only once it is complete. Until commit() succeeds the
// final name is never touched, so a failed run leaves no half-written file and
// never destroys an existing one; destruction without commit removes the
// temporary file.

#include <cstdint>
#include <cstdio>
#include <string>

namespace kirune {

class OutputFile {
public:
    // Creates the temporary file beside `finalPath`; throws Error naming
    // `finalPath` when the folder does not allow it.
    explicit OutputFile(std::string finalPath);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Buffered stream on the temporary file (binary, read and write).
    std::FILE* stream() const { return stream_; }
    // Its descriptor, for writers that do their own I/O; do not mix with
    // stream() without fflush in between.
    int fd() const;
    const std::string& finalPath() const { return finalPath_; }
    const std::string& tempPath() const { return tempPath_; }

    // Throws Error naming the output when the stream has seen a write error.
    void checkStream() const;
    // Starts writing out what the file holds so far without waiting for it,
    // so that the sync in commit() has little left to wait for. Advice only:
    // errors surface at commit().
    void startWriteback() noexcept;
    // Cuts the file to `size` bytes (flushing the stream first).
    void truncate(int64_t size);
    // Flushes, syncs, closes and renames over the final name. On failure the
    // temporary file is removed and Error is thrown.
    void commit();
    bool committed() const { return committed_; }

    // "出力ファイル…" message with the output's path and the system's reason.
    [[noreturn]] void fail(const char* what, int err) const;

private:
    void discard() noexcept;

    std::string finalPath_;
    std::string tempPath_;
    std::FILE* stream_ = nullptr;
    bool committed_ = false;
};

}  // namespace kirune
