#pragma once
// The one error type of the project. Whatever fails while one file is being
// worked on is thrown as an Error carrying the text the user is shown; the
// batch reports it and goes on with the next file.

#include <stdexcept>
#include <string>

namespace kirune {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Work abandoned because the user asked to stop (a signal): no output was
// written and the batch ends.
class Interrupted : public Error {
public:
    using Error::Error;
};

// Texts shared by several subsystems.
inline constexpr const char* kDamagedFileText = "ファイルが壊れています";
inline constexpr const char* kOutOfMemoryText = "Out of Memory";
inline constexpr const char* kInterruptedText = "中断しました（出力は書き出していません）";

// Damaged data, found anywhere: kDamagedFileText, with what was found after
// ": " when that helps.
[[noreturn]] inline void throwDamaged(const std::string& detail = {}) {
    throw Error(detail.empty() ? std::string(kDamagedFileText) : std::string(kDamagedFileText) + ": " + detail);
}

}  // namespace kirune
