#include "path_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "app/core/i18n.h"
#include "kirune/Error.h"

namespace kirune::cli {

namespace {

// The whole list; false with errno when it cannot be read.
bool readAll(const std::string& listPath, std::string& text) {
    const bool standardInput = listPath == "-";
    const int fd = standardInput ? STDIN_FILENO : ::open(listPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        ok = false;
    }
    char buffer[65536];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0) break;
        else if (errno != EINTR) ok = false;
    }
    const int saved = errno;
    if (!standardInput) ::close(fd);
    errno = saved;
    return ok;
}

std::string where(const std::string& listPath, std::size_t line) {
    return (listPath == "-" ? std::string(tr("standard input")) : listPath) + ":" + std::to_string(line);
}

}  // namespace

PathList readPathList(const std::string& listPath, bool nulSeparated) {
    PathList list;
    std::string text;
    if (!readAll(listPath, text)) {
        list.unreadable = systemReason(errno);  // English in every locale, as every detail
        return list;
    }
    const char separator = nulSeparated ? '\0' : '\n';
    std::size_t line = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find(separator, at);
        if (end == std::string::npos) end = text.size();
        std::string entry = text.substr(at, end - at);
        at = end + 1;
        ++line;
        if (entry.empty()) continue;
        if (nulSeparated) {
            list.paths.push_back(std::move(entry));
            continue;
        }
        // A NUL-separated list read by lines would run its first path under the last one's name.
        if (entry.find('\0') != std::string::npos) {
            list.refused.push_back(where(listPath, line) + ": " +
                                   tr("the line holds a NUL byte (a NUL-separated list wants --files0-from or --null)"));
            continue;
        }
        if (entry.back() == '\r') {
            list.usageError = where(listPath, line) + ": " +
                              tr("the line ends in a carriage return (convert the list with dos2unix)");
            return list;
        }
        list.paths.push_back(std::move(entry));
    }
    return list;
}

}  // namespace kirune::cli
