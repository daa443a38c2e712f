#include "boundary.h"

#include <cstdlib>

#include "app/version.h"
#include "container/messages.h"

namespace kirune::api {

int codeOf(const Error& e) noexcept {
    if (dynamic_cast<const InvalidArgument*>(&e)) return KIRUNE_ERROR_INVALID_ARGUMENT;
    if (dynamic_cast<const Interrupted*>(&e)) return KIRUNE_ERROR_ABORTED;
    const std::string& t = e.message().text;
    if (t == kBadMagicText || t == kUnsupportedVersionText) return KIRUNE_ERROR_NOT_RPX;
    if (t == kDamagedFileText || t == kDamagedHeaderText || t == kTruncatedHeaderText ||
        t == kTooShortForStripsText || t == kTruncatedStripText)
        return KIRUNE_ERROR_DAMAGED;
    if (t == kCannotOpenInputText || t == kNotRegularFileText || t == kInputReadText ||
        t == kCannotCreateOutputText || t == kCannotWriteOutputText)
        return KIRUNE_ERROR_IO;
    if (t == kOutputExistsText) return KIRUNE_ERROR_OUTPUT_EXISTS;
    if (t == kOutOfMemoryText) return KIRUNE_ERROR_OUT_OF_MEMORY;
    return KIRUNE_ERROR_FAILED;
}

int fail(std::string& lastError, int code, const char* text) noexcept {
    try {
        lastError = text;
    } catch (...) {
        lastError.clear();
    }
    return code;
}

std::size_t rowBytes(uint32_t width, int bits) {
    if (bits != 8 && bits != 16) throw InvalidArgument("bits must be 8 or 16");
    if (width == 0) throw InvalidArgument("the picture is empty");
    return std::size_t{width} * 3 * static_cast<std::size_t>(bits / 8);
}

}  // namespace kirune::api

using namespace kirune::api;

extern "C" {

KIRUNE_API unsigned kirune_version_number(void) { return KIRUNE_VERSION_NUMBER; }

KIRUNE_API const char* kirune_version_string(void) {
    static const std::string text = [] {
        return std::to_string(KIRUNE_VERSION_MAJOR) + "." + std::to_string(KIRUNE_VERSION_MINOR) + "." +
               std::to_string(KIRUNE_VERSION_PATCH) + " (kirune " + kirune::kVersionText + ")";
    }();
    return text.c_str();
}

KIRUNE_API const char* kirune_error_message(int code) {
    switch (code) {
    case KIRUNE_OK: return "no error";
    case KIRUNE_ERROR_INVALID_ARGUMENT: return "invalid argument";
    case KIRUNE_ERROR_NO_PICTURE: return "no container is open";
    case KIRUNE_ERROR_IO: return "a file cannot be opened, read or written";
    case KIRUNE_ERROR_NOT_RPX: return "not an .rpx container";
    case KIRUNE_ERROR_DAMAGED: return "the file is damaged";
    case KIRUNE_ERROR_TOO_LARGE: return "the picture is over the limit";
    case KIRUNE_ERROR_OUT_OF_MEMORY: return "out of memory";
    case KIRUNE_ERROR_OUTPUT_EXISTS: return "the output file already exists";
    case KIRUNE_ERROR_ABORTED: return "stopped by the caller";
    case KIRUNE_ERROR_FAILED: return "failed";
    default: return "unknown error code";
    }
}

KIRUNE_API void kirune_free(void* memory) { std::free(memory); }

}  // extern "C"
