#include "vamra/string.hpp"

#include <cstring>

#include "try.hpp"
#include "vamra/checksum.hpp"

namespace vamra {

namespace {

constexpr std::size_t STRING_BODY_START = 64;
constexpr std::uint16_t STRING_FLAGS = FLAG_STRING | FLAG_ALIGNED;
constexpr std::uint8_t STRING_DTYPE_CODE = 20;

}  // namespace

Result<std::size_t> string_required_size(std::uint32_t count, std::size_t payload_len,
                                         bool check_integrity) {
  const std::size_t table = 8 * (static_cast<std::size_t>(count) + 1);
  VAMRA_TRY(const std::size_t total, checked_add(STRING_BODY_START + table, payload_len));
  return checked_add(total, check_integrity ? FOOTER_LEN : 0);
}

Result<std::size_t> encode_string_into(std::uint32_t count, std::span<const std::uint64_t> offsets,
                                       ByteSpan payload, MutableByteSpan out,
                                       bool check_integrity) {
  if (offsets.size() != static_cast<std::size_t>(count) + 1 || offsets[0] != 0) {
    return fail(ErrorKind::Malformed);
  }
  for (std::size_t i = 1; i < offsets.size(); ++i) {
    if (offsets[i] < offsets[i - 1]) return fail(ErrorKind::Malformed);
  }
  if (offsets.back() != payload.size()) return fail(ErrorKind::Malformed);
  VAMRA_TRY(const std::size_t size, string_required_size(count, payload.size(), check_integrity));
  if (out.size() < size) return fail(ErrorKind::BufferTooSmall);

  std::byte* p = out.data();
  write_v4_header(out, check_integrity ? (STRING_FLAGS | FLAG_INTEGRITY) : STRING_FLAGS,
                  STRING_DTYPE_CODE, 1);
  store_u32(p + V4_HEADER_LEN, count);
  std::memset(p + V4_HEADER_LEN + 4, 0, STRING_BODY_START - V4_HEADER_LEN - 4);
  std::byte* table = p + STRING_BODY_START;
  for (std::size_t i = 0; i < offsets.size(); ++i) store_u64(table + 8 * i, offsets[i]);
  std::byte* body_end = table + 8 * offsets.size();
  if (!payload.empty()) std::memcpy(body_end, payload.data(), payload.size());
  body_end += payload.size();
  if (check_integrity) {
    const auto covered = static_cast<std::size_t>(body_end - table);
    store_u64(body_end, checksum({table, covered}));
  }
  return size;
}

Result<OffsetPayload> decode_offset_payload(ByteSpan packet, const PacketHeader& header) {
  VAMRA_TRY(Shape shape, read_shape(packet, header.header_len, header.ndim));
  const std::size_t count = shape.empty() ? 0 : shape[0];
  VAMRA_TRY(const std::size_t start,
            aligned_body_start(packet, header.header_len + 4 * header.ndim, header.flags));
  const std::size_t table_len = 8 * (count + 1);
  VAMRA_TRY(const std::size_t table_end, checked_add(start, table_len));
  if (packet.size() < table_end) return fail(ErrorKind::TooShort);

  const std::byte* table = packet.data() + start;
  std::uint64_t previous = 0;
  for (std::size_t i = 0; i <= count; ++i) {
    const std::uint64_t offset = load_u64(table + 8 * i);
    if ((i == 0 && offset != 0) || offset < previous) return fail(ErrorKind::Malformed);
    previous = offset;
  }
  if (previous > SIZE_MAX) return fail(ErrorKind::Malformed);
  VAMRA_TRY(const std::size_t payload_end,
            checked_add(table_end, static_cast<std::size_t>(previous)));
  if (packet.size() < payload_end) return fail(ErrorKind::TooShort);
  if (header.flags & FLAG_INTEGRITY) {
    if (packet.size() - payload_end < FOOTER_LEN) return fail(ErrorKind::TooShort);
    const std::uint64_t stored = load_u64(packet.data() + payload_end);
    if (stored != checksum({table, payload_end - start})) {
      return fail(ErrorKind::IntegrityMismatch);
    }
  }
  return OffsetPayload{std::move(shape), packet.subspan(start, table_len),
                       packet.subspan(table_end, static_cast<std::size_t>(previous))};
}

Result<Decoded> decode_string(ByteSpan packet, const PacketHeader& header) {
  VAMRA_TRY(OffsetPayload body, decode_offset_payload(packet, header));
  return String{std::move(body.shape), body.offsets, body.payload};
}

Result<Decoded> decode_ragged(ByteSpan packet, const PacketHeader& header) {
  VAMRA_TRY(OffsetPayload body, decode_offset_payload(packet, header));
  return Ragged{std::move(body.shape), body.offsets, body.payload};
}

}  // namespace vamra
