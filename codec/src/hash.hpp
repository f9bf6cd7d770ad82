// libxxhash's XXH3-64, for what the codec's own loops (checksum.cpp) leave to
// it: inputs of 240 bytes or less, streaming over separate ranges, and
// machines without AVX2. On x86 the library's dispatching entry points pick
// the widest vector unit at run time.
#pragma once

// The streaming state lives on the stack, which needs its full definition.
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#if (defined(__x86_64__) || defined(__i386__)) && __has_include(<xxh_x86dispatch.h>)
#include <xxh_x86dispatch.h>
#endif
