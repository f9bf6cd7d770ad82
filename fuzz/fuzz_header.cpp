// The shared header layer against independent reference models: parse_header,
// read_shape (any offset and count), element_count, dense_layout (any
// alignment, not only powers of two) and aligned_body_start. Where a layout is
// valid and small, a real dense packet is written and the reader's alignment
// rule must find its body exactly where the writer put it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "vamra/dense.hpp"
#include "vamra/header.hpp"

namespace {

using namespace vamra;
using u128 = unsigned __int128;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_header: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

template <class T>
bool is(const Result<T>& r, ErrorKind kind) {
  return !r && r.error().kind == kind;
}

void header_model(ByteSpan p) {
  const auto h = parse_header(p);
  if (p.size() < 8) return check(is(h, ErrorKind::TooShort), "short input not TooShort");
  if (std::memcmp(p.data(), "VMRA", 4) != 0) {
    return check(is(h, ErrorKind::InvalidMagic), "bad magic not InvalidMagic");
  }
  const auto version = static_cast<std::uint8_t>(p[4]);
  const auto u8 = [&](std::size_t i) { return static_cast<std::uint8_t>(p[i]); };
  if (version == 3) {
    check(h && h->version == 3 && h->header_len == 8 && h->flags == u8(5) &&
              h->dtype_code == u8(6) && h->ndim == u8(7),
          "version 3 header fields");
  } else if (version == 4 && p.size() < 10) {
    check(is(h, ErrorKind::TooShort), "9-byte version 4 header not TooShort");
  } else if (version == 4) {
    check(h && h->version == 4 && h->header_len == 10 && h->flags == (u8(5) | u8(6) << 8) &&
              h->dtype_code == u8(7) && h->ndim == u8(8),
          "version 4 header fields");
  } else {
    check(!h && h.error() == CodecError{ErrorKind::UnsupportedVersion, version},
          "unknown version not UnsupportedVersion");
  }
}

// The element count, or nothing when a step of the product leaves 64 bits or
// the result exceeds MAX_ELEMENTS.
std::optional<std::uint64_t> count_model(std::span<const std::uint32_t> shape) {
  u128 running = 1;
  for (const auto d : shape) {
    running *= d;
    if (running > UINT64_MAX) return std::nullopt;
  }
  if (running > MAX_ELEMENTS) return std::nullopt;
  return static_cast<std::uint64_t>(running);
}

void shape_model(ByteSpan p, std::size_t offset, std::size_t ndim) {
  const auto s = read_shape(p, offset, ndim);
  if (ndim > MAX_NDIM) return check(is(s, ErrorKind::TooManyDimensions), "ndim > 32 accepted");
  const u128 end = u128{offset} + 4 * u128{ndim};
  if (end > SIZE_MAX) return check(is(s, ErrorKind::Malformed), "offset overflow not Malformed");
  if (end > p.size()) return check(is(s, ErrorKind::TooShort), "shape past the end not TooShort");
  check(s && s->size() == ndim, "shape length");
  for (std::size_t i = 0; i < ndim; ++i) {
    check((*s)[i] == load_u32(p.data() + offset + 4 * i), "shape extent");
  }

  const auto n = element_count(*s);
  const auto model = count_model(*s);
  if (!model) {
    check(is(n, ErrorKind::TooManyElements), "element count above the limit accepted");
  } else {
    check(n && *n == *model, "element count");
  }
}

void body_start_model(ByteSpan p, std::size_t pos, std::uint16_t flags) {
  const auto start = aligned_body_start(p, pos, flags);
  u128 base = pos;
  u128 alignment = 1;
  if (flags & FLAG_CUSTOM_ALIGNMENT) {
    if (pos >= p.size()) return check(is(start, ErrorKind::TooShort), "missing exponent accepted");
    const auto exponent = static_cast<unsigned>(p[pos]);
    if (exponent > 63) return check(is(start, ErrorKind::Malformed), "exponent > 63 accepted");
    base += 1;
    alignment = u128{1} << exponent;
  } else if (flags & FLAG_ALIGNED) {
    alignment = 64;
  }
  const u128 expected = (base + alignment - 1) / alignment * alignment;
  if (expected > SIZE_MAX) return check(is(start, ErrorKind::Malformed), "overflow accepted");
  check(start && *start == expected, "body start");
}

void layout_model(FuzzedDataProvider& in) {
  Shape shape(in.ConsumeIntegralInRange<std::size_t>(0, 40));
  for (auto& d : shape)
    d = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 3)
                         : in.ConsumeIntegral<std::uint32_t>();
  const auto dtype = static_cast<Dtype>(in.ConsumeIntegralInRange<std::size_t>(0, DTYPE_COUNT - 1));
  std::size_t alignment = 0;
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
      alignment = std::size_t{1} << in.ConsumeIntegralInRange(0, 63);
      break;
    case 1:
      alignment = std::size_t{1} << in.ConsumeIntegralInRange(0, 13);
      break;
    default:
      alignment = in.ConsumeIntegral<std::size_t>();
  }
  const auto count = count_model(shape);
  // The data length: usually right, sometimes anything.
  const u128 right = u128{count.value_or(0)} * item_size(dtype);
  std::size_t length = right <= 4096 ? static_cast<std::size_t>(right) : 0;
  if (in.ConsumeIntegralInRange(0, 3) == 0)
    length = in.ConsumeIntegralInRange<std::size_t>(0, 4096);
  std::vector<std::byte> data(length, std::byte{0x3C});
  const DenseView view{data, shape, dtype};

  const auto layout = dense_layout(view, alignment);
  if (!is_power_of_two(alignment))
    return check(is(layout, ErrorKind::Malformed), "alignment accepted");
  if (shape.size() > MAX_NDIM)
    return check(is(layout, ErrorKind::TooManyDimensions), "ndim accepted");
  if (!count) return check(is(layout, ErrorKind::TooManyElements), "count accepted");
  if (item_size(dtype) == 0) {
    return check(!layout && layout.error() == CodecError{ErrorKind::UnknownDtype, wire_code(dtype)},
                 "no-item-size dtype accepted");
  }
  if (length != right) return check(is(layout, ErrorKind::Malformed), "wrong data length accepted");
  check(layout.has_value(), "valid layout refused");
  const bool custom = alignment != DEFAULT_ALIGNMENT;
  check(layout->custom_alignment == custom, "custom_alignment");
  check(layout->prefix_len == V4_HEADER_LEN + 4 * shape.size() + (custom ? 1 : 0), "prefix_len");
  check(layout->padding < alignment && (layout->prefix_len + layout->padding) % alignment == 0,
        "padding");

  if (alignment > 8192) return;
  // Writer and reader agree on where the body starts, for every option.
  const EncodeOptions options{alignment, in.ConsumeBool(), in.ConsumeBool()};
  const auto size = dense_required_size(view, options);
  check(size.has_value(), "dense_required_size refused a valid layout");
  std::vector<std::byte> packet(*size);
  const auto written = encode_dense_into(view, packet, options);
  check(written.has_value(), "encode_dense_into refused a valid layout");
  packet.resize(*written);
  const auto header = parse_header(packet);
  check(header.has_value(), "written header unreadable");
  const auto start = aligned_body_start(packet, V4_HEADER_LEN + 4 * shape.size(), header->flags);
  check(start && *start == layout->prefix_len + layout->padding, "reader finds another body start");
  for (std::size_t i = layout->prefix_len; i < *start; ++i)
    check(packet[i] == std::byte{0}, "padding not zero");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan whole(reinterpret_cast<const std::byte*>(data), size);
  header_model(whole);

  FuzzedDataProvider in(data, size);
  const auto pick_offset = [&](std::size_t limit) -> std::size_t {
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0:
        return in.ConsumeIntegral<std::size_t>();
      case 1:
        return SIZE_MAX - in.ConsumeIntegralInRange<std::size_t>(0, 1100);
      default:
        return in.ConsumeIntegralInRange<std::size_t>(0, limit + 2);
    }
  };
  const auto h = parse_header(whole);
  if (h) {
    shape_model(whole, h->header_len, h->ndim);
    body_start_model(whole, h->header_len + 4 * h->ndim, h->flags);
  }
  shape_model(whole, pick_offset(size), in.ConsumeIntegralInRange<std::size_t>(0, 300));
  body_start_model(whole, pick_offset(size), in.ConsumeIntegral<std::uint16_t>());
  layout_model(in);
  return 0;
}
