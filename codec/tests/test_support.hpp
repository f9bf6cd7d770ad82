// Helpers shared by the codec tests: byte builders, checked encoders and
// assertions on CodecError results.
#pragma once

#include <gtest/gtest.h>
#include <xxhash.h>

#include <algorithm>
#include <initializer_list>
#include <ostream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "vamra/decode.hpp"
#include "vamra/dense.hpp"

namespace vamra {

inline void PrintTo(const CodecError& e, std::ostream* os) {
  *os << name(e.kind) << "{" << int{e.byte} << ", " << (e.text ? e.text : "-") << "}";
}

}  // namespace vamra

namespace vamra::test {

using Bytes = std::vector<std::byte>;
using Dims = std::vector<std::uint32_t>;
using K = ErrorKind;

inline Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

inline Bytes text(std::string_view s) {
  Bytes out(s.size());
  std::transform(s.begin(), s.end(), out.begin(), [](char c) { return std::byte(c); });
  return out;
}

// Deterministic bytes that LZ4 cannot shrink.
inline Bytes noise(std::size_t n, std::uint64_t seed = 0x9E3779B97F4A7C15u) {
  Bytes out(n);
  for (auto& b : out) {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    b = static_cast<std::byte>(seed >> 24);
  }
  return out;
}

// Bytes with plenty of repeats, but no single long run.
inline Bytes compressible(std::size_t n) {
  constexpr std::string_view WORDS = "tensor packet frame block offset shape ";
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<std::byte>(WORDS[(i * 7 / 5) % WORDS.size()] ^ ((i >> 11) & 3));
  }
  return out;
}

inline void put_u32(Bytes& p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p.push_back(static_cast<std::byte>(v >> (8 * i)));
}
inline void put_u64(Bytes& p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p.push_back(static_cast<std::byte>(v >> (8 * i)));
}
inline void put(Bytes& p, ByteSpan s) { p.insert(p.end(), s.begin(), s.end()); }
inline void pad_to(Bytes& p, std::size_t n) { p.resize(std::max(p.size(), n)); }
inline std::uint64_t u64_at(ByteSpan p, std::size_t i) { return load_u64(p.data() + i); }
inline std::uint64_t xxh3(ByteSpan s) { return XXH3_64bits(s.data(), s.size()); }
inline Bytes copy(ByteSpan s) { return Bytes(s.begin(), s.end()); }
inline Bytes cut(const Bytes& p, std::size_t n) { return Bytes(p.begin(), p.begin() + n); }
inline Bytes flipped(Bytes p, std::size_t i) {
  p[i] ^= std::byte{0x5A};
  return p;
}
inline Bytes with_byte(Bytes p, std::size_t i, int v) {
  p[i] = std::byte(v);
  return p;
}

// A version 4 (or 3) header followed by the shape; the caller appends the rest.
inline Bytes v4_prefix(std::uint16_t flags, std::uint8_t code, const Dims& shape,
                       std::uint8_t reserved = 0) {
  Bytes p = bytes({'V', 'M', 'R', 'A', 4, flags & 0xFF, flags >> 8, code,
                   static_cast<int>(shape.size()), reserved});
  for (auto d : shape) put_u32(p, d);
  return p;
}
inline Bytes v3_prefix(std::uint8_t flags, std::uint8_t code, const Dims& shape) {
  Bytes p = bytes({'V', 'M', 'R', 'A', 3, flags, code, static_cast<int>(shape.size())});
  for (auto d : shape) put_u32(p, d);
  return p;
}

// A dense tensor that owns its bytes.
struct Tensor {
  Dims shape;
  Dtype dtype;
  Bytes data;
  DenseView view() const { return {data, shape, dtype}; }
};

inline Tensor tensor(Dtype dtype, Dims shape, std::uint64_t seed = 7) {
  std::size_t count = 1;
  for (auto d : shape) count *= d;
  return {shape, dtype, noise(count * item_size(dtype), seed)};
}

inline Bytes encode_dense(const DenseView& view, const EncodeOptions& options = {}) {
  Bytes out(dense_required_size(view, options).value());
  out.resize(encode_dense_into(view, out, options).value());
  return out;
}

// The variant `T` of a successful decode; a failure or another variant fails the test.
// The value borrows the packet, so `r` must not be a temporary that outlives it.
template <class T>
const T& as(const Result<Decoded>& r) {
  if (!r) throw std::runtime_error("decode failed");
  return std::get<T>(*r);
}

template <class T>
::testing::AssertionResult is_error(const Result<T>& r, const CodecError& expected) {
  if (r.has_value()) return ::testing::AssertionFailure() << "succeeded, expected an error";
  if (r.error() == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << ::testing::PrintToString(r.error())
                                       << ", expected " << ::testing::PrintToString(expected);
}

#define EXPECT_ERR(expr, ...) EXPECT_TRUE(::vamra::test::is_error((expr), {__VA_ARGS__}))

inline bool all_bytes(const Bytes& b, std::byte v) {
  return std::all_of(b.begin(), b.end(), [v](std::byte x) { return x == v; });
}

// Runs `encode` on `size` bytes of 0xAB: it must fail with `expected` and leave them as they were.
template <class F>
void expect_untouched_failure(F&& encode, std::size_t size, const CodecError& expected) {
  Bytes buffer(size, std::byte{0xAB});
  EXPECT_TRUE(is_error(encode(MutableByteSpan(buffer)), expected));
  EXPECT_TRUE(all_bytes(buffer, std::byte{0xAB})) << "the output buffer was written";
}

// Every proper prefix of `packet` decodes to TooShort.
inline void expect_every_cut_too_short(const Bytes& packet) {
  for (std::size_t n = 0; n < packet.size(); ++n) {
    EXPECT_ERR(decode(cut(packet, n)), K::TooShort) << "cut at " << n;
  }
}

}  // namespace vamra::test
