// XXH3-64 for packet footers. On x86 the library's dispatching entry points
// pick the widest vector unit at run time (AVX2 or AVX-512 over SSE2), which
// keeps the footer cheap next to the copy it accompanies.
#pragma once

// The streaming state lives on the stack, which needs its full definition.
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#if (defined(__x86_64__) || defined(__i386__)) && __has_include(<xxh_x86dispatch.h>)
#include <xxh_x86dispatch.h>
#endif
