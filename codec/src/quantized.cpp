#include "vamra/quantized.hpp"

#include <cstring>

#include "hash.hpp"
#include "try.hpp"

namespace vamra {

namespace {

constexpr std::size_t PARAM_HEAD_LEN = 10;

// Bytes of packed codes for `count` elements.
constexpr std::uint64_t packed_length(Dtype dtype, std::uint64_t count) {
  return (dtype == Dtype::QInt4 || dtype == Dtype::QUInt4) ? (count + 1) / 2 : count;
}

struct QuantizedLayout {
  std::size_t params_start;  // Q: the parameter block starts right after the shape
  std::size_t params_len;    // head + scales + zero points
  std::size_t data_start;
  std::size_t data_len;
  std::size_t total;
  bool custom_alignment;
};

Result<QuantizedLayout> quantized_layout(const QuantizedView& view, const EncodeOptions& options) {
  if (!is_power_of_two(options.alignment)) return fail(ErrorKind::Malformed);
  if (!is_quantized(view.dtype)) return fail(ErrorKind::UnknownDtype, wire_code(view.dtype));
  if (view.shape.size() > MAX_NDIM) return fail(ErrorKind::TooManyDimensions);
  if (view.scales.size() != view.zero_points.size() || view.scales.size() % 4 != 0) {
    return fail(ErrorKind::Malformed);
  }
  VAMRA_TRY(const std::uint64_t count, element_count(view.shape));
  const std::uint64_t data_len = packed_length(view.dtype, count);
  if (view.data.size() < data_len) return fail(ErrorKind::Malformed);
  // The scale count is a 32-bit field.
  if (view.scales.size() / 4 > MAX_LENGTH_FIELD) return fail(ErrorKind::Malformed);

  const bool custom = options.alignment != DEFAULT_ALIGNMENT;
  const std::size_t q = V4_HEADER_LEN + 4 * view.shape.size();
  VAMRA_TRY(std::size_t unaligned, checked_add(q + PARAM_HEAD_LEN, view.scales.size()));
  VAMRA_TRY(unaligned, checked_add(unaligned, view.zero_points.size()));
  const std::size_t params_len = unaligned - q;
  if (custom) {
    VAMRA_TRY(unaligned, checked_add(unaligned, 1));
  }
  VAMRA_TRY(const std::size_t data_start,
            checked_add(unaligned, padding_for(unaligned, options.alignment)));
  VAMRA_TRY(std::size_t total, checked_add(data_start, data_len));
  VAMRA_TRY(total, checked_add(total, options.check_integrity ? FOOTER_LEN : 0));
  return QuantizedLayout{q,     params_len, data_start, static_cast<std::size_t>(data_len),
                         total, custom};
}

std::uint64_t hash_two(const std::byte* a, std::size_t a_len, const std::byte* b,
                       std::size_t b_len) {
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  XXH3_64bits_update(&state, a, a_len);
  XXH3_64bits_update(&state, b, b_len);
  return XXH3_64bits_digest(&state);
}

}  // namespace

Result<std::size_t> quantized_required_size(const QuantizedView& view,
                                            const EncodeOptions& options) {
  VAMRA_TRY(const QuantizedLayout layout, quantized_layout(view, options));
  return layout.total;
}

Result<std::size_t> encode_quantized_into(const QuantizedView& view, MutableByteSpan out,
                                          const EncodeOptions& options) {
  VAMRA_TRY(const QuantizedLayout layout, quantized_layout(view, options));
  if (out.size() < layout.total) return fail(ErrorKind::BufferTooSmall);

  std::byte* p = out.data();
  std::uint16_t flags = layout.custom_alignment ? FLAG_CUSTOM_ALIGNMENT : FLAG_ALIGNED;
  if (options.check_integrity) flags |= FLAG_INTEGRITY;
  write_v4_header(out, flags, wire_code(view.dtype), static_cast<std::uint8_t>(view.shape.size()));
  for (std::size_t i = 0; i < view.shape.size(); ++i) {
    store_u32(p + V4_HEADER_LEN + 4 * i, view.shape[i]);
  }
  std::byte* q = p + layout.params_start;
  q[0] = static_cast<std::byte>(view.quant_scheme);
  q[1] = static_cast<std::byte>(view.axis);
  store_u32(q + 2, view.group_size);
  store_u32(q + 6, static_cast<std::uint32_t>(view.scales.size() / 4));
  std::byte* cursor = q + PARAM_HEAD_LEN;
  if (!view.scales.empty()) std::memcpy(cursor, view.scales.data(), view.scales.size());
  cursor += view.scales.size();
  if (!view.zero_points.empty()) {
    std::memcpy(cursor, view.zero_points.data(), view.zero_points.size());
  }
  cursor += view.zero_points.size();
  if (layout.custom_alignment) {
    *cursor++ = static_cast<std::byte>(alignment_exponent(options.alignment));
  }
  std::byte* data = p + layout.data_start;
  std::memset(cursor, 0, static_cast<std::size_t>(data - cursor));
  if (layout.data_len != 0) std::memcpy(data, view.data.data(), layout.data_len);
  if (options.check_integrity) {
    store_u64(data + layout.data_len, hash_two(q, layout.params_len, data, layout.data_len));
  }
  return layout.total;
}

Result<Decoded> decode_quantized(ByteSpan packet, const PacketHeader& header) {
  const auto dtype = dtype_from_code(header.dtype_code);
  if (!dtype) return fail(ErrorKind::UnknownDtype, header.dtype_code);
  VAMRA_TRY(Shape shape, read_shape(packet, header.header_len, header.ndim));
  VAMRA_TRY(const std::uint64_t count, element_count(shape));

  const std::size_t q = header.header_len + 4 * header.ndim;
  if (packet.size() - q < PARAM_HEAD_LEN) return fail(ErrorKind::TooShort);
  const std::byte* head = packet.data() + q;
  const auto quant_scheme = static_cast<std::uint8_t>(head[0]);
  const auto axis = static_cast<std::uint32_t>(head[1]);
  const std::uint32_t group_size = load_u32(head + 2);
  const std::size_t scales_len = 4 * static_cast<std::size_t>(load_u32(head + 6));
  const std::size_t scales_at = q + PARAM_HEAD_LEN;
  if ((packet.size() - scales_at) / 2 < scales_len) return fail(ErrorKind::TooShort);
  const std::size_t params_end = scales_at + 2 * scales_len;

  VAMRA_TRY(const std::size_t start, aligned_body_start(packet, params_end, header.flags));
  const std::size_t data_len = packed_length(*dtype, count);
  const std::size_t footer = (header.flags & FLAG_INTEGRITY) ? FOOTER_LEN : 0;
  VAMRA_TRY(std::size_t end, checked_add(start, data_len));
  VAMRA_TRY(end, checked_add(end, footer));
  if (packet.size() < end) return fail(ErrorKind::TooShort);
  if (footer != 0) {
    const std::uint64_t stored = load_u64(packet.data() + start + data_len);
    if (stored != hash_two(head, params_end - q, packet.data() + start, data_len)) {
      return fail(ErrorKind::IntegrityMismatch);
    }
  }
  return Quantized{std::move(shape),
                   packet.subspan(scales_at, scales_len),
                   packet.subspan(scales_at + scales_len, scales_len),
                   packet.subspan(start, data_len),
                   axis,
                   group_size,
                   *dtype,
                   quant_scheme};
}

}  // namespace vamra
