// The index loop of check_sparse on 256-bit vectors. Compiled with AVX2
// enabled; called only when the processor has it.
#include "index_scan.hpp"

namespace vamra::index_scan {

bool below_i32_avx2(const std::byte* data, std::size_t count, std::uint64_t bound) {
  return below<std::int32_t>(data, count, bound);
}

bool below_i64_avx2(const std::byte* data, std::size_t count, std::uint64_t bound) {
  return below<std::int64_t>(data, count, bound);
}

}  // namespace vamra::index_scan
