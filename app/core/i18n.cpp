#include "app/core/i18n.h"

#include <unistd.h>

#include <atomic>
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
    ::bind_textdomain_codeset(kTextDomain, "UTF-8");
    gLocaleTexts.store(true);
}

bool localeTexts() { return gLocaleTexts.load(); }

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
