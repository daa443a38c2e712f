#include "text_encoding.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace kirune::cli {

namespace {

std::string cp932ToUtf8(const std::string& in) {
    std::string out;
    iconv_t cd = ::iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return in;
    char* src = const_cast<char*>(in.data());
    std::size_t left = in.size();
    while (left > 0) {
        char buf[256];
        char* dst = buf;
        std::size_t room = sizeof buf;
        const std::size_t rc = ::iconv(cd, &src, &left, &dst, &room);
        out.append(buf, static_cast<std::size_t>(dst - buf));
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned char>(*src));
            out += esc;
            ++src;
            --left;
        }
    }
    ::iconv_close(cd);
    return out;
}

// Length of the UTF-8 sequence starting with `c`, 0 when `c` cannot start one.
int sequenceLength(unsigned char c) {
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c < 0xE0) return 2;
    if ((c & 0xF0) == 0xE0) return 3;
    if (c >= 0xF0 && c < 0xF5) return 4;
    return 0;
}

uint32_t codePoint(const std::string& s, std::size_t i, int len) {
    uint32_t cp = static_cast<unsigned char>(s[i]) & (len == 1 ? 0x7F : 0xFF >> (len + 1));
    for (int k = 1; k < len; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return cp;
}

bool wide(uint32_t cp) {
    return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
           (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
           (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

// Columns of the character at `i` (of `len` bytes); control characters and
// bytes that are not UTF-8 take one.
std::size_t charWidth(const std::string& s, std::size_t i, int len) {
    return len > 1 && wide(codePoint(s, i, len)) ? 2 : 1;
}

int lengthAt(const std::string& s, std::size_t i) {
    const int len = sequenceLength(static_cast<unsigned char>(s[i]));
    return len == 0 || s.size() - i < static_cast<std::size_t>(len) ? 1 : len;
}

}  // namespace

bool isUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const int len = sequenceLength(static_cast<unsigned char>(text[i]));
        if (len == 0 || text.size() - i < static_cast<std::size_t>(len)) return false;
        for (int k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += static_cast<std::size_t>(len);
    }
    return true;
}

std::string displayText(const std::string& text) { return isUtf8(text) ? text : cp932ToUtf8(text); }

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : displayText(text)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::size_t displayWidth(const std::string& utf8) {
    std::size_t columns = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        const int len = lengthAt(utf8, i);
        columns += charWidth(utf8, i, len);
        i += static_cast<std::size_t>(len);
    }
    return columns;
}

std::string fitFromEnd(const std::string& utf8, std::size_t columns) {
    if (displayWidth(utf8) <= columns) return utf8;
    if (columns < 4) return std::string(columns, '.');
    // Character starts, so that the cut never splits one.
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < utf8.size(); i += static_cast<std::size_t>(lengthAt(utf8, i))) starts.push_back(i);
    std::size_t used = 3, from = utf8.size();
    for (auto it = starts.rbegin(); it != starts.rend(); ++it) {
        const std::size_t w = charWidth(utf8, *it, lengthAt(utf8, *it));
        if (used + w > columns) break;
        used += w;
        from = *it;
    }
    return "..." + utf8.substr(from);
}

}  // namespace kirune::cli
