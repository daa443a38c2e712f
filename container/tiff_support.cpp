#include "container/tiff_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace kirune {

namespace {

// libtiff's own allocations for one handle (strip and tile buffers, tag
// arrays) stay below this, so a damaged file cannot make it ask for gigabytes.
constexpr tmsize_t kTiffMaxSingleAlloc = tmsize_t{1} << 30;

int recordError(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    auto* messages = static_cast<TiffMessages*>(user);
    messages->lastError = module && *module ? std::string(module) + ": " + text : std::string(text);
    return 1;  // handled: the process-wide handler is not called
}

int recordWarning(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    auto* messages = static_cast<TiffMessages*>(user);
    std::string warning = module && *module ? std::string(module) + ": " + text : std::string(text);
    for (const std::string& w : messages->warnings)
        if (w == warning) return 1;
    if (messages->warnings.size() < TiffMessages::kMaxWarnings)
        messages->warnings.push_back(std::move(warning));
    else
        ++messages->moreWarnings;
    return 1;
}

struct OptionsDeleter {
    void operator()(TIFFOpenOptions* o) const noexcept { TIFFOpenOptionsFree(o); }
};

std::unique_ptr<TIFFOpenOptions, OptionsDeleter> makeOptions(TiffMessages& messages) {
    std::unique_ptr<TIFFOpenOptions, OptionsDeleter> opts(TIFFOpenOptionsAlloc());
    if (!opts) return opts;
    TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), recordError, &messages);
    TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), recordWarning, &messages);
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), kTiffMaxSingleAlloc);
    return opts;
}

// I/O on a descriptor owned by the caller (the temporary output file).
TiffSink& sinkOf(thandle_t h) { return *static_cast<TiffSink*>(h); }
int fdOf(thandle_t h) { return sinkOf(h).fd; }

tmsize_t fdRead(thandle_t h, void* buf, tmsize_t n) {
    tmsize_t done = 0;
    while (done < n) {
        const ssize_t k = ::read(fdOf(h), static_cast<char*>(buf) + done, static_cast<size_t>(n - done));
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) break;
        done += k;
    }
    return done;
}

tmsize_t fdWrite(thandle_t h, void* buf, tmsize_t n) {
    tmsize_t done = 0;
    while (done < n) {
        const ssize_t k = ::write(fdOf(h), static_cast<const char*>(buf) + done, static_cast<size_t>(n - done));
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            sinkOf(h).lastErrno = k < 0 ? errno : ENOSPC;
            return -1;
        }
        done += k;
    }
    const off_t at = ::lseek(fdOf(h), 0, SEEK_CUR);
    if (at > 0) sinkOf(h).end = std::max(sinkOf(h).end, static_cast<uint64_t>(at));
    return done;
}

toff_t fdSeek(thandle_t h, toff_t off, int whence) {
    const off_t r = ::lseek(fdOf(h), static_cast<off_t>(off), whence);
    return r < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(r);
}

int fdClose(thandle_t) { return 0; }

toff_t fdSize(thandle_t h) {
    struct stat st {};
    return ::fstat(fdOf(h), &st) == 0 ? static_cast<toff_t>(st.st_size) : 0;
}

int fdMap(thandle_t, void**, toff_t*) { return 0; }
void fdUnmap(thandle_t, void*, toff_t) {}

}  // namespace

TiffHandle openTiffForReading(int fd, const std::string& name, TiffMessages& messages) {
    auto opts = makeOptions(messages);
    if (!opts) {
        ::close(fd);
        return nullptr;
    }
    // "m": read, not map, the file: a mapped input counts its whole size in the
    // resident set, once more for every worker handle that touches it.
    // libtiff closes the descriptor with the handle, but not when it refuses it.
    TIFF* tif = TIFFFdOpenExt(fd, name.c_str(), "rm", opts.get());
    if (!tif) ::close(fd);
    return TiffHandle(tif);
}

TiffHandle openTiffForWriting(TiffSink& sink, const std::string& name, TiffMessages& messages, bool bigTiff) {
    auto opts = makeOptions(messages);
    if (!opts) return nullptr;
    return TiffHandle(TIFFClientOpenExt(name.c_str(), bigTiff ? "w8" : "w", static_cast<thandle_t>(&sink), fdRead, fdWrite, fdSeek,
                                        fdClose, fdSize, fdMap, fdUnmap, opts.get()));
}

}  // namespace kirune
