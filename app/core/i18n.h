#pragma once
// Translation of the texts rpx shows. Message ids are the English texts; the
// catalogue of the "kirune" domain (po/) gives other languages. The locale is
// chosen once at start-up by the program, before any thread runs.

#include <libintl.h>

#include <string>
#include <string_view>

namespace kirune {

inline constexpr const char* kTextDomain = "kirune";

// The text for `msgid` in the language chosen at start-up.
inline const char* tr(const char* msgid) { return ::dgettext(kTextDomain, msgid); }

// Start-up of a program whose texts follow the user's locale (rpx): the
// messages' language and character set are taken from the environment (the
// other categories stay "C", so numbers and listings read the same in every
// locale), the catalogues from ../share/locale beside the executable, in the
// locale's character set (UTF-8 when the locale is not generated on the
// system, which still selects its language). Without this call the
// program's messages are the dialog's Japanese. Call once from main() before
// any thread starts.
void useLocaleTexts();
// Whether useLocaleTexts() was called.
bool localeTexts();

// A UTF-8 text of the program's own (not from the catalogue) in the
// character set of the locale's texts, as the catalogue's come; characters
// it lacks as '?'. And back: a text in that character set as UTF-8, for
// records that are UTF-8 whatever the locale.
// Whether texts are written in UTF-8: the locale's character set, or no
// useLocaleTexts() call.
bool localeIsUtf8();
std::string localeText(std::string_view utf8);
std::string utf8Text(std::string_view local);

// The Japanese for the English text `english` from the catalogue built into
// the program (po/ja.po), or nullptr when it has none.
const char* builtInJapanese(std::string_view english);

}  // namespace kirune

// Marks a message id for extraction where it is translated later.
#define N_(text) text
