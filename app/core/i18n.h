#pragma once
// Translation of the texts rpx shows. Message ids are the English texts; the
// catalogue of the "kirune" domain gives other languages. The locale is chosen
// once at start-up by the program, before any thread runs.

#include <libintl.h>

namespace kirune {

inline constexpr const char* kTextDomain = "kirune";

// The text for `msgid` in the language chosen at start-up.
inline const char* tr(const char* msgid) { return ::dgettext(kTextDomain, msgid); }

}  // namespace kirune

// Marks a message id for extraction where it is translated later.
#define N_(text) text
