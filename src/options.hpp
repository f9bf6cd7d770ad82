// The encoding options (check_integrity, compress, alignment) as the writers
// take them from their arguments, and the alignment rule they share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "frame.hpp"
#include "vamra/dense.hpp"

namespace vamra::options {

// Where a function's encoding options sit among its parameters.
struct Slots {
  static constexpr std::size_t NONE = SIZE_MAX;  // the function has no such parameter
  std::size_t check_integrity = NONE;
  std::size_t compress = NONE;
  std::size_t alignment = NONE;
};

// The slots of `function`'s parameters named check_integrity, compress and
// alignment, which (where present) stand in that order.
template <std::size_t N>
consteval Slots slots_of(const frame::Function<N>& function) {
  Slots slots;
  for (std::size_t i = 0; i < N; ++i) {
    const std::string_view name = function.params[i].name;
    if (name == "check_integrity") slots.check_integrity = i;
    if (name == "compress") slots.compress = i;
    if (name == "alignment") slots.alignment = i;
  }
  const std::size_t order[] = {slots.check_integrity, slots.compress, slots.alignment};
  std::size_t last = 0;
  for (const std::size_t slot : order) {
    if (slot == Slots::NONE) continue;
    if (slot < last) throw "encoding options out of order";
    last = slot;
  }
  return slots;
}

// Converts the options among the arguments of a call to `FUNCTION`, in
// parameter order; one not given takes its parameter's default, one the
// function lacks keeps `out`'s value. The slots are found at compile time.
template <const auto& FUNCTION>
bool read(const frame::Args& args, EncodeOptions& out) {
  constexpr Slots SLOTS = slots_of(FUNCTION);
  if constexpr (SLOTS.check_integrity != Slots::NONE) {
    if (!args.get(SLOTS.check_integrity, out.check_integrity, frame::to_flag)) return false;
  }
  if constexpr (SLOTS.compress != Slots::NONE) {
    if (!args.get(SLOTS.compress, out.compress, frame::to_flag)) return false;
  }
  if constexpr (SLOTS.alignment != Slots::NONE) {
    if (!args.get(SLOTS.alignment, out.alignment, frame::to_size)) return false;
  }
  return true;
}

// Raises ValueError "Alignment must be a power of two" unless it is one.
bool check_alignment(const EncodeOptions& options);

}  // namespace vamra::options
