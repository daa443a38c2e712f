#include "container/tiff_support.h"

#include <sys/stat.h>
#include <unistd.h>

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

int ignoreWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct OptionsDeleter {
    void operator()(TIFFOpenOptions* o) const noexcept { TIFFOpenOptionsFree(o); }
};

std::unique_ptr<TIFFOpenOptions, OptionsDeleter> makeOptions(TiffMessages& messages) {
    std::unique_ptr<TIFFOpenOptions, OptionsDeleter> opts(TIFFOpenOptionsAlloc());
    if (!opts) return opts;
    TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), recordError, &messages);
    TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), ignoreWarning, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), kTiffMaxSingleAlloc);
    return opts;
}

// I/O on a descriptor owned by the caller (the temporary output file).
int fdOf(thandle_t h) { return static_cast<int>(reinterpret_cast<intptr_t>(h)); }

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
        if (k <= 0) return -1;
        done += k;
    }
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

TiffHandle openTiffForReading(const std::string& path, TiffMessages& messages) {
    auto opts = makeOptions(messages);
    if (!opts) return nullptr;
    // "m": read, not map, the file: a mapped input counts its whole size in the
    // resident set, once more for every worker handle that touches it.
    return TiffHandle(TIFFOpenExt(path.c_str(), "rm", opts.get()));
}

TiffHandle openTiffForWriting(int fd, const std::string& name, TiffMessages& messages) {
    auto opts = makeOptions(messages);
    if (!opts) return nullptr;
    return TiffHandle(TIFFClientOpenExt(name.c_str(), "w", reinterpret_cast<thandle_t>(intptr_t{fd}), fdRead,
                                        fdWrite, fdSeek, fdClose, fdSize, fdMap, fdUnmap, opts.get()));
}

}  // namespace kirune
