#include "vamra/header.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace vamra::test {
namespace {

TEST(ParseHeader, Versions) {
  const auto v3 = parse_header(bytes({'V', 'M', 'R', 'A', 3, 0xFF, 0xEE, 0}));
  ASSERT_TRUE(v3);
  EXPECT_EQ(v3->version, 3);
  EXPECT_EQ(v3->header_len, 8u);
  EXPECT_EQ(v3->flags, 0xFF);  // the dtype byte after the flags never widens them
  EXPECT_EQ(v3->dtype_code, 0xEE);
  EXPECT_EQ(v3->ndim, 0u);
  const auto v4 = parse_header(bytes({'V', 'M', 'R', 'A', 4, 0x34, 0x12, 9, 200, 0x77}));
  ASSERT_TRUE(v4);
  EXPECT_EQ(v4->header_len, 10u);
  EXPECT_EQ(v4->flags, 0x1234);
  EXPECT_EQ(v4->dtype_code, 9);
  EXPECT_EQ(v4->ndim, 200u);  // neither ndim nor the reserved byte is judged here
}

TEST(ParseHeader, ErrorsInOrder) {
  EXPECT_ERR(parse_header(bytes({'V', 'M', 'R', 'A', 4, 1, 0, 1})), K::TooShort);
  for (int v : {0, 2, 5, 255}) {
    EXPECT_ERR(parse_header(bytes({'V', 'M', 'R', 'A', v, 0, 0, 0, 0, 0})), K::UnsupportedVersion,
               static_cast<std::uint8_t>(v));
  }
  for (int v : {3, 4}) {  // the magic is checked whatever the version says
    EXPECT_ERR(parse_header(bytes({'V', 'M', 'R', 'a', v, 0, 0, 0, 0, 0})), K::InvalidMagic);
  }
  // Short input is reported before the magic is looked at.
  const Bytes junk = bytes({'X', 'X', 'X', 'X', 9, 0, 0});
  for (std::size_t n = 0; n < 8; ++n) EXPECT_ERR(parse_header(cut(junk, n)), K::TooShort);
}

TEST(WriteV4Header, WritesTenBytesOnly) {
  Bytes out(12, std::byte{0xAB});
  write_v4_header(out, 0x0483, 14, 3);
  EXPECT_EQ(out, bytes({'V', 'M', 'R', 'A', 4, 0x83, 0x04, 14, 3, 0, 0xAB, 0xAB}));
}

TEST(ReadShape, LimitsAndByteOrder) {
  Bytes p = v4_prefix(0, 1, {0x04030201, 7});
  EXPECT_EQ(read_shape(p, 10, 2).value(), (Dims{0x04030201, 7}));
  EXPECT_EQ(read_shape(p, 10, 0).value(), Dims{});
  EXPECT_ERR(read_shape(cut(p, 17), 10, 2), K::TooShort);
  p.resize(400);
  EXPECT_ERR(read_shape(p, 10, 33), K::TooManyDimensions);  // even with the bytes there
  EXPECT_TRUE(read_shape(p, 10, 32));
  EXPECT_ERR(read_shape(p, SIZE_MAX - 3, 1), K::Malformed);
}

TEST(ElementCount, ProductAndLimit) {
  EXPECT_EQ(element_count(Dims{}).value(), 1u);
  EXPECT_EQ(element_count(Dims{0, 5}).value(), 0u);
  EXPECT_EQ(element_count(Dims{100000, 10000}).value(), 1'000'000'000u);
  EXPECT_ERR(element_count(Dims{100000, 10001}), K::TooManyElements);
  // Overflow is caught at the step where it happens, even if a later zero would cancel it.
  EXPECT_ERR(element_count(Dims{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0}), K::TooManyElements);
  EXPECT_EQ(element_count(Dims{0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}).value(), 0u);
}

TEST(DenseLayout, PrefixAndPadding) {
  const struct {
    std::size_t ndim, alignment, prefix_len, padding;
  } cases[] = {{2, 64, 18, 46}, {2, 16, 19, 13},     {2, 1, 19, 0},   {0, 64, 10, 54},
               {0, 1, 11, 0},   {1, 4096, 15, 4081}, {13, 64, 62, 2}, {32, 64, 138, 54},
               {1, 2, 15, 1},   {2, 128, 19, 109}};
  for (const auto& c : cases) {
    const Tensor t = tensor(Dtype::UInt8, Dims(c.ndim, 1));
    const auto layout = dense_layout(t.view(), c.alignment);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->prefix_len, c.prefix_len) << c.ndim << " " << c.alignment;
    EXPECT_EQ(layout->padding, c.padding) << c.ndim << " " << c.alignment;
    EXPECT_EQ(layout->custom_alignment, c.alignment != 64);
  }
}

TEST(DenseLayout, ChecksInOrder) {
  const Dims dims33(33, 1), too_big{100000, 10001};
  const Bytes none, one(1);
  auto layout = [](ByteSpan data, const Dims& shape, Dtype dtype, std::size_t alignment = 64) {
    return dense_layout(DenseView{data, shape, dtype}, alignment);
  };
  for (std::size_t a : {0u, 3u, 48u, 96u}) {
    EXPECT_ERR(layout(none, dims33, Dtype::QInt4, a), K::Malformed);
  }
  EXPECT_ERR(layout(none, dims33, Dtype::QInt4), K::TooManyDimensions);
  EXPECT_ERR(layout(none, too_big, Dtype::QInt4), K::TooManyElements);
  EXPECT_ERR(layout(one, {}, Dtype::QInt4), K::UnknownDtype, 18);
  EXPECT_ERR(layout(one, {}, Dtype::QUInt4), K::UnknownDtype, 19);
  EXPECT_ERR(layout(one, {}, Dtype::String), K::UnknownDtype, 20);
  EXPECT_ERR(layout(one, {}, Dtype::Bytes), K::UnknownDtype, 21);
  EXPECT_TRUE(layout(one, {}, Dtype::QInt8));  // a scalar of item size 1
  EXPECT_TRUE(layout(none, {0, 5}, Dtype::Float64));
  EXPECT_ERR(layout(one, {0, 5}, Dtype::Float64), K::Malformed);
  // One byte short is a malformed request, not a short input.
  EXPECT_ERR(layout(Bytes(7), {}, Dtype::Float64), K::Malformed);
  EXPECT_ERR(layout(Bytes(9), {}, Dtype::Float64), K::Malformed);
}

TEST(AlignedBodyStart, AlignmentRule) {
  Bytes p(40);
  EXPECT_EQ(aligned_body_start(p, 18, 0).value(), 18u);
  EXPECT_EQ(aligned_body_start(p, 18, FLAG_ALIGNED).value(), 64u);
  EXPECT_EQ(aligned_body_start(p, 64, FLAG_ALIGNED).value(), 64u);
  p[18] = std::byte{4};
  EXPECT_EQ(aligned_body_start(p, 18, FLAG_CUSTOM_ALIGNMENT).value(), 32u);
  EXPECT_EQ(aligned_body_start(p, 18, FLAG_CUSTOM_ALIGNMENT | FLAG_ALIGNED).value(), 32u);
  p[18] = std::byte{0};
  EXPECT_EQ(aligned_body_start(p, 18, FLAG_CUSTOM_ALIGNMENT).value(), 19u);
  p[18] = std::byte{63};
  EXPECT_EQ(aligned_body_start(p, 18, FLAG_CUSTOM_ALIGNMENT).value(), std::size_t{1} << 63);
  p[18] = std::byte{64};
  EXPECT_ERR(aligned_body_start(p, 18, FLAG_CUSTOM_ALIGNMENT), K::Malformed);
  EXPECT_ERR(aligned_body_start(p, 40, FLAG_CUSTOM_ALIGNMENT), K::TooShort);
  EXPECT_EQ(alignment_exponent(std::size_t{1} << 63), 63);
}

TEST(Dtype, WireTable) {
  // Name and dense item size by wire code 1 to 21: part of the wire contract.
  const std::pair<const char*, std::size_t> table[] = {
      {"float32", 4}, {"int32", 4},  {"float64", 8},   {"int64", 8},       {"uint8", 1},
      {"uint16", 2},  {"bool", 1},   {"float16", 2},   {"int8", 1},        {"int16", 2},
      {"uint32", 4},  {"uint64", 8}, {"complex64", 8}, {"complex128", 16}, {"bfloat16", 2},
      {"qint8", 1},   {"quint8", 1}, {"qint4", 0},     {"quint4", 0},      {"string", 0},
      {"bytes", 0}};
  for (int code = 1; code <= 21; ++code) {
    const auto d = dtype_from_code(static_cast<std::uint8_t>(code));
    ASSERT_TRUE(d) << code;
    EXPECT_EQ(wire_code(*d), code);
    EXPECT_EQ(dtype_name(*d), table[code - 1].first);
    EXPECT_EQ(item_size(*d), table[code - 1].second) << code;
    EXPECT_EQ(dtype_from_name(table[code - 1].first), d);
    EXPECT_EQ(is_quantized(*d), code >= 16 && code <= 19) << code;
  }
  for (int code : {0, 22, 255}) EXPECT_FALSE(dtype_from_code(static_cast<std::uint8_t>(code)));
  for (auto name : {"Float32", "float", "", "float32 "}) EXPECT_FALSE(dtype_from_name(name));
}

TEST(ErrorKind, NamesFollowTheFixedOrder) {
  // The index of a kind is part of the contract with the Python layer.
  constexpr std::string_view names[] = {
      "TooShort",          "InvalidMagic",    "UnsupportedVersion", "UnknownDtype",
      "TooManyDimensions", "TooManyElements", "IntegrityMismatch",  "TooManyBundleEntries",
      "Compression",       "BufferTooSmall",  "Malformed",          "OutOfMemory"};
  for (std::size_t i = 0; i < std::size(names); ++i) {
    EXPECT_EQ(name(static_cast<ErrorKind>(i)), names[i]) << i;
  }
  EXPECT_EQ(name(static_cast<ErrorKind>(std::size(names))), "unknown");
}

}  // namespace
}  // namespace vamra::test
