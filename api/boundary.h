#pragma once
// The C boundary: every exported function runs its body through guarded(),
// which turns whatever is thrown into an error code and the handle's
// last-error text, so that no C++ exception ever reaches a C caller.

#include <exception>
#include <new>
#include <string>

#include "kirune/Error.h"
#include "kirune/kirune.h"

namespace kirune::api {

// The code a failure of the C++ libraries maps to, by the message it carries.
int codeOf(const Error& e) noexcept;

// Records `text` as the handle's last error; memory running out while doing
// so leaves the text empty rather than throwing.
int fail(std::string& lastError, int code, const char* text) noexcept;

template <class F>
int guarded(std::string& lastError, F&& body) noexcept {
    try {
        lastError.clear();
        return body();
    } catch (const Error& e) {
        return fail(lastError, codeOf(e), e.what());
    } catch (const std::bad_alloc&) {
        return fail(lastError, KIRUNE_ERROR_OUT_OF_MEMORY, kOutOfMemoryText);
    } catch (const std::exception& e) {
        return fail(lastError, KIRUNE_ERROR_FAILED, e.what());
    } catch (...) {
        return fail(lastError, KIRUNE_ERROR_FAILED, "unknown failure");
    }
}

// An argument the caller got wrong: thrown inside guarded().
struct InvalidArgument : Error {
    using Error::Error;
};

// Bytes per row of `width` RGB pixels of `bits`, or throws InvalidArgument.
std::size_t rowBytes(uint32_t width, int bits);

}  // namespace kirune::api
