#include "container/metadata.h"

namespace kirune {

std::string creditText() {
    // "開発者：" in cp932, then the credit name.
    return "\x8A\x4A\x94\xAD\x8E\xD2\x81\x46"
           "Kirune";
}

}  // namespace kirune
