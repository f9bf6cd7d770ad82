// What every packet shares: the version 3 and 4 headers, the flags, the
// shape, the element-count limit and the body alignment rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "vamra/dtype.hpp"
#include "vamra/error.hpp"

namespace vamra {

using ByteSpan = std::span<const std::byte>;
using MutableByteSpan = std::span<std::byte>;
using Shape = std::vector<std::uint32_t>;

// An owned, uninitialised byte buffer.
struct OwnedBytes {
  std::unique_ptr<std::byte[]> data;
  std::size_t size = 0;

  ByteSpan span() const { return {data.get(), size}; }
};

inline constexpr std::uint16_t FLAG_ALIGNED = 0x0001;
inline constexpr std::uint16_t FLAG_INTEGRITY = 0x0002;
inline constexpr std::uint16_t FLAG_COMPRESSED = 0x0004;
inline constexpr std::uint16_t FLAG_SPARSE_COO = 0x0008;
inline constexpr std::uint16_t FLAG_BUNDLE = 0x0010;
inline constexpr std::uint16_t FLAG_SPARSE_CSR = 0x0020;
inline constexpr std::uint16_t FLAG_SPARSE_CSC = 0x0040;
inline constexpr std::uint16_t FLAG_CUSTOM_ALIGNMENT = 0x0080;
inline constexpr std::uint16_t FLAG_STRING = 0x0100;
inline constexpr std::uint16_t FLAG_RAGGED = 0x0200;
inline constexpr std::uint16_t FLAG_FIXED_RECORD = 0x0400;

inline constexpr std::size_t MAX_NDIM = 32;
inline constexpr std::uint64_t MAX_ELEMENTS = 1'000'000'000;
inline constexpr std::size_t DEFAULT_ALIGNMENT = 64;
inline constexpr std::size_t MAX_DECODE_DEPTH = 64;

inline constexpr std::size_t V4_HEADER_LEN = 10;
inline constexpr std::size_t V3_HEADER_LEN = 8;
inline constexpr std::size_t FOOTER_LEN = 8;
// The largest length a 32-bit length field (bundle keys and values, sparse
// components, the quantized scale count) can carry.
inline constexpr std::size_t MAX_LENGTH_FIELD = 0xFFFFFFFFu;

struct PacketHeader {
  std::size_t ndim;         // the dimension-count byte (a bundle's entry count)
  std::size_t header_len;   // 10 for version 4, 8 for version 3: where the shape starts
  std::uint16_t flags;      // version 3 packets carry only the low 8 bits
  std::uint8_t version;     // 3 or 4
  std::uint8_t dtype_code;  // raw wire code, not validated
};

// A dense tensor lent to the encoder: element bytes in C order, never
// reordered or byte-swapped.
struct DenseView {
  ByteSpan data;
  std::span<const std::uint32_t> shape;
  Dtype dtype;
};

struct DenseLayout {
  std::size_t prefix_len;  // header + shape + the exponent byte when the alignment is not 64
  std::size_t padding;     // zero bytes between the prefix and the body
  bool custom_alignment;   // the alignment is not 64
};

// Reads the header of a version 3 or 4 packet. Validates neither the dtype
// code, the flags nor ndim. Errors: TooShort (fewer than 8 bytes, or fewer
// than 10 for version 4), InvalidMagic, UnsupportedVersion.
Result<PacketHeader> parse_header(ByteSpan packet);

// Writes bytes 0..9 of a version 4 header. The caller has checked that `out`
// holds the whole packet.
void write_v4_header(MutableByteSpan out, std::uint16_t flags, std::uint8_t dtype_code,
                     std::uint8_t ndim);

// Reads `ndim` little-endian u32 extents from `offset` on. Errors:
// TooManyDimensions (ndim > 32), Malformed (offset overflow), TooShort.
Result<Shape> read_shape(ByteSpan packet, std::size_t offset, std::size_t ndim);

// The product of the extents (1 for none), each step checked for 64-bit
// overflow, then bounded by MAX_ELEMENTS. Error: TooManyElements.
Result<std::uint64_t> element_count(std::span<const std::uint32_t> shape);

// Layout of a dense packet for `view` at `alignment` bytes. Errors, in order:
// Malformed (alignment not a power of two), TooManyDimensions, TooManyElements,
// UnknownDtype (no dense item size), Malformed (data length != count x size).
Result<DenseLayout> dense_layout(const DenseView& view, std::size_t alignment);

// Zero padding needed after a prefix of `prefix_len` bytes at `alignment`.
constexpr std::size_t padding_for(std::size_t prefix_len, std::size_t alignment) {
  if (alignment <= 1 || prefix_len % alignment == 0) return 0;
  return alignment - prefix_len % alignment;
}

constexpr bool is_power_of_two(std::size_t v) { return v != 0 && (v & (v - 1)) == 0; }

// log2 of a power of two.
constexpr std::uint8_t alignment_exponent(std::size_t alignment) {
  std::uint8_t e = 0;
  while ((alignment >> e) > 1) ++e;
  return e;
}

// The reader's side of the alignment rule: from `pos` (the end of the
// unaligned prefix) to the aligned start of the body. With
// FLAG_CUSTOM_ALIGNMENT the exponent byte at `pos` is read (TooShort when
// missing, Malformed above 63) and skipped; otherwise FLAG_ALIGNED rounds up
// to 64; otherwise the body follows at once. Overflow: Malformed. The padding
// itself is not examined, nor is it checked to lie inside the packet.
Result<std::size_t> aligned_body_start(ByteSpan packet, std::size_t pos, std::uint16_t flags);

// Little-endian helpers shared by readers and writers.
inline std::uint32_t load_u32(const std::byte* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t load_u64(const std::byte* p) {
  return static_cast<std::uint64_t>(load_u32(p)) |
         (static_cast<std::uint64_t>(load_u32(p + 4)) << 32);
}
inline void store_u32(std::byte* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::byte>(v >> (8 * i));
}
inline void store_u64(std::byte* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::byte>(v >> (8 * i));
}

// a + b, or Malformed when it overflows.
inline Result<std::size_t> checked_add(std::size_t a, std::size_t b) {
  if (b > SIZE_MAX - a) return fail(ErrorKind::Malformed);
  return a + b;
}

}  // namespace vamra
