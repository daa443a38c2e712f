#pragma once
// Opening inputs: regular files only, examined before they are opened and
// opened without blocking, so that a FIFO, device or socket named like an
// image is refused at once instead of hanging the batch or touching a device.

#include <sys/stat.h>

#include <optional>
#include <string>
#include <utility>

namespace kirune {

// A file as the system knows it, whatever name reaches it.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
inline FileIdentity identityOf(const struct stat& st) { return {st.st_dev, st.st_ino}; }

// An owned descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(std::exchange(o.fd_, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    // Gives up ownership.
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// Opens `path` for reading. Refuses with Error: kCannotOpenInputText and the
// system's reason when it cannot be opened, kNotRegularFileText and its kind
// when it is a folder, FIFO, device or socket. `st` receives its status.
UniqueFd openRegularFile(const std::string& path, struct stat& st);

// The status of what `path` leads to now, without opening it; nullopt when
// it leads nowhere (or is empty).
std::optional<struct stat> pathStatus(const std::string& path);

// "folder", "FIFO", ... for a status that is not a regular file.
const char* fileKindName(mode_t mode);

}  // namespace kirune
