#include "vamra/header.hpp"

#include <cstring>

#include "try.hpp"

namespace vamra {

namespace {
constexpr std::byte MAGIC[4] = {std::byte{'V'}, std::byte{'M'}, std::byte{'R'}, std::byte{'A'}};
}

Result<PacketHeader> parse_header(ByteSpan packet) {
  if (packet.size() < V3_HEADER_LEN) return fail(ErrorKind::TooShort);
  if (std::memcmp(packet.data(), MAGIC, 4) != 0) return fail(ErrorKind::InvalidMagic);
  const auto version = static_cast<std::uint8_t>(packet[4]);
  if (version == 3) {
    return PacketHeader{static_cast<std::size_t>(packet[7]), V3_HEADER_LEN,
                        static_cast<std::uint16_t>(packet[5]), 3,
                        static_cast<std::uint8_t>(packet[6])};
  }
  if (version == 4) {
    if (packet.size() < V4_HEADER_LEN) return fail(ErrorKind::TooShort);
    const auto flags = static_cast<std::uint16_t>(static_cast<unsigned>(packet[5]) |
                                                  (static_cast<unsigned>(packet[6]) << 8));
    return PacketHeader{static_cast<std::size_t>(packet[8]), V4_HEADER_LEN, flags, 4,
                        static_cast<std::uint8_t>(packet[7])};
  }
  return fail(ErrorKind::UnsupportedVersion, version);
}

void write_v4_header(MutableByteSpan out, std::uint16_t flags, std::uint8_t dtype_code,
                     std::uint8_t ndim) {
  std::byte* p = out.data();
  std::memcpy(p, MAGIC, 4);
  p[4] = std::byte{4};
  p[5] = static_cast<std::byte>(flags & 0xFF);
  p[6] = static_cast<std::byte>(flags >> 8);
  p[7] = static_cast<std::byte>(dtype_code);
  p[8] = static_cast<std::byte>(ndim);
  p[9] = std::byte{0};
}

Result<Shape> read_shape(ByteSpan packet, std::size_t offset, std::size_t ndim) {
  if (ndim > MAX_NDIM) return fail(ErrorKind::TooManyDimensions);
  VAMRA_TRY(const std::size_t end, checked_add(offset, 4 * ndim));
  if (packet.size() < end) return fail(ErrorKind::TooShort);
  Shape shape(ndim);
  for (std::size_t i = 0; i < ndim; ++i) shape[i] = load_u32(packet.data() + offset + 4 * i);
  return shape;
}

Result<std::uint64_t> element_count(std::span<const std::uint32_t> shape) {
  std::uint64_t count = 1;
  for (const std::uint32_t d : shape) {
    if (d != 0 && count > UINT64_MAX / d) return fail(ErrorKind::TooManyElements);
    count *= d;
  }
  if (count > MAX_ELEMENTS) return fail(ErrorKind::TooManyElements);
  return count;
}

Result<DenseLayout> dense_layout(const DenseView& view, std::size_t alignment) {
  if (!is_power_of_two(alignment)) return fail(ErrorKind::Malformed);
  if (view.shape.size() > MAX_NDIM) return fail(ErrorKind::TooManyDimensions);
  VAMRA_TRY(const std::uint64_t count, element_count(view.shape));
  const std::size_t size = item_size(view.dtype);
  if (size == 0) return fail(ErrorKind::UnknownDtype, wire_code(view.dtype));
  if (view.data.size() != count * size) return fail(ErrorKind::Malformed);
  const bool custom = alignment != DEFAULT_ALIGNMENT;
  const std::size_t prefix_len = V4_HEADER_LEN + 4 * view.shape.size() + (custom ? 1 : 0);
  return DenseLayout{prefix_len, padding_for(prefix_len, alignment), custom};
}

Result<std::size_t> aligned_body_start(ByteSpan packet, std::size_t pos, std::uint16_t flags) {
  std::size_t alignment = 1;
  if (flags & FLAG_CUSTOM_ALIGNMENT) {
    if (pos >= packet.size()) return fail(ErrorKind::TooShort);
    const auto exponent = static_cast<unsigned>(packet[pos]);
    if (exponent > 63) return fail(ErrorKind::Malformed);
    pos += 1;
    alignment = std::size_t{1} << exponent;
  } else if (flags & FLAG_ALIGNED) {
    alignment = DEFAULT_ALIGNMENT;
  }
  return checked_add(pos, padding_for(pos, alignment));
}

}  // namespace vamra
