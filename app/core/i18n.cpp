#include "app/core/i18n.h"

#include <iconv.h>
#include <langinfo.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kirune {

// po/ja.po compiled by msgfmt (a GNU .mo image), generated into the build.
extern const unsigned char kJapaneseCatalogue[];
extern const std::size_t kJapaneseCatalogueSize;

namespace {

// Set once by main() before any thread starts; read by every message after.
std::atomic<bool> gLocaleTexts{false};

const char* nonEmptyVariable(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

// ../share/locale beside the executable, as the build tree and an install lay
// it out; empty when the executable cannot be found.
std::string localeDirBesideProgram() {
    std::string exe(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= exe.size()) return {};
    exe.resize(static_cast<std::size_t>(n));
    const std::size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return {};
    return exe.substr(0, slash) + "/../share/locale";
}

}  // namespace

void useLocaleTexts() {
    if (!std::setlocale(LC_CTYPE, "") || !std::setlocale(LC_MESSAGES, "")) {
        // The locale asked for is not generated here (a fresh system has only
        // C and C.UTF-8). gettext still finds a language named in LANGUAGE
        // under any locale but "C", so name the one asked for there.
        std::setlocale(LC_CTYPE, "C.UTF-8");
        std::setlocale(LC_MESSAGES, "C.UTF-8");
        const char* asked = nonEmptyVariable("LC_ALL");
        if (!asked) asked = nonEmptyVariable("LC_MESSAGES");
        if (!asked) asked = nonEmptyVariable("LANG");
        const bool named = asked && std::strcmp(asked, "C") != 0 && std::strcmp(asked, "POSIX") != 0;
        if (named && !nonEmptyVariable("LANGUAGE")) ::setenv("LANGUAGE", asked, 1);
    }
    if (const std::string dir = localeDirBesideProgram(); !dir.empty()) ::bindtextdomain(kTextDomain, dir.c_str());
    // The terminal's character set: ja_JP.eucJP gets EUC-JP, not UTF-8 bytes.
    ::bind_textdomain_codeset(kTextDomain, ::nl_langinfo(CODESET));
    gLocaleTexts.store(true);
}

bool localeTexts() { return gLocaleTexts.load(); }

bool localeIsUtf8() {
    const char* codeset = ::nl_langinfo(CODESET);
    return !localeTexts() || std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0;
}

namespace {

// `text` from one character set to another; a character that does not
// convert becomes '?'.
std::string convert(std::string_view text, const char* to, const char* from) {
    const iconv_t cd = ::iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text);
    std::string out;
    char* src = const_cast<char*>(text.data());
    std::size_t left = text.size();
    while (left > 0) {
        char buffer[256];
        char* dst = buffer;
        std::size_t room = sizeof buffer;
        const std::size_t rc = ::iconv(cd, &src, &left, &dst, &room);
        out.append(buffer, static_cast<std::size_t>(dst - buffer));
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            out += '?';
            // Past the character that did not convert (a UTF-8 one whole).
            std::size_t skip = 1;
            if (std::strcmp(from, "UTF-8") == 0)
                while (skip < left && (static_cast<unsigned char>(src[skip]) & 0xC0) == 0x80) ++skip;
            src += skip;
            left -= skip;
        }
    }
    ::iconv_close(cd);
    return out;
}

}  // namespace

std::string localeText(std::string_view utf8) {
    return localeIsUtf8() ? std::string(utf8) : convert(utf8, ::nl_langinfo(CODESET), "UTF-8");
}

std::string utf8Text(std::string_view local) {
    return localeIsUtf8() ? std::string(local) : convert(local, "UTF-8", ::nl_langinfo(CODESET));
}

const char* builtInJapanese(std::string_view english) {
    if (english.empty()) return nullptr;  // "" holds the catalogue's header, not a text
    const unsigned char* mo = kJapaneseCatalogue;
    const std::size_t size = kJapaneseCatalogueSize;
    // msgfmt writes the machine's byte order; the magic number tells which.
    const auto word = [&](uint64_t at, bool swapped) -> uint32_t {
        if (at + 4 > size) return 0;
        uint32_t v;
        std::memcpy(&v, mo + at, 4);
        return swapped ? __builtin_bswap32(v) : v;
    };
    const bool swapped = word(0, false) != 0x950412deu;
    if (word(0, swapped) != 0x950412deu) return nullptr;
    const uint32_t count = word(8, swapped), originals = word(12, swapped), translations = word(16, swapped);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t length = word(originals + 8ull * i, swapped), at = word(originals + 8ull * i + 4, swapped);
        if (uint64_t{at} + length >= size) return nullptr;
        if (std::string_view(reinterpret_cast<const char*>(mo + at), length) != english) continue;
        const uint32_t tlength = word(translations + 8ull * i, swapped);
        const uint32_t tat = word(translations + 8ull * i + 4, swapped);
        // Each string is followed by a NUL, which the bound includes.
        if (uint64_t{tat} + tlength >= size || mo[tat + tlength] != 0) return nullptr;
        return reinterpret_cast<const char*>(mo + tat);
    }
    return nullptr;
}

}  // namespace kirune
