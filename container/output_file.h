#pragma once
// An output written into a temporary file in its target folder and put in
// place only once it is complete and synced. Where the file system allows,
// the temporary file has no name at all (O_TMPFILE), so nothing of it can
// stay behind, not even when the process is killed; elsewhere it has a hidden
// name that is removed whenever the output is abandoned. Until commit()
// succeeds the final name is never touched, so a failed run leaves no
// half-written file and never destroys an existing one.

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace kirune {

// What an output takes from its input, as gzip does: the permission bits
// (never more open than the input) and the access and modification times.
struct SourceAttributes {
    mode_t mode = 0600;
    struct timespec accessed {};
    struct timespec modified {};
};
SourceAttributes sourceAttributesOf(const struct stat& st);

struct OutputOptions {
    // False: an existing file of the final name is refused when the output is
    // created, and again, atomically, when it is put in place.
    bool replaceExisting = true;
    // None: permissions 0666 less the umask, times of the writing.
    std::optional<SourceAttributes> source;
    // Tests turn this off to exercise the named temporary file.
    bool unnamedTemporary = true;
};

class OutputFile {
public:
    // Checks the final name before any work (not a folder, not too long, not
    // an existing file unless replacing) and creates the temporary file;
    // throws Error naming `finalPath` otherwise.
    explicit OutputFile(std::string finalPath, OutputOptions options = {});
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Buffered stream on the temporary file (binary, read and write).
    std::FILE* stream() const { return stream_; }
    // Its descriptor, for writers that do their own I/O; do not mix with
    // stream() without fflush in between.
    int fd() const;
    const std::string& finalPath() const { return finalPath_; }
    // The hidden name of a named temporary file; empty for an unnamed one.
    const std::string& tempPath() const { return tempPath_; }

    // Throws Error naming the output when the stream has seen a write error.
    void checkStream() const;
    // Starts writing out what the file holds so far without waiting for it,
    // so that the sync in commit() has little left to wait for. Advice only:
    // errors surface at commit().
    void startWriteback() noexcept;
    // Cuts the file to `size` bytes (flushing the stream first).
    void truncate(int64_t size);
    // Flushes, syncs, applies the source's attributes and puts the file in
    // place under its final name. On failure the temporary file is removed
    // and Error is thrown.
    void commit();
    bool committed() const { return committed_; }

    // "出力ファイル…" message with the output's path and the system's reason.
    [[noreturn]] void fail(const char* what, int err) const;

private:
    void discard() noexcept;
    int placeFile();  // errno of the failure, 0 when in place

    std::string finalPath_;
    std::string folder_;  // "." for a bare name
    OutputOptions options_;
    std::string tempPath_;
    std::FILE* stream_ = nullptr;
    bool committed_ = false;
};

}  // namespace kirune
