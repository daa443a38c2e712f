#pragma once
// Texts as a terminal or a JSON reader takes them: UTF-8.

#include <string>

namespace kirune::cli {

bool isUtf8(const std::string& text);

// UTF-8 as it is; anything else read as cp932, the code page the container's
// texts were first written in (bytes that do not convert show as \xNN).
std::string displayText(const std::string& text);

// A JSON string literal of displayText(text), quotes included.
std::string jsonString(const std::string& text);

// Columns `utf8` takes on a terminal: East Asian wide characters count two.
std::size_t displayWidth(const std::string& utf8);

// The end of `utf8` that fits in `columns`, starting with "..." when cut.
std::string fitFromEnd(const std::string& utf8, std::size_t columns);

}  // namespace kirune::cli
