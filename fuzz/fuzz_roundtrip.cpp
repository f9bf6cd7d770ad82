// Builds random valid tensors of every kind from the input (dense with any
// dtype, shape, alignment and options; sparse; bundles of nested packets;
// strings; quantized), encodes each with its *_required_size and
// encode_*_into pair, decodes the packet and aborts on any difference. Every
// encode also runs into a buffer one byte short (it must fail and write
// nothing) and into a longer one (nothing past the returned length written).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "vamra/bundle.hpp"
#include "vamra/decode.hpp"
#include "vamra/dense.hpp"
#include "vamra/quantized.hpp"
#include "vamra/sparse.hpp"
#include "vamra/string.hpp"

namespace {

using namespace vamra;
using Bytes = std::vector<std::byte>;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_roundtrip: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

bool same_bytes(ByteSpan a, ByteSpan b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

// What a packet must decode to.
struct ExpDense {
  Dtype dtype;
  Shape shape;
  Bytes data;
  EncodeOptions options;
};
struct ExpSparse;
struct ExpBundle;
struct ExpString {
  Shape shape;
  Bytes offsets;
  Bytes payload;
};
struct ExpQuantized {
  Shape shape;
  Bytes scales, zero_points, data;  // data: exactly the packed length
  std::uint32_t group_size;
  std::uint8_t scheme, axis;
  Dtype dtype;
};
struct Expect;
struct ExpEntry;
struct ExpBundle {
  std::vector<ExpEntry> entries;
};
struct ExpSparse {
  SparseFormat format;
  Shape shape;
  std::vector<ExpDense> components;
};
struct Expect : std::variant<ExpDense, ExpBundle, ExpSparse, ExpString, ExpQuantized> {
  using variant::variant;
};
struct ExpEntry {
  std::string key;
  Expect value;
};

constexpr std::byte SENTINEL{0xCD};

// Whether every byte of `s` is SENTINEL; memcmp keeps the per-byte loop out
// of the coverage-traced code.
bool untouched(ByteSpan s) {
  static const Bytes reference(4096, SENTINEL);
  for (std::size_t pos = 0; pos < s.size(); pos += reference.size()) {
    const std::size_t n = std::min(reference.size(), s.size() - pos);
    if (std::memcmp(s.data() + pos, reference.data(), n) != 0) return false;
  }
  return true;
}

// Runs `encode` three ways: into `required` + 32 sentinel bytes, into one byte
// less than it wrote, and returns the packet.
template <class Encode>
Bytes encode_checked(std::size_t required, bool exact, Encode&& encode) {
  Bytes out(required + 32, SENTINEL);
  const Result<std::size_t> written = encode(MutableByteSpan(out));
  check(written.has_value(), "encoder refused a valid tensor");
  check(*written <= required, "packet longer than its required size");
  if (exact) check(*written == required, "required size is not exact");
  check(untouched(ByteSpan(out).subspan(*written)), "encoder wrote past the packet");
  if (*written > 0) {
    Bytes shorter(*written - 1, SENTINEL);
    const Result<std::size_t> refused = encode(MutableByteSpan(shorter));
    check(!refused && refused.error().kind == ErrorKind::BufferTooSmall,
          "a short buffer was not BufferTooSmall");
    check(untouched(shorter), "a failed encoder wrote");
  }
  out.resize(*written);
  return out;
}

class Generator {
 public:
  explicit Generator(FuzzedDataProvider& in) : in_(in) {}

  // One random tensor; `nest` says how many more levels of bundles may follow.
  std::pair<Bytes, Expect> any(int nest) {
    switch (in_.ConsumeIntegralInRange(0, nest > 0 ? 5 : 3)) {
      case 0:
        return dense();
      case 1:
        return string();
      case 2:
        return quantized();
      case 3:
        return sparse();
      case 4:
        return bundle(nest - 1);
      default:
        return chain(nest - 1);
    }
  }

 private:
  Bytes bytes(std::size_t n) {
    std::vector<std::uint8_t> raw = in_.ConsumeBytes<std::uint8_t>(n);
    raw.resize(n);
    Bytes out(n);
    if (n != 0) std::memcpy(out.data(), raw.data(), n);
    return out;
  }

  // Up to `max_ndim` extents; the element count stays at most `max_count`.
  // Sometimes a long shape of ones and zeros, up to the 32-dimension limit.
  Shape shape(std::size_t max_ndim, std::uint64_t max_count) {
    Shape s;
    if (max_ndim >= MAX_NDIM && in_.ConsumeIntegralInRange(0, 15) == 0) {
      s.resize(in_.ConsumeIntegralInRange<std::size_t>(6, MAX_NDIM));
      for (auto& d : s) d = in_.ConsumeIntegralInRange(0, 7) == 0 ? 0 : 1;
      return s;
    }
    const std::size_t ndim =
        in_.ConsumeIntegralInRange<std::size_t>(0, std::min<std::size_t>(max_ndim, 4));
    std::uint64_t count = 1;
    for (std::size_t i = 0; i < ndim; ++i) {
      const std::uint64_t room = count == 0 ? 16 : max_count / count;
      const auto d = static_cast<std::uint32_t>(
          in_.ConsumeIntegralInRange<std::uint64_t>(0, std::min<std::uint64_t>(room, 16)));
      s.push_back(d);
      count *= d;
    }
    return s;
  }

  static std::uint64_t count_of(const Shape& s) {
    std::uint64_t n = 1;
    for (const auto d : s) n *= d;
    return n;
  }

  std::size_t alignment() { return std::size_t{1} << in_.ConsumeIntegralInRange(0, 12); }

  ExpDense dense_tensor(std::size_t max_ndim) {
    ExpDense t{static_cast<Dtype>(in_.ConsumeIntegralInRange(0, 14)), shape(max_ndim, 256), {}, {}};
    t.data = bytes(count_of(t.shape) * item_size(t.dtype));
    return t;
  }

  std::pair<Bytes, Expect> dense() {
    ExpDense t = dense_tensor(MAX_NDIM);
    t.options = {alignment(), in_.ConsumeBool(), in_.ConsumeBool()};
    const DenseView view{t.data, t.shape, t.dtype};
    const auto required = dense_required_size(view, t.options);
    check(required.has_value(), "dense_required_size refused a valid tensor");
    Bytes packet = encode_checked(*required, !t.options.compress, [&](MutableByteSpan out) {
      return encode_dense_into(view, out, t.options);
    });
    return {std::move(packet), Expect{std::move(t)}};
  }

  std::pair<Bytes, Expect> sparse() {
    ExpSparse s{static_cast<SparseFormat>(in_.ConsumeIntegralInRange(0, 2)), {}, {}};
    s.shape.resize(in_.ConsumeIntegralInRange<std::size_t>(0, 3));
    for (auto& d : s.shape) d = in_.ConsumeIntegral<std::uint32_t>();
    std::vector<DenseView> views;
    for (int i = 0; i < 3; ++i) s.components.push_back(dense_tensor(2));
    for (const auto& c : s.components) views.push_back({c.data, c.shape, c.dtype});
    const auto required = sparse_required_size(s.shape.size(), views);
    check(required.has_value(), "sparse_required_size refused valid components");
    Bytes packet = encode_checked(*required, true, [&](MutableByteSpan out) {
      return encode_sparse_into(s.format, s.shape, views, out);
    });
    return {std::move(packet), Expect{std::move(s)}};
  }

  std::string key() {
    static constexpr const char* PIECES[] = {"w", "bias", "é", "層", "😀", "", "k.0", "\x7f"};
    std::string k;
    const int n = in_.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < n; ++i) k += PIECES[in_.ConsumeIntegralInRange(0, 7)];
    return k;
  }

  std::pair<Bytes, Expect> frame_bundle(std::vector<std::pair<std::string, Bytes>> values,
                                        ExpBundle expect) {
    std::vector<BundleItem> items;
    for (const auto& [k, v] : values) {
      items.push_back({{reinterpret_cast<const std::byte*>(k.data()), k.size()}, v});
    }
    const auto required = bundle_required_size(items);
    check(required.has_value(), "bundle_required_size refused valid entries");
    Bytes packet = encode_checked(
        *required, true, [&](MutableByteSpan out) { return encode_bundle_into(items, out); });
    return {std::move(packet), Expect{std::move(expect)}};
  }

  std::pair<Bytes, Expect> bundle(int nest) {
    std::vector<std::pair<std::string, Bytes>> values;
    ExpBundle expect;
    const int n = in_.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < n; ++i) {
      std::string k = key();
      auto [packet, value] = any(nest);
      values.emplace_back(k, std::move(packet));
      expect.entries.push_back({std::move(k), std::move(value)});
    }
    return frame_bundle(std::move(values), std::move(expect));
  }

  // A value wrapped in 56 to 66 single-entry bundles, around the depth limit.
  std::pair<Bytes, Expect> chain(int nest) {
    auto [packet, value] = any(nest);
    const int levels = in_.ConsumeIntegralInRange(56, 66);
    for (int i = 0; i < levels; ++i) {
      ExpBundle wrapper;
      wrapper.entries.push_back({"k", std::move(value)});
      std::tie(packet, value) = frame_bundle({{"k", std::move(packet)}}, std::move(wrapper));
    }
    return {std::move(packet), std::move(value)};
  }

  std::pair<Bytes, Expect> string() {
    const auto count = in_.ConsumeIntegralInRange<std::uint32_t>(0, 24);
    std::vector<std::uint64_t> offsets{0};
    for (std::uint32_t i = 0; i < count; ++i) {
      offsets.push_back(offsets.back() + in_.ConsumeIntegralInRange<std::uint64_t>(0, 12));
    }
    ExpString s{{count}, {}, bytes(offsets.back())};
    const bool integrity = in_.ConsumeBool();
    // A broken offsets table must be refused before anything is written.
    if (count > 0 && in_.ConsumeIntegralInRange(0, 7) == 0) {
      std::vector<std::uint64_t> bad = offsets;
      const auto i = in_.ConsumeIntegralInRange<std::size_t>(0, count);
      // Not starting at 0, not ending at the payload length, or decreasing.
      bad[i] = (i == 0 || i == count) ? bad[i] + 1 : bad[i + 1] + 1;
      Bytes out(1024, SENTINEL);
      const auto refused = encode_string_into(count, bad, s.payload, out, integrity);
      check(!refused && refused.error().kind == ErrorKind::Malformed, "bad offsets accepted");
      check(untouched(out), "a refused string encode wrote");
    }
    for (const auto o : offsets) {
      for (int i = 0; i < 8; ++i) s.offsets.push_back(static_cast<std::byte>(o >> (8 * i)));
    }
    const auto required = string_required_size(count, s.payload.size(), integrity);
    check(required.has_value(), "string_required_size failed");
    Bytes packet = encode_checked(*required, true, [&](MutableByteSpan out) {
      return encode_string_into(count, offsets, s.payload, out, integrity);
    });
    return {std::move(packet), Expect{std::move(s)}};
  }

  std::pair<Bytes, Expect> quantized() {
    ExpQuantized q{shape(MAX_NDIM, 512),
                   {},
                   {},
                   {},
                   in_.ConsumeIntegral<std::uint32_t>(),
                   in_.ConsumeIntegral<std::uint8_t>(),
                   in_.ConsumeIntegral<std::uint8_t>(),
                   static_cast<Dtype>(in_.ConsumeIntegralInRange(15, 18))};
    const std::size_t n = in_.ConsumeIntegralInRange<std::size_t>(0, 8);
    q.scales = bytes(4 * n);
    q.zero_points = bytes(4 * n);
    const std::uint64_t count = count_of(q.shape);
    const bool nibbles = q.dtype == Dtype::QInt4 || q.dtype == Dtype::QUInt4;
    const std::size_t needed = nibbles ? (count + 1) / 2 : count;
    // Bytes beyond the packed length are given but must not be stored.
    Bytes given = bytes(needed + in_.ConsumeIntegralInRange<std::size_t>(0, 3));
    q.data.assign(given.begin(), given.begin() + static_cast<std::ptrdiff_t>(needed));
    const EncodeOptions options{alignment(), in_.ConsumeBool(), in_.ConsumeBool()};
    const QuantizedView view{q.shape,      q.scales, q.zero_points, given,
                             q.group_size, q.scheme, q.axis,        q.dtype};
    const auto required = quantized_required_size(view, options);
    check(required.has_value(), "quantized_required_size refused a valid tensor");
    Bytes packet = encode_checked(*required, true, [&](MutableByteSpan out) {
      return encode_quantized_into(view, out, options);
    });
    return {std::move(packet), Expect{std::move(q)}};
  }

  FuzzedDataProvider& in_;
};

// The error a decode must report, found by walking the expectation in packet
// order exactly as the decoder nests: too deep first, then the owning-path
// signal of a compressed body.
std::optional<CodecError> expected_error(const Expect& e, std::size_t depth, bool keep) {
  if (depth > MAX_DECODE_DEPTH) return CodecError{ErrorKind::Malformed};
  if (const auto* d = std::get_if<ExpDense>(&e)) {
    if (d->options.compress && !keep) {
      return CodecError{ErrorKind::Compression, 0, NEEDS_OWNING_PATH};
    }
  } else if (const auto* b = std::get_if<ExpBundle>(&e)) {
    for (const auto& entry : b->entries) {
      if (auto err = expected_error(entry.value, depth + 1, keep)) return err;
    }
  } else if (const auto* s = std::get_if<ExpSparse>(&e)) {
    for (const auto& c : s->components) {
      if (auto err = expected_error(Expect{c}, depth + 1, keep)) return err;
    }
  }
  return std::nullopt;
}

void compare_dense(const ExpDense& e, const Decoded& got, ByteSpan packet, bool top) {
  if (const auto* d = std::get_if<Dense>(&got)) {
    check(!e.options.compress, "a compressed packet decoded as Dense");
    check(d->dtype == e.dtype && d->shape == e.shape, "dense dtype or shape");
    check(same_bytes(d->data, e.data), "dense data");
    if (top && !e.data.empty()) {
      const auto offset = static_cast<std::size_t>(d->data.data() - packet.data());
      check(offset % e.options.alignment == 0, "dense body not aligned");
    }
    return;
  }
  const auto* c = std::get_if<CompressedDense>(&got);
  check(c != nullptr && e.options.compress, "dense packet decoded as another kind");
  check(c->dtype == e.dtype && c->shape == e.shape && c->size == e.data.size(),
        "compressed dtype, shape or size");
  Bytes out(c->size);
  const auto produced = decompress_into(*c, out);
  check(produced.has_value() && *produced == out.size(), "decompress_into failed");
  check(same_bytes(out, e.data), "decompressed data");
}

void compare(const Expect& e, const Decoded& got, ByteSpan packet, bool top) {
  if (const auto* d = std::get_if<ExpDense>(&e)) return compare_dense(*d, got, packet, top);
  if (const auto* b = std::get_if<ExpBundle>(&e)) {
    const auto* g = std::get_if<Bundle>(&got);
    check(g != nullptr && g->entries.size() == b->entries.size(), "bundle entries");
    for (std::size_t i = 0; i < b->entries.size(); ++i) {
      check(g->entries[i].key == b->entries[i].key, "bundle key");
      compare(b->entries[i].value, g->entries[i].value, packet, false);
    }
    return;
  }
  if (const auto* s = std::get_if<ExpSparse>(&e)) {
    const auto* g = std::get_if<Sparse>(&got);
    check(
        g != nullptr && g->format == s->format && g->shape == s->shape && g->components.size() == 3,
        "sparse format, shape or components");
    for (std::size_t i = 0; i < 3; ++i)
      compare_dense(s->components[i], g->components[i], packet, false);
    return;
  }
  if (const auto* s = std::get_if<ExpString>(&e)) {
    const auto* g = std::get_if<String>(&got);
    check(g != nullptr && g->shape == s->shape, "string shape");
    check(same_bytes(g->offsets, s->offsets) && same_bytes(g->payload, s->payload),
          "string offsets or payload");
    return;
  }
  const auto& q = std::get<ExpQuantized>(e);
  const auto* g = std::get_if<Quantized>(&got);
  check(g != nullptr && g->shape == q.shape && g->dtype == q.dtype, "quantized shape or dtype");
  check(g->group_size == q.group_size && g->quant_scheme == q.scheme && g->axis == q.axis,
        "quantized parameters");
  check(same_bytes(g->scales, q.scales) && same_bytes(g->zero_points, q.zero_points) &&
            same_bytes(g->data, q.data),
        "quantized scales, zero points or data");
}

void expect_decode(const Bytes& packet, const Expect& e, bool keep) {
  const auto got = decode(packet, DecodeOptions{.keep_compressed = keep});
  if (const auto err = expected_error(e, 0, keep)) {
    check(!got && got.error() == *err, "decode did not fail as expected");
    return;
  }
  check(got.has_value(), "decode of a valid packet failed");
  compare(e, *got, packet, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Generator generator(in);
  auto [packet, expect] = generator.any(3);

  expect_decode(packet, expect, false);
  expect_decode(packet, expect, true);

  const auto* dense = std::get_if<ExpDense>(&expect);
  if (dense != nullptr) {
    const auto owned = decode_dense_to_owned(packet);
    check(owned.has_value(), "decode_dense_to_owned failed on a dense packet");
    check(owned->dtype == dense->dtype && owned->shape == dense->shape &&
              same_bytes(owned->data.span(), dense->data),
          "decode_dense_to_owned result");
  }
  // Bytes after a packet are ignored, except after a compressed dense body,
  // which runs to the end of the input.
  if (dense == nullptr || !dense->options.compress) {
    const std::size_t extra = 1 + in.ConsumeIntegralInRange<std::size_t>(0, 15);
    Bytes longer = packet;
    for (std::size_t i = 0; i < extra; ++i) longer.push_back(static_cast<std::byte>(0x5A ^ i));
    expect_decode(longer, expect, true);
  }
  return 0;
}
