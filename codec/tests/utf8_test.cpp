#include "vamra/utf8.hpp"

#include <gtest/gtest.h>

namespace vamra {
namespace {

TEST(Utf8, WellFormedness) {
  EXPECT_TRUE(is_valid_utf8(std::string_view("a\0b", 3)));
  for (const char* ok :
       {"", "plain", "\x7F", "\xC2\x80", "\xC3\xA9", "\xDF\xBF", "\xE0\xA0\x80", "\xE2\x82\xAC",
        "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_TRUE(is_valid_utf8(ok)) << ::testing::PrintToString(ok);
  }
  // Stray continuations, overlongs, surrogates, values above U+10FFFF, truncations.
  for (const char* bad : {"\x80", "\xBF", "\xC0\x80", "\xC1\xBF", "\xC3", "\xC3\x41", "\xC3\xC3",
                          "\xE0\x80\x80", "\xE0\x9F\xBF", "\xE2\x82", "\xE2\x28\xA1"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << ::testing::PrintToString(bad);
  }
  for (const char* bad :
       {"\xED\xA0\x80", "\xED\xBF\xBF", "\xF0\x80\x80\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
        "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80", "\xFF", "ok\xE2\x82", "\xF0\x90\x80"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << ::testing::PrintToString(bad);
  }
}

}  // namespace
}  // namespace vamra
