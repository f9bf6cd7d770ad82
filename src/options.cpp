#include "options.hpp"

#include "errors.hpp"

namespace vamra::options {

bool check_alignment(const EncodeOptions& options) {
  return is_power_of_two(options.alignment) ||
         errors::raise(PyExc_ValueError, messages::POWER_OF_TWO);
}

}  // namespace vamra::options
