// Checked when this file compiles: the headers that callers outside a
// library include keep that library's dependencies to themselves. Nothing
// may be included before them here.
#include "app/core/container_info.h"
#include "codec/codec_state.h"
#include "container/carried_tags.h"

#if defined(XXH_VERSION_NUMBER)
#error "a container header pulls in xxhash"
#endif
#if defined(_GLIBCXX_MUTEX)
#error "a container header pulls in <mutex>"
#endif
#if defined(TIFF_VERSION_CLASSIC) || defined(_TIFFIO_)
#error "carried_tags.h pulls in libtiff"
#endif
#if defined(_EMMINTRIN_H_INCLUDED) || defined(__EMMINTRIN_H) || defined(_IMMINTRIN_H_INCLUDED)
#error "the codec state pulls in intrinsics"
#endif
