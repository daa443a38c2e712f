#pragma once
// Lists of paths given with --files-from and --files0-from.

#include <cstddef>
#include <string>
#include <vector>

namespace kirune::cli {

struct PathList {
    std::vector<std::string> paths;
    // Entries that cannot be paths, as "LIST:LINE: why": a newline list's
    // line holding a NUL. Each is refused; the others still run.
    std::vector<std::string> refused;
    // Set when the list is not to be used at all: it cannot be read (the
    // system's reason) or, a usage error, a line ends in a carriage return.
    std::string unreadable;
    std::string usageError;
};

// The entries of `listPath` ("-": standard input) separated by '\n' or, with
// `nulSeparated`, by NUL bytes; blank entries are left out.
PathList readPathList(const std::string& listPath, bool nulSeparated);

}  // namespace kirune::cli
