#pragma once
// Texts as a terminal or a JSON reader takes them: UTF-8.

#include <string>

namespace kirune::cli {

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool isUtf8(const std::string& text);

// A file name for the terminal: UTF-8 (in a locale of another character set,
// that set's characters) as it is; every byte that is not part of a
// character, and control characters, as \xNN, and a backslash as \\, so
// that no two names look alike.
std::string displayName(const std::string& name);

// A JSON string literal, quotes included, of a file name or message: UTF-8
// as it is and each byte that is not UTF-8 as \udcXX (XX the byte), as
// Python's surrogateescape reads it back.
std::string jsonString(const std::string& text);

// A container's text (the format's texts are cp932) for the terminal, in the
// locale's character set: UTF-8 as it is, else read as cp932 when all of it
// is cp932, else escaped as displayName does.
std::string displayText(const std::string& text);
// The same as a JSON string literal; bytes that are neither as \udcXX.
std::string jsonText(const std::string& text);

// Columns `utf8` takes on a terminal: East Asian wide characters count two.
std::size_t displayWidth(const std::string& utf8);

// The end of `utf8` that fits in `columns`, starting with "..." when cut.
std::string fitFromEnd(const std::string& utf8, std::size_t columns);

}  // namespace kirune::cli
