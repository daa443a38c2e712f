#pragma once
// What the user is told about a failure, whichever layer caught it, in the
// program's language: Japanese, as the dialog shows it whatever the locale,
// or the locale's when main() asked for it (useLocaleTexts in i18n.h).

#include <exception>
#include <string>

#include "kirune/Error.h"

namespace kirune {

// The text of `failure`, a standard exception; anything else is rethrown.
// kOutOfMemoryText when memory ran out.
std::string failureText(std::exception_ptr failure);

// `message` in the program's language.
std::string messageText(const UserMessage& message);
// `message` in Japanese, from the catalogue built into the program.
std::string japaneseText(const UserMessage& message);

}  // namespace kirune
