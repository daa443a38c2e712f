#pragma once
// The one switch for vector code. Every intrinsic path sits behind
// `#if KIRUNE_SSE2` with a scalar twin that gives the same results, so a
// build for another CPU, or one configured with KIRUNE_SCALAR_ONLY, uses the
// scalar paths alone.

#if defined(__SSE2__) && !defined(KIRUNE_SCALAR_ONLY)
#define KIRUNE_SSE2 1
#else
#define KIRUNE_SSE2 0
#endif
