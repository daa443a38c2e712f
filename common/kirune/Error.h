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

// Texts shared by several subsystems.
inline constexpr const char* kDamagedFileText = "ファイルが壊れています";
inline constexpr const char* kOutOfMemoryText = "Out of Memory";

}  // namespace kirune
