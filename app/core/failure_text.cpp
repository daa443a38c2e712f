#include "app/core/failure_text.h"

#include <new>

#include "kirune/Error.h"

namespace kirune {

std::string failureText(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        return kOutOfMemoryText;
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace kirune
