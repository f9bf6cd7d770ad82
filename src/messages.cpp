#include "messages.hpp"

#include <charconv>

namespace vamra::messages::detail {

std::string text_of(Hex value) {
  char digits[2 * sizeof value.value];
  const auto end = std::to_chars(digits, digits + sizeof digits, value.value, 16).ptr;
  return std::string(digits, end);
}

void fill(std::string& out, std::string_view& rest, const std::string& value) {
  const std::size_t slot = rest.find("{}");
  if (slot == std::string_view::npos) return;  // more values than slots: the extra is dropped
  out.append(rest.substr(0, slot));
  out += value;
  rest.remove_prefix(slot + 2);
}

}  // namespace vamra::messages::detail
