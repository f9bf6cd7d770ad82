// Text checks for the strings a packet carries (bundle keys).
#pragma once

#include <string_view>

namespace vamra {

// True when `text` is well-formed UTF-8 (no overlongs, surrogates or values
// above U+10FFFF).
bool is_valid_utf8(std::string_view text);

}  // namespace vamra
