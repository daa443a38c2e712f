#include "container/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <random>
#include <system_error>
#include <utility>

#include "container/messages.h"
#include "kirune/Error.h"

namespace kirune {

namespace {

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

std::mt19937_64 seededRng() {
    std::random_device seed;
    return std::mt19937_64((uint64_t{seed()} << 32) ^ seed());
}

// Gives an unnamed file the name `path`; EEXIST when the name is taken.
int linkUnnamed(int fd, const std::string& path) {
    // AT_EMPTY_PATH needs a capability most users lack on kernels before 6.10;
    // /proc does not.
    if (::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT && errno != EPERM) return errno;
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

// So that the new name survives a power cut as the data does. Advice only.
void syncFolder(const std::string& folder) noexcept {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

}  // namespace

SourceAttributes sourceAttributesOf(const struct stat& st) {
    return {static_cast<mode_t>(st.st_mode & 0777), st.st_atim, st.st_mtim};
}

OutputFile::OutputFile(std::string finalPath, OutputOptions options)
    : finalPath_(std::move(finalPath)), options_(std::move(options)) {
    if (finalPath_.empty() || finalPath_.back() == '/') fail(kCannotCreateOutputText, EISDIR);
    const std::size_t slash = finalPath_.rfind('/');
    folder_ = slash == std::string::npos ? "." : slash == 0 ? "/" : finalPath_.substr(0, slash);
    const std::size_t nameLength = finalPath_.size() - (slash == std::string::npos ? 0 : slash + 1);
    long nameMax = ::pathconf(folder_.c_str(), _PC_NAME_MAX);
    if (nameMax <= 0) nameMax = NAME_MAX;
    if (nameLength > static_cast<std::size_t>(nameMax) || finalPath_.size() >= PATH_MAX)
        fail(kCannotCreateOutputText, ENAMETOOLONG);

    // What the final name holds now: found before any work, not at the end.
    struct stat st {};
    if (::lstat(finalPath_.c_str(), &st) == 0) {
        struct stat target {};
        if (S_ISDIR(st.st_mode) || (S_ISLNK(st.st_mode) && ::stat(finalPath_.c_str(), &target) == 0 &&
                                    S_ISDIR(target.st_mode)))
            fail(kCannotCreateOutputText, EISDIR);
        if (!options_.replaceExisting) throw Error(kOutputExistsText, finalPath_);
    } else if (errno != ENOENT) {
        fail(kCannotCreateOutputText, errno);
    }

    // With a source, private until its own bits are applied below.
    const mode_t mode = options_.source ? 0600 : 0666;
    int fd = -1;
    int err = 0;
    if (options_.unnamedTemporary) {
        fd = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
        err = errno;
        // Kernels and file systems without O_TMPFILE say so in these ways.
        if (fd < 0 && err != EOPNOTSUPP && err != EISDIR && err != EINVAL) fail(kCannotCreateOutputText, err);
    }
    if (fd < 0) {
        std::mt19937_64 rng = seededRng();
        for (int attempt = 0; attempt < 64 && fd < 0; ++attempt) {
            tempPath_ = temporaryName(finalPath_, rng);
            fd = ::open(tempPath_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            err = errno;
            if (fd < 0 && err != EEXIST) break;
        }
        if (fd < 0) {
            tempPath_.clear();
            fail(kCannotCreateOutputText, err);
        }
    }
    // Best effort: where the file system keeps no permissions, 0600 stays.
    if (options_.source) (void)::fchmod(fd, options_.source->mode & 0777);
    stream_ = ::fdopen(fd, "w+b");
    if (!stream_) {
        err = errno;
        ::close(fd);
        if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
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
        std::fclose(stream_);  // an unnamed file is gone with its last descriptor
        stream_ = nullptr;
    }
    if (!tempPath_.empty()) {
        ::unlink(tempPath_.c_str());
        tempPath_.clear();
    }
}

void OutputFile::fail(const char* what, int err) const {
    std::string detail = finalPath_;
    if (err != 0) detail += " (" + systemReason(err) + ")";
    throw Error(what, detail);
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

int OutputFile::placeFile() {
    const int fd = fileno(stream_);
    if (tempPath_.empty()) {
        if (!options_.replaceExisting) return linkUnnamed(fd, finalPath_);
        // No call links over an existing name: link beside it, then rename.
        std::mt19937_64 rng = seededRng();
        for (int attempt = 0; attempt < 64; ++attempt) {
            const std::string hidden = temporaryName(finalPath_, rng);
            const int err = linkUnnamed(fd, hidden);
            if (err == EEXIST) continue;
            if (err) return err;
            if (::rename(hidden.c_str(), finalPath_.c_str()) == 0) return 0;
            const int renameErr = errno;
            ::unlink(hidden.c_str());
            return renameErr;
        }
        return EEXIST;
    }
    if (options_.replaceExisting) {
        if (::rename(tempPath_.c_str(), finalPath_.c_str()) != 0) return errno;
    } else if (::renameat2(AT_FDCWD, tempPath_.c_str(), AT_FDCWD, finalPath_.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) return errno;
        // File systems without the flag: a hard link never replaces either.
        if (::link(tempPath_.c_str(), finalPath_.c_str()) != 0) return errno;
        ::unlink(tempPath_.c_str());
    }
    tempPath_.clear();
    return 0;
}

void OutputFile::commit() {
    if (committed_) return;
    if (!stream_) fail(kCannotWriteOutputText, EBADF);
    int err = 0;
    if (std::fflush(stream_) != 0 || std::ferror(stream_)) err = errno ? errno : EIO;
    if (!err && options_.source) {
        const struct timespec times[2] = {options_.source->accessed, options_.source->modified};
        (void)::futimens(fileno(stream_), times);  // best effort, as the permissions
    }
    if (!err && ::fsync(fileno(stream_)) != 0 && errno != EINVAL) err = errno;
    if (!err) err = placeFile();
    if (err) {
        discard();
        if (err == EEXIST && !options_.replaceExisting)
            throw Error(kOutputExistsText, finalPath_);
        fail(kCannotWriteOutputText, err);
    }
    // The data is synced and in place; closing cannot lose it any more.
    std::fclose(stream_);
    stream_ = nullptr;
    syncFolder(folder_);
    committed_ = true;
}

}  // namespace kirune
