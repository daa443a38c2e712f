#include "scratch_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "container/messages.h"
#include "kirune/Error.h"

namespace kirune::api {

MemoryFile::MemoryFile(const char* label) : fd_(::memfd_create(label, MFD_CLOEXEC)) {
    if (fd_.get() < 0) throw Error("cannot create a file in memory", systemReason(errno));
}

std::string MemoryFile::path() const { return "/proc/self/fd/" + std::to_string(fd_.get()); }

void MemoryFile::write(const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_.get(), p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            throw Error(n < 0 && errno == ENOMEM ? kOutOfMemoryText : "cannot fill a file in memory",
                        n < 0 ? systemReason(errno) : std::string());
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

ScratchFolder::ScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kirune-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data())) throw Error("cannot create a temporary folder", systemReason(errno));
    path_ = name.data();
}

ScratchFolder::~ScratchFolder() {
    // Nothing here allocates: a destructor must not throw.
    if (DIR* d = ::opendir(path_.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                ::unlinkat(::dirfd(d), e->d_name, 0);
        ::closedir(d);
    }
    ::rmdir(path_.c_str());
}

std::string readWholeFile(const std::string& path) {
    struct stat st {};
    const UniqueFd fd = openRegularFile(path, st);
    std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw Error(kInputReadText, n < 0 ? systemReason(errno) : path);
        done += static_cast<std::size_t>(n);
    }
    return bytes;
}

}  // namespace kirune::api
