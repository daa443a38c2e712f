#pragma once
// Files of a batch side by side: when a file has fewer strips than there are
// threads, the threads it leaves idle take the next files, within a memory
// budget shared by the files at work. What the window sees stays in list
// order; the bytes written do not change.

#include <cstddef>
#include <optional>
#include <stop_token>
#include <string>

#include "app/core/batch.h"
#include "container/input_file.h"

namespace kirune {

// What the files at work together may hold beyond the first of them, which
// always runs.
inline constexpr uint64_t kSideBySideMemory = uint64_t{1} << 30;

// runBatch: with one thread, one file after another; with several, files side
// by side with the same results, messages and counter, in the same order.
BatchResult runFilesSideBySide(const FileList& list, FileProcessor& processor, BatchUi& ui, std::stop_token stop);

// What `path` leads to now (symbolic links followed); none when nothing.
std::optional<FileIdentity> identityOfPath(const std::string& path);

}  // namespace kirune
