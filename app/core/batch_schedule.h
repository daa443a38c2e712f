#pragma once
// Files of a batch side by side: when a file has fewer strips than there are
// threads, the threads it leaves idle take the next files, within a memory
// budget shared by the files at work. What the window sees stays in list
// order; the bytes written do not change.

#include <cstddef>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "app/core/batch.h"
#include "container/input_file.h"

namespace kirune {

// What the files at work together may hold beyond the first of them, which
// always runs.
inline constexpr uint64_t kSideBySideMemory = uint64_t{1} << 30;

// runBatch when the processor has several threads: the same results, messages
// and counter, in the same order.
BatchResult runFilesSideBySide(const FileList& list, FileProcessor& processor, BatchUi& ui, std::stop_token stop);

// The batch's checks, shared by both ways of running it.
std::optional<FileIdentity> identityOfPath(const std::string& path);
// Why the output `output` of a file must not be written, or nothing when it may:
// compared with the batch's inputs (found before any work) and the outputs
// its earlier files wrote, by what the name leads to now.
std::optional<UserMessage> outputConflict(const std::string& output, const FileList& list,
                                          const std::vector<std::optional<FileIdentity>>& inputs,
                                          const std::vector<std::pair<FileIdentity, std::size_t>>& written);

}  // namespace kirune
