#pragma once
// libpng reports an error by a longjmp to the jump buffer set last. Every
// libpng call that can fail runs through pngGuarded: its own frame holds the
// setjmp (GCC never inlines a function that calls setjmp), and the call is a
// lambda capturing by reference, so the jump skips no C++ destructor.

#include <png.h>

#include <csetjmp>

namespace kirune {

// False when libpng raised an error during `call`; its text is wherever the
// png handle's error function put it.
template <class Call>
bool pngGuarded(png_structp png, const Call& call) {
    if (setjmp(png_jmpbuf(png))) return false;
    call();
    return true;
}

}  // namespace kirune
