#include "duration.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "messages.hpp"

namespace vamra::timing {
namespace {

struct Rounding {
  double secs;
  Duration expected;
};

class SecondsToNanoseconds : public ::testing::TestWithParam<Rounding> {};

TEST_P(SecondsToNanoseconds, RoundsToNearestWithTiesToEven) {
  const auto d = duration_from_secs(GetParam().secs);
  ASSERT_TRUE(d) << d.error();
  EXPECT_EQ(d->secs, GetParam().expected.secs);
  EXPECT_EQ(d->nanos, GetParam().expected.nanos);
}

INSTANTIATE_TEST_SUITE_P(
    Durations, SecondsToNanoseconds,
    ::testing::Values(
        Rounding{0.0, {0, 0}}, Rounding{-0.0, {0, 0}}, Rounding{5.0, {5, 0}},
        Rounding{1.5, {1, 500'000'000}},
        // Not exact in binary: 0.1 is a little above, 0.3 a little below.
        Rounding{0.1, {0, 100'000'000}}, Rounding{0.3, {0, 300'000'000}}, Rounding{1e-9, {0, 1}},
        // k/1024 s is exactly (k * 976562.5) ns: the ties go to the even neighbour.
        Rounding{std::ldexp(1.0, -10), {0, 976'562}},
        Rounding{std::ldexp(3.0, -10), {0, 2'929'688}},
        Rounding{std::ldexp(5.0, -10), {0, 4'882'812}},
        // Just below and above half a nanosecond, and far below it.
        Rounding{std::ldexp(1.0, -31), {0, 0}}, Rounding{std::ldexp(1.0, -30), {0, 1}},
        Rounding{std::numeric_limits<double>::denorm_min(), {0, 0}},
        // Whole seconds up to the largest double below 2^64, carried exactly.
        Rounding{std::ldexp(1.0, 63), {std::uint64_t{1} << 63, 0}},
        Rounding{std::nextafter(std::ldexp(1.0, 64), 0.0), {0xFFFF'FFFF'FFFF'F800u, 0}},
        // A fraction that needs the full 53-bit mantissa.
        Rounding{1234567.891011, {1'234'567, 891'011'000}}));

TEST(SecondsToNanoseconds, RefusesWhatNoDurationHolds) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const double secs : {-1.0, -1e-300, -inf}) {
    EXPECT_EQ(duration_from_secs(secs).error(), messages::DURATION_NEGATIVE) << secs;
  }
  for (const double secs : {nan, inf, std::ldexp(1.0, 64), 1e300}) {
    EXPECT_EQ(duration_from_secs(secs).error(), messages::DURATION_TOO_BIG) << secs;
  }
}

TEST(FormatDuration, LargestUnitWithoutTrailingZeros) {
  const struct {
    Duration d;
    const char* text;
  } cases[] = {
      {{5, 0}, "5s"},
      {{1, 500'000'000}, "1.5s"},
      {{1, 1}, "1.000000001s"},
      {{0, 1'500'000}, "1.5ms"},
      {{0, 999'999'999}, "999.999999ms"},
      {{0, 100'000}, "100\u00b5s"},
      {{0, 1'001}, "1.001\u00b5s"},
      {{0, 999}, "999ns"},
      {{0, 0}, "0ns"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_duration(c.d), c.text);
}

TEST(Deadline, CarriesNanosecondsIntoSeconds) {
  const timespec now{10, 999'999'999};
  const auto deadline = deadline_after(now, {0, 1});
  ASSERT_TRUE(deadline);
  EXPECT_EQ(deadline->tv_sec, 11);
  EXPECT_EQ(deadline->tv_nsec, 0);
  const auto later = deadline_after(now, {2, 500'000'000});
  ASSERT_TRUE(later);
  EXPECT_EQ(later->tv_sec, 13);
  EXPECT_EQ(later->tv_nsec, 499'999'999);
}

TEST(Deadline, RefusesOverflowingTheClock) {
  constexpr auto MAX = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(deadline_after({0, 0}, {std::uint64_t{1} << 63, 0}).error(),
            messages::DEADLINE_OVERFLOW);
  EXPECT_EQ(deadline_after({MAX - 1, 0}, {2, 0}).error(), messages::DEADLINE_OVERFLOW);
  // The carry alone can overflow.
  EXPECT_EQ(deadline_after({MAX, 999'999'999}, {0, 1}).error(), messages::DEADLINE_OVERFLOW);
  EXPECT_TRUE(deadline_after({MAX - 1, 999'999'999}, {0, 1}));
}

TEST(Deadline, ReachedAtAndAfterIt) {
  const timespec deadline{5, 100};
  EXPECT_FALSE(reached({4, 999'999'999}, deadline));
  EXPECT_FALSE(reached({5, 99}, deadline));
  EXPECT_TRUE(reached({5, 100}, deadline));
  EXPECT_TRUE(reached({6, 0}, deadline));
}

}  // namespace
}  // namespace vamra::timing
