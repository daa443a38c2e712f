#include "text_encoding.h"

#include <iconv.h>

#include <cerrno>
#include <cwchar>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "app/core/i18n.h"

namespace kirune::cli {

namespace {

// The whole of `in` as cp932, in UTF-8; nullopt when any of it is not cp932.
std::optional<std::string> cp932ToUtf8(const std::string& in) {
    iconv_t cd = ::iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string out;
    char* src = const_cast<char*>(in.data());
    std::size_t left = in.size();
    bool whole = true;
    while (left > 0 && whole) {
        char buf[256];
        char* dst = buf;
        std::size_t room = sizeof buf;
        const std::size_t rc = ::iconv(cd, &src, &left, &dst, &room);
        out.append(buf, static_cast<std::size_t>(dst - buf));
        whole = rc != static_cast<std::size_t>(-1) || errno == E2BIG;
    }
    ::iconv_close(cd);
    if (!whole || !isUtf8(out)) return std::nullopt;
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

// Bytes of the well-formed UTF-8 character at `i`, 0 when none starts there.
std::size_t validAt(const std::string& s, std::size_t i) {
    const int len = sequenceLength(static_cast<unsigned char>(s[i]));
    if (len == 0 || s.size() - i < static_cast<std::size_t>(len)) return 0;
    for (int k = 1; k < len; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    static constexpr uint32_t kShortest[5] = {0, 0, 0x80, 0x800, 0x10000};
    const uint32_t cp = codePoint(s, i, len);
    if (cp < kShortest[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return static_cast<std::size_t>(len);
}

// `text` with each character kept by `keep` as it is and every other byte
// (part of no well-formed character, or refused) written by `escape`.
template <class Keep, class Escape>
std::string escaped(const std::string& text, Keep keep, Escape escape) {
    std::string out;
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t len = validAt(text, i);
        if (len > 0 && keep(text, i, len)) {
            out.append(text, i, len);
            i += len;
        } else {
            escape(out, static_cast<unsigned char>(text[i]));
            ++i;
        }
    }
    return out;
}

bool printable(const std::string& s, std::size_t i, std::size_t len) {
    const auto c = static_cast<unsigned char>(s[i]);
    return len > 1 || (c >= 0x20 && c != 0x7F);
}

void hexEscape(std::string& out, unsigned char c) {
    char esc[8];
    std::snprintf(esc, sizeof esc, "\\x%02X", c);
    out += esc;
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
        const std::size_t len = validAt(text, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

namespace {

// A name in a locale whose character set is not UTF-8 (EUC-JP, Shift_JIS):
// the characters of that set as they are, every other byte escaped.
std::string displayNameInLocale(const std::string& name) {
    std::string out;
    std::mbstate_t state{};
    for (std::size_t i = 0; i < name.size();) {
        wchar_t wc = 0;
        const std::size_t len = std::mbrtowc(&wc, name.data() + i, name.size() - i, &state);
        if (len == 0 || len > name.size() - i || wc < 0x20 || wc == 0x7F || (len == 1 && name[i] == '\\')) {
            if (name[i] == '\\') out += "\\\\";
            else hexEscape(out, static_cast<unsigned char>(name[i]));
            state = std::mbstate_t{};
            ++i;
            continue;
        }
        out.append(name, i, len);
        i += len;
    }
    return out;
}

std::string utf8DisplayName(const std::string& name) {
    return escaped(
        name, [](const std::string& s, std::size_t i, std::size_t len) { return printable(s, i, len) && s[i] != '\\'; },
        [](std::string& out, unsigned char c) {
            if (c == '\\') out += "\\\\";
            else hexEscape(out, c);
        });
}

}  // namespace

std::string displayName(const std::string& name) {
    return localeIsUtf8() ? utf8DisplayName(name) : displayNameInLocale(name);
}

std::string jsonString(const std::string& text) {
    const std::string body = escaped(
        text,
        [](const std::string& s, std::size_t i, std::size_t len) {
            return printable(s, i, len) && s[i] != '"' && s[i] != '\\';
        },
        [](std::string& out, unsigned char c) {
            char esc[8];
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
                return;
            }
            // Control characters as \u00XX; bytes that are not UTF-8 as
            // the lone surrogates surrogateescape maps them to.
            std::snprintf(esc, sizeof esc, "\\u%04x", c < 0x80 ? c : 0xDC00u + c);
            out += esc;
        });
    return "\"" + body + "\"";
}

std::string displayText(const std::string& text) {
    if (isUtf8(text)) return localeText(utf8DisplayName(text));
    if (const auto converted = cp932ToUtf8(text)) return localeText(utf8DisplayName(*converted));
    return utf8DisplayName(text);
}

std::string jsonText(const std::string& text) {
    if (!isUtf8(text))
        if (const auto converted = cp932ToUtf8(text)) return jsonString(*converted);
    return jsonString(text);
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
