#pragma once
// The one error type of the project. Whatever fails while one file is being
// worked on is thrown as an Error carrying the message the user is shown; the
// batch reports it and goes on with the next file. The libraries know English
// only: the program renders the message in its language (app/core/failure_text.h).

#include <cstring>
#include <locale.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kirune {

// Marks the English text of a message the user is shown, so that the
// catalogue (po/) extracts it: each such text needs its Japanese there.
constexpr const char* messageId(const char* english) { return english; }

// A message kept apart from its language. `text` is English and is also the
// id its translations are found by; {1}, {2}... in it, or in a translation,
// stand for `args` (a translation may leave some out). `detail` (a path, the
// system's or libtiff's reason) follows after ": " in every language.
struct UserMessage {
    std::string text;
    std::vector<std::string> args = {};
    std::string detail = {};
};

// `text`, the message's own or a translation of it, with the arguments put in
// and the detail after ": ".
inline std::string composeMessage(std::string_view text, const UserMessage& m) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool slot = i + 2 < text.size() && text[i] == '{' && text[i + 1] >= '1' && text[i + 1] <= '9' &&
                          text[i + 2] == '}';
        const std::size_t n = slot ? static_cast<std::size_t>(text[i + 1] - '1') : m.args.size();
        if (n < m.args.size()) {
            out += m.args[n];
            i += 2;
        } else {
            out += text[i];
        }
    }
    return m.detail.empty() ? out : out + ": " + m.detail;
}

class Error : public std::runtime_error {
public:
    // what() is the message in English.
    explicit Error(UserMessage message)
        : std::runtime_error(composeMessage(message.text, message)),
          message_(std::make_shared<const UserMessage>(std::move(message))) {}
    explicit Error(const std::string& text) : Error(UserMessage{text}) {}
    explicit Error(const char* text) : Error(UserMessage{text}) {}
    Error(std::string text, std::string detail) : Error(UserMessage{std::move(text), {}, std::move(detail)}) {}

    const UserMessage& message() const noexcept { return *message_; }

private:
    std::shared_ptr<const UserMessage> message_;  // shared: copying an exception must not throw
};

// Work abandoned because the user asked to stop (a signal): no output was
// written and the batch ends.
class Interrupted : public Error {
public:
    using Error::Error;
};

// Texts shared by several subsystems.
inline constexpr const char* kDamagedFileText = messageId("the file is damaged");
inline constexpr const char* kOutOfMemoryText = messageId("out of memory");
inline constexpr const char* kInterruptedText = messageId("interrupted: no output was written");

// The system's reason for the error number `err`, in English whatever the
// locale: like every detail, it reads the same in each language.
inline std::string systemReason(int err) {
    const locale_t c = ::newlocale(LC_ALL_MASK, "C", locale_t{});
    std::string reason = c ? ::strerror_l(err, c) : "error " + std::to_string(err);
    if (c) ::freelocale(c);
    return reason;
}

// Damaged data, found anywhere: kDamagedFileText, with what was found after
// ": " when that helps. Kept out of line: the decoder's loops call it.
[[noreturn, gnu::cold, gnu::noinline]] inline void throwDamaged(const std::string& detail = {}) {
    throw Error(kDamagedFileText, detail);
}

}  // namespace kirune
