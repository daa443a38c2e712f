#include "container/input_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "container/messages.h"
#include "kirune/Error.h"

namespace kirune {

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

const char* fileKindName(mode_t mode) {
    if (S_ISDIR(mode)) return "folder";
    if (S_ISFIFO(mode)) return "FIFO";
    if (S_ISCHR(mode)) return "character device";
    if (S_ISBLK(mode)) return "block device";
    if (S_ISSOCK(mode)) return "socket";
    return "not a regular file";
}

std::optional<struct stat> pathStatus(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
    return st;
}

UniqueFd openRegularFile(const std::string& path, struct stat& st) {
    const auto cannotOpen = [&](int err) {
        throw Error(kCannotOpenInputText, systemReason(err));
    };
    const auto notRegular = [&](mode_t mode) {
        throw Error(kNotRegularFileText, fileKindName(mode));
    };
    // Looked at first: opening a device can act on it, and a FIFO without a
    // writer blocks in open().
    if (::stat(path.c_str(), &st) != 0) cannotOpen(errno);
    if (!S_ISREG(st.st_mode)) notRegular(st.st_mode);
    // O_NONBLOCK in case the name was swapped for something else meanwhile.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) cannotOpen(errno);
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0) cannotOpen(errno);
    if (!S_ISREG(opened.st_mode)) notRegular(opened.st_mode);
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) cannotOpen(errno);
    st = opened;
    return fd;
}

}  // namespace kirune
