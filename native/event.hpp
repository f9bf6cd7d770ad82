// Events in shared memory, as futex.cpp implements them, for the native code
// that changes what waiters wait on (the channel's slots).
#pragma once

#include <cstddef>

namespace vamra::native {

// Advances the counter of the event at `address` (8 bytes at an 8-aligned
// address of a shared mapping) and wakes every thread asleep on it, in any
// process. No system call while nobody sleeps. A failed wake is not reported:
// sleepers also wake on their own to look again. Touches no Python object.
void notify_event(std::byte* address) noexcept;

}  // namespace vamra::native
