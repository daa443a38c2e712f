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

// Kernels for wider units than the build's baseline are compiled in files of
// their own, with that instruction set's flags, and chosen at run time
// (kirune/vector_path.h).
#if KIRUNE_SSE2 && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KIRUNE_X86_DISPATCH 1
#else
#define KIRUNE_X86_DISPATCH 0
#endif
