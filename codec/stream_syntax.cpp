#include "codec/stream_syntax.h"

#include <cstring>
#include <string>

#include "kirune/Error.h"

namespace kirune {

std::array<uint32_t, kStreamCount> streamRawLengths(const SideStreams& st) {
    return {
        (st.dcSignBitCount >> 3) + 1,
        st.dcBytesPos,
        st.headerPos.byte + 1,
        st.indexLowPos.byte + 1,
        st.indexHighPos.byte + 1,
        st.gainBytesPos,
        st.matchBytesPos,
    };
}

}  // namespace kirune
