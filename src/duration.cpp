#include "duration.hpp"

#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "messages.hpp"

namespace vamra::timing {

// The double is split into an integer mantissa and a power of two so that the
// product with 10^9 is exact in 128 bits and only the final shift rounds.
std::expected<Duration, const char*> duration_from_secs(double secs) {
  if (secs < 0.0) {
    return std::unexpected(messages::DURATION_NEGATIVE);
  }
  // 2^64 seconds or more, +inf and NaN (every comparison with NaN is false).
  if (!(secs < 18446744073709551616.0)) {
    return std::unexpected(messages::DURATION_TOO_BIG);
  }
  if (secs == 0.0) return Duration{};
  int exponent = 0;
  const double fraction = std::frexp(secs, &exponent);  // secs = fraction * 2^exponent
  // fraction in [0.5, 1): 53 significant bits as an integer mantissa.
  const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  const int shift = exponent - 53;  // secs = mantissa * 2^shift
  using U128 = unsigned __int128;
  U128 scaled = static_cast<U128>(mantissa) * NS_PER_SEC;  // < 2^83
  U128 total = 0;
  if (shift >= 0) {
    // secs < 2^64 bounds this below 2^94.
    total = scaled << shift;
  } else if (-shift < 128) {
    const int right = -shift;
    total = scaled >> right;
    const U128 remainder = scaled - (total << right);
    const U128 half = static_cast<U128>(1) << (right - 1);
    if (remainder > half || (remainder == half && (total & 1) != 0)) ++total;
  }  // else: far below half a nanosecond, so zero.
  return Duration{static_cast<std::uint64_t>(total / NS_PER_SEC),
                  static_cast<std::uint32_t>(total % NS_PER_SEC)};
}

namespace {

// "<integer>[.<fraction without trailing zeros>]<suffix>"; no rounding.
std::string format_part(std::uint64_t integer, std::uint32_t fraction, int digits,
                        const char* suffix) {
  std::string out = std::to_string(integer);
  if (fraction != 0) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*" PRIu32, digits, fraction);
    std::string decimals(text);
    while (!decimals.empty() && decimals.back() == '0') decimals.pop_back();
    out += '.';
    out += decimals;
  }
  return out + suffix;
}

}  // namespace

std::string format_duration(const Duration& d) {
  if (d.secs != 0) return format_part(d.secs, d.nanos, 9, "s");
  if (d.nanos >= 1'000'000) return format_part(d.nanos / 1'000'000, d.nanos % 1'000'000, 6, "ms");
  if (d.nanos >= 1'000) return format_part(d.nanos / 1'000, d.nanos % 1'000, 3, "\u00b5s");
  return format_part(d.nanos, 0, 0, "ns");
}

std::expected<timespec, const char*> deadline_after(const timespec& now, const Duration& d) {
  constexpr std::int64_t MAX_SECS = INT64_MAX;
  const auto base = static_cast<std::int64_t>(now.tv_sec);
  std::int64_t secs = 0;
  bool overflow = d.secs > static_cast<std::uint64_t>(MAX_SECS) ||
                  __builtin_add_overflow(base, static_cast<std::int64_t>(d.secs), &secs);
  long nanos = now.tv_nsec + static_cast<long>(d.nanos);
  if (!overflow && nanos >= static_cast<long>(NS_PER_SEC)) {
    nanos -= static_cast<long>(NS_PER_SEC);
    overflow = __builtin_add_overflow(secs, 1, &secs);
  }
  // time_t is 64 bits on the platforms this builds for; the check keeps a
  // narrower one honest.
  if (overflow || static_cast<std::int64_t>(static_cast<time_t>(secs)) != secs) {
    return std::unexpected(messages::DEADLINE_OVERFLOW);
  }
  timespec deadline{};
  deadline.tv_sec = static_cast<time_t>(secs);
  deadline.tv_nsec = nanos;
  return deadline;
}

bool reached(const timespec& now, const timespec& deadline) noexcept {
  return now.tv_sec != deadline.tv_sec ? now.tv_sec > deadline.tv_sec
                                       : now.tv_nsec >= deadline.tv_nsec;
}

}  // namespace vamra::timing
