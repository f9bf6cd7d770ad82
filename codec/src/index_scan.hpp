// The loop of check_sparse that reads every index: compiled once for the
// baseline instruction set (sparse.cpp) and, on x86-64, once more with AVX2
// for the two index types SciPy uses (index_scan_avx2.cpp), chosen at run
// time. The loop is the same source; each unit keeps its own copy (an unnamed
// namespace), so that the linker never hands the AVX2 one to the baseline.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace vamra::index_scan {

namespace {

// The i-th element of an array of T at any address, from its little-endian bytes.
template <class T>
T element(const std::byte* data, std::size_t i) {
  T value;
  std::memcpy(&value, data + i * sizeof(T), sizeof(T));
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
    value = std::byteswap(value);
  }
  return value;
}

// Every element of an array of `count` elements of T lies in [0, bound). One
// comparison per element, seen as unsigned (a negative value then lies above
// every valid one), ORed into one flag: a loop the compiler vectorises.
template <class T>
bool below(const std::byte* data, std::size_t count, std::uint64_t bound) {
  using U = std::make_unsigned_t<T>;
  // The values T can hold that are not negative end below `top`.
  constexpr std::uint64_t top = std::is_signed_v<T> ? std::uint64_t{1} << (8 * sizeof(T) - 1)
                                                    : std::uint64_t{std::numeric_limits<U>::max()};
  if (std::is_unsigned_v<T> && bound > top) return true;  // every value of T lies below
  const U limit = static_cast<U>(std::min(bound, top));
  U outside = 0;
  for (std::size_t i = 0; i < count; ++i) {
    outside |= static_cast<U>(static_cast<U>(element<T>(data, i)) >= limit);
  }
  return outside == 0;
}

}  // namespace

// below<std::int32_t> and below<std::int64_t> compiled for AVX2; called only
// when the processor has it.
bool below_i32_avx2(const std::byte* data, std::size_t count, std::uint64_t bound);
bool below_i64_avx2(const std::byte* data, std::size_t count, std::uint64_t bound);

}  // namespace vamra::index_scan
