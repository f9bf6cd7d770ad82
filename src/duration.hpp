// Timeouts for the shared-memory mutex: float seconds to whole nanoseconds,
// the text a timeout is shown as, and deadlines on the monotonic clock. Pure
// arithmetic (no Python), unit-tested in src/tests/duration_test.cpp.
#pragma once

#include <time.h>

#include <cstdint>
#include <expected>
#include <string>

namespace vamra::timing {

inline constexpr std::uint64_t NS_PER_SEC = 1'000'000'000;

struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;  // below NS_PER_SEC

  friend bool operator==(const Duration&, const Duration&) = default;
};

// Float seconds to whole nanoseconds, rounded to nearest with ties to even.
// Fails, with the text of the internal failure it is reported as, for a
// negative value (messages::DURATION_NEGATIVE), NaN or 2^64 seconds and more
// (messages::DURATION_TOO_BIG). Negative zero is zero.
std::expected<Duration, const char*> duration_from_secs(double secs);

// The duration as the lock's timeout message shows it, in the largest unit
// below it with the fraction's trailing zeros dropped and no rounding: "5s",
// "1.5ms", "100µs", "0ns".
std::string format_duration(const Duration& d);

// now + d; fails with messages::DEADLINE_OVERFLOW when the sum leaves the
// clock's range.
std::expected<timespec, const char*> deadline_after(const timespec& now, const Duration& d);

// Whether `now` is at or past `deadline`.
bool reached(const timespec& now, const timespec& deadline) noexcept;

}  // namespace vamra::timing
