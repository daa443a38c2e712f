#pragma once
// libtiff handles with their messages kept per handle: libtiff's process-wide
// error and warning handlers are never involved, so two files (or threads)
// never see each other's errors. Internal to the container library.

#include <tiffio.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kirune {

// What libtiff reported for one handle: the last error, and its warnings
// (inputs it repaired on the fly, tags it ignored), each once. Must outlive
// the handle.
struct TiffMessages {
    static constexpr std::size_t kMaxWarnings = 20;
    std::string lastError;
    std::vector<std::string> warnings;
    std::size_t moreWarnings = 0;  // beyond kMaxWarnings, not kept
    // " (reason)" when libtiff gave one, else "".
    std::string reason() const { return lastError.empty() ? std::string() : " (" + lastError + ")"; }
};

struct TiffCloser {
    void operator()(TIFF* t) const noexcept { TIFFClose(t); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

// Opens a TIFF for reading on `fd`, which is closed with the handle, or at
// once when libtiff refuses the file; null when libtiff refuses it (messages says why).
TiffHandle openTiffForReading(int fd, const std::string& name, TiffMessages& messages);

// The descriptor a TIFF is written to, owned by the caller and kept open
// until after the handle is closed, and the system's reason for the last
// failed write (ENOSPC for a full disk), which libtiff does not keep.
struct TiffSink {
    int fd = -1;
    int lastErrno = 0;
    uint64_t end = 0;  // the furthest byte written, to check the file's size against
};

// Opens a TIFF for writing on `sink`, as a BigTIFF with `bigTiff`; `name`
// only labels messages.
TiffHandle openTiffForWriting(TiffSink& sink, const std::string& name, TiffMessages& messages, bool bigTiff = false);

}  // namespace kirune
