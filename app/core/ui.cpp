#include "app/core/ui.h"

#include <cstdio>

namespace kirune {

void BatchUi::showWarning(const std::string& path, const std::string& text) {
    std::fprintf(stderr, "%s: warning: %s\n", path.c_str(), text.c_str());
}

}  // namespace kirune
