#include "container/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <system_error>
#include <utility>

#include "container/messages.h"
#include "kirune/Error.h"

namespace kirune {

namespace {

std::string systemReason(int err) { return std::error_code(err, std::generic_category()).message(); }

// Hidden name in the same folder, so the final rename never crosses a file
// system and never replaces anything but the final name.
std::string temporaryName(const std::string& finalPath, std::mt19937_64& rng) {
    const std::size_t slash = finalPath.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : finalPath.substr(0, slash + 1);
    // Shortened so that a final name near the 255-byte limit still has room.
    const std::string base = (slash == std::string::npos ? finalPath : finalPath.substr(slash + 1)).substr(0, 200);
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string suffix(8, 'x');
    for (char& c : suffix) c = kAlphabet[rng() % (sizeof kAlphabet - 1)];
    return dir + "." + base + "." + suffix + ".part";
}

}  // namespace

OutputFile::OutputFile(std::string finalPath) : finalPath_(std::move(finalPath)) {
    if (finalPath_.empty() || finalPath_.back() == '/') fail(kCannotCreateOutputText, EISDIR);
    std::random_device seed;
    std::mt19937_64 rng((uint64_t{seed()} << 32) ^ seed());
    int fd = -1;
    int err = 0;
    for (int attempt = 0; attempt < 64 && fd < 0; ++attempt) {
        tempPath_ = temporaryName(finalPath_, rng);
        // 0666 lets the umask decide, as for any file the user creates.
        fd = ::open(tempPath_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        err = errno;
        if (fd < 0 && err != EEXIST) break;
    }
    if (fd < 0) {
        tempPath_.clear();
        fail(kCannotCreateOutputText, err);
    }
    stream_ = ::fdopen(fd, "w+b");
    if (!stream_) {
        err = errno;
        ::close(fd);
        ::unlink(tempPath_.c_str());
        tempPath_.clear();
        fail(kCannotCreateOutputText, err);
    }
}

OutputFile::~OutputFile() {
    if (!committed_) discard();
}

int OutputFile::fd() const { return stream_ ? ::fileno(stream_) : -1; }

void OutputFile::discard() noexcept {
    if (stream_) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    if (!tempPath_.empty()) {
        ::unlink(tempPath_.c_str());
        tempPath_.clear();
    }
}

void OutputFile::fail(const char* what, int err) const {
    std::string text = std::string(what) + ": " + finalPath_;
    if (err != 0) text += " (" + systemReason(err) + ")";
    throw Error(text);
}

void OutputFile::checkStream() const {
    if (!stream_) fail(kCannotWriteOutputText, EBADF);
    if (std::ferror(stream_)) fail(kCannotWriteOutputText, errno ? errno : EIO);
}

void OutputFile::startWriteback() noexcept {
    if (!stream_ || std::fflush(stream_) != 0) return;
    ::sync_file_range(fileno(stream_), 0, 0, SYNC_FILE_RANGE_WRITE);
}

void OutputFile::truncate(int64_t size) {
    if (!stream_ || std::fflush(stream_) != 0) fail(kCannotWriteOutputText, errno);
    if (::ftruncate(fileno(stream_), static_cast<off_t>(size)) != 0) fail(kCannotWriteOutputText, errno);
}

void OutputFile::commit() {
    if (committed_) return;
    if (!stream_) fail(kCannotWriteOutputText, EBADF);
    int err = 0;
    if (std::fflush(stream_) != 0 || std::ferror(stream_)) err = errno ? errno : EIO;
    if (!err && ::fsync(fileno(stream_)) != 0 && errno != EINVAL) err = errno;
    const int closed = std::fclose(stream_);
    stream_ = nullptr;
    if (!err && closed != 0) err = errno ? errno : EIO;
    if (!err && ::rename(tempPath_.c_str(), finalPath_.c_str()) != 0) err = errno;
    if (err) {
        discard();
        fail(kCannotWriteOutputText, err);
    }
    tempPath_.clear();
    committed_ = true;
}

}  // namespace kirune
