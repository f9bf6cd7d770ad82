#include "messages.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vamra::messages {
namespace {

TEST(Format, FillsEachSlotInOrder) {
  EXPECT_EQ(format(CANNOT_CONVERT, "int", "Sequence"),
            "'int' object cannot be converted to 'Sequence'");
  EXPECT_EQ(format(TOO_MANY_POSITIONAL_RANGE, "dump_to_fd_rs", std::size_t{2}, 5u,
                   std::ptrdiff_t{6}, "were"),
            "dump_to_fd_rs() takes from 2 to 5 positional arguments but 6 were given");
  EXPECT_EQ(format(LENGTH_FIELD_OVERFLOW, BUNDLE_KEY, std::uint64_t{4294967296}),
            "A bundle key of 4294967296 bytes does not fit the 32-bit length field of the wire "
            "format");
  EXPECT_EQ(format(SLOT_MISALIGNED, 8, 3, Hex{0x7f00abcdef03}),
            "Mutex address must be 8-byte aligned: offset 3 gives address 0x7f00abcdef03");
}

TEST(Format, TextsAndValuesAreTakenAsTheyAre) {
  // A value's own braces are not slots; text without slots ignores its values.
  EXPECT_EQ(format("{}-{}", "{}", -1), "{}--1");
  EXPECT_EQ(format(POWER_OF_TWO, 64), POWER_OF_TWO);
  EXPECT_EQ(format("a{}c", std::string_view("b\0b", 3)), std::string("ab\0bc", 5));
  EXPECT_EQ(format("{} {}", "only"), "only {}");
  EXPECT_EQ(format("{}", Hex{0}), "0");
}

}  // namespace
}  // namespace vamra::messages
