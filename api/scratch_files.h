#pragma once
// Files the C API hands to the C++ libraries, which read and write by path:
// a container or an image held in memory becomes an anonymous in-memory file
// reached through /proc/self/fd, and an output bound for memory is written
// into a private folder first.

#include <cstdint>
#include <string>

#include "container/input_file.h"

namespace kirune::api {

// An anonymous file in memory (memfd), gone with its last descriptor.
class MemoryFile {
public:
    explicit MemoryFile(const char* label);
    int fd() const { return fd_.get(); }
    // A name that opens this file (a new open file description each time).
    std::string path() const;
    void write(const void* data, std::size_t size);

private:
    UniqueFd fd_;
};

// A folder of its own under $TMPDIR (or /tmp), removed with what it holds.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The bytes of the regular file at `path` (a few, from a folder of ours).
std::string readWholeFile(const std::string& path);

}  // namespace kirune::api
