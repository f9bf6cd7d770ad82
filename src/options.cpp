#include "options.hpp"

#include "errors.hpp"

namespace vamra::options {

bool read(const frame::Args& args, const Slots& slots, EncodeOptions& out) {
  return (slots.check_integrity == Slots::NONE ||
          args.get(slots.check_integrity, out.check_integrity, frame::to_flag)) &&
         (slots.compress == Slots::NONE ||
          args.get(slots.compress, out.compress, frame::to_flag)) &&
         (slots.alignment == Slots::NONE ||
          args.get(slots.alignment, out.alignment, frame::to_size));
}

bool check_alignment(const EncodeOptions& options) {
  if (is_power_of_two(options.alignment)) return true;
  errors::value_error("Alignment must be a power of two");
  return false;
}

}  // namespace vamra::options
