#pragma once
// What the user is told about a failure, whichever layer caught it: the
// error's own text, or kOutOfMemoryText when memory ran out.

#include <exception>
#include <string>

namespace kirune {

// The text of `failure`, a standard exception; anything else is rethrown.
std::string failureText(std::exception_ptr failure);

}  // namespace kirune
