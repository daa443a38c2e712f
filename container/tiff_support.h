#pragma once
// libtiff handles with their messages kept per handle: libtiff's process-wide
// error and warning handlers are never involved, so two files (or threads)
// never see each other's errors. Internal to the container library.

#include <tiffio.h>

#include <memory>
#include <string>

namespace kirune {

// The last error libtiff reported for one handle. Must outlive the handle.
struct TiffMessages {
    std::string lastError;
    // " (reason)" when libtiff gave one, else "".
    std::string reason() const { return lastError.empty() ? std::string() : " (" + lastError + ")"; }
};

struct TiffCloser {
    void operator()(TIFF* t) const noexcept { TIFFClose(t); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

// Opens `path` for reading; null when libtiff refuses it (messages says why).
TiffHandle openTiffForReading(const std::string& path, TiffMessages& messages);

// Opens a TIFF for writing on a descriptor the caller owns and keeps open
// until after the handle is closed; `name` only labels messages.
TiffHandle openTiffForWriting(int fd, const std::string& name, TiffMessages& messages);

}  // namespace kirune
