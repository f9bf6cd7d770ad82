#include "vamra/quantized.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace vamra::test {
namespace {

// A quantized tensor that owns its bytes.
struct QTensor {
  Dims shape;
  Bytes scales, zero_points, data;
  Dtype dtype = Dtype::QInt8;
  std::uint32_t group_size = 0x01020304;
  std::uint8_t scheme = 7;
  std::uint8_t axis = 255;

  QuantizedView view() const {
    return {shape, scales, zero_points, data, group_size, scheme, axis, dtype};
  }
};

QTensor make_q(Dims shape, std::size_t scales, std::size_t zero_points, std::size_t data,
               Dtype dtype = Dtype::QInt8) {
  return {shape, noise(scales, 1), noise(zero_points, 2), noise(data, 3), dtype};
}
QTensor qint8x4() { return make_q({4}, 4, 4, 4); }

Bytes encode_quantized(const QuantizedView& v, const EncodeOptions& o = {}) {
  Bytes out(quantized_required_size(v, o).value());
  EXPECT_EQ(encode_quantized_into(v, out, o).value(), out.size());
  return out;
}

TEST(QuantizedEncode, QInt8FourElementLayouts) {
  const QTensor q = qint8x4();
  const struct {
    std::size_t alignment;
    bool integrity;
    std::uint16_t flags;
    std::size_t data_at, size;
  } cases[] = {{64, false, 0x01, 64, 68}, {64, true, 0x03, 64, 76}, {16, false, 0x80, 48, 52},
               {16, true, 0x82, 48, 60},  {1, false, 0x80, 33, 37}, {32, false, 0x80, 64, 68}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.alignment << (c.integrity ? " with footer" : ""));
    const EncodeOptions o{.alignment = c.alignment, .check_integrity = c.integrity};
    ASSERT_EQ(quantized_required_size(q.view(), o).value(), c.size);
    Bytes out(c.size + 8, std::byte{0xAB});
    ASSERT_EQ(encode_quantized_into(q.view(), out, o).value(), c.size);
    Bytes expected = v4_prefix(c.flags, 16, {4});
    Bytes params = bytes({7, 255, 4, 3, 2, 1, 1, 0, 0, 0});  // scheme, axis, group size, N
    put(params, q.scales);
    put(params, q.zero_points);
    put(expected, params);  // bytes 14 to 31
    if (c.alignment != 64) expected.push_back(std::byte{alignment_exponent(c.alignment)});
    pad_to(expected, c.data_at);
    put(expected, q.data);
    if (c.integrity) {
      put(params, q.data);
      put_u64(expected, xxh3(params));  // parameter block, then data
    }
    ASSERT_EQ(expected.size(), c.size);
    expected.resize(c.size + 8, std::byte{0xAB});
    EXPECT_EQ(out, expected);

    const Bytes packet = cut(out, c.size);
    const auto r = decode(packet);
    const Quantized& d = as<Quantized>(r);
    EXPECT_EQ(d.shape, Dims{4});
    EXPECT_EQ(copy(d.scales), q.scales);
    EXPECT_EQ(copy(d.zero_points), q.zero_points);
    EXPECT_EQ(copy(d.data), q.data);
    EXPECT_EQ(d.axis, 255u);
    EXPECT_EQ(d.group_size, 0x01020304u);
    EXPECT_EQ(d.quant_scheme, 7);
    EXPECT_EQ(d.dtype, Dtype::QInt8);
  }
}

TEST(QuantizedEncode, PackedLengthsAndEmptyParameters) {
  // Four-bit codes: ceil(n / 2) bytes, extra input ignored.
  const QTensor q = make_q({3}, 0, 0, 5, Dtype::QUInt4);
  const Bytes p = encode_quantized(q.view());
  ASSERT_EQ(p.size(), 66u);  // 24-byte parameter block end, padding, 2 data bytes
  const auto r = decode(p);
  EXPECT_EQ(copy(as<Quantized>(r).data), cut(q.data, 2));
  EXPECT_TRUE(as<Quantized>(r).scales.empty());
  for (auto [dtype, shape, len] :
       {std::tuple{Dtype::QInt4, Dims{2, 3}, 3u}, std::tuple{Dtype::QInt4, Dims{0}, 0u},
        std::tuple{Dtype::QUInt8, Dims{3}, 3u}, std::tuple{Dtype::QInt8, Dims{}, 1u}}) {
    const QTensor t = make_q(shape, 8, 8, len, dtype);
    const Bytes packet = encode_quantized(t.view(), {.check_integrity = true});
    const auto d = decode(packet);
    EXPECT_EQ(as<Quantized>(d).data.size(), len);
    EXPECT_EQ(as<Quantized>(d).dtype, dtype);
    EXPECT_EQ(copy(as<Quantized>(d).zero_points), t.zero_points);
  }
}

TEST(QuantizedEncode, RefusedBeforeAnyWrite) {
  const struct {
    const char* name;
    QTensor tensor;
    std::size_t alignment;
    CodecError expected;
    std::size_t buffer = 4096;
  } cases[] = {
      {"alignment 0, before the type", make_q({4}, 4, 4, 4, Dtype::Float32), 0, {K::Malformed}},
      {"alignment 48", qint8x4(), 48, {K::Malformed}},
      {"not quantized", make_q({4}, 4, 4, 4, Dtype::Float32), 64, {K::UnknownDtype, 1}},
      {"string", make_q({4}, 4, 4, 4, Dtype::String), 64, {K::UnknownDtype, 20}},
      {"33 dims", make_q(Dims(33, 1), 4, 4, 4), 64, {K::TooManyDimensions}},
      {"zero points longer", make_q({4}, 4, 8, 4), 64, {K::Malformed}},
      {"scales not whole", make_q({4}, 6, 6, 4), 64, {K::Malformed}},
      {"elements", make_q({100000, 10001}, 4, 4, 4), 64, {K::TooManyElements}},
      {"data short", make_q({4}, 4, 4, 3), 64, {K::Malformed}},
      {"nibbles short", make_q({5}, 4, 4, 2, Dtype::QInt4), 64, {K::Malformed}},
      {"one byte short", qint8x4(), 64, {K::BufferTooSmall}, 67},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const EncodeOptions o{.alignment = c.alignment};
    if (c.expected.kind != K::BufferTooSmall) {
      EXPECT_TRUE(is_error(quantized_required_size(c.tensor.view(), o), c.expected));
    }
    expect_untouched_failure(
        [&](MutableByteSpan out) { return encode_quantized_into(c.tensor.view(), out, o); },
        c.buffer, c.expected);
  }
}

TEST(QuantizedDecode, ReaderChecks) {
  const QTensor q = qint8x4();
  const Bytes p = encode_quantized(q.view(), {.alignment = 16, .check_integrity = true});
  expect_every_cut_too_short(p);
  EXPECT_ERR(decode(flipped(p, 32)), K::Malformed);  // exponent 4 ^ 0x5A
  Bytes e64 = p;
  e64[32] = std::byte{64};
  EXPECT_ERR(decode(e64), K::Malformed);
  Bytes many_scales = p;
  store_u32(many_scales.data() + 20, 0xFFFFFFFF);
  EXPECT_ERR(decode(many_scales), K::TooShort);
  // Compression bits and trailing bytes are ignored.
  Bytes odd = p;
  odd[5] |= std::byte{FLAG_COMPRESSED};
  put(odd, noise(9));
  EXPECT_EQ(copy(as<Quantized>(decode(odd)).data), q.data);
  // Codes 16 to 19 route here; the same bytes as dense would be read differently.
  for (int code : {17, 18, 19}) {
    Bytes other = encode_quantized(q.view());
    other[7] = std::byte(code);
    EXPECT_EQ(as<Quantized>(decode(other)).dtype, *dtype_from_code(code));
  }
}

class QuantizedIntegrity : public ::testing::TestWithParam<std::size_t> {};

TEST_P(QuantizedIntegrity, EveryCoveredByteFlippedIsDetected) {
  const QTensor q = make_q({2, 3}, 8, 8, 3, Dtype::QUInt4);
  const std::size_t alignment = GetParam();
  const Bytes p = encode_quantized(q.view(), {.alignment = alignment, .check_integrity = true});
  const std::size_t params_end = 18 + 10 + 16;
  const std::size_t data_at = p.size() - 3 - 8;
  for (std::size_t i = 18; i < p.size(); ++i) {
    const Bytes damaged = flipped(p, i);
    const auto r = decode(damaged);
    if (i >= 24 && i < 28) {
      EXPECT_FALSE(r) << i;  // the scale count moves everything after it
    } else if (i < params_end || i >= data_at) {
      EXPECT_ERR(r, K::IntegrityMismatch) << i;
    } else if (i > params_end || alignment == 64) {
      EXPECT_EQ(copy(as<Quantized>(r).data), q.data) << "padding byte " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Alignments, QuantizedIntegrity, ::testing::Values(1, 8, 64, 256));

}  // namespace
}  // namespace vamra::test
