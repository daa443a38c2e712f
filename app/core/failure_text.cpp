#include "app/core/failure_text.h"

#include <new>

#include "app/core/i18n.h"

namespace kirune {

std::string japaneseText(const UserMessage& message) {
    const char* japanese = builtInJapanese(message.text);
    return composeMessage(japanese ? japanese : message.text, message);
}

std::string messageText(const UserMessage& message) {
    if (!localeTexts()) return japaneseText(message);
    return composeMessage(tr(message.text.c_str()), message);
}

std::string failureText(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        return messageText(UserMessage{kOutOfMemoryText});
    } catch (const Error& e) {
        return messageText(e.message());
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace kirune
