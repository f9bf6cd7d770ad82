#include "vamra/dense.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace vamra::test {
namespace {

// float32 [2, 3]: every byte of the packet, and nothing written after it.
TEST(DenseEncode, ExactLayouts) {
  const Tensor t = tensor(Dtype::Float32, {2, 3});
  const struct {
    std::size_t alignment;
    bool integrity;
    std::uint16_t flags;
    std::size_t body_at, total;
  } cases[] = {{64, false, 0x01, 64, 88},      {64, true, 0x03, 64, 96}, {16, false, 0x80, 32, 56},
               {16, true, 0x82, 32, 64},       {1, false, 0x80, 19, 43}, {8, true, 0x82, 24, 56},
               {4096, false, 0x80, 4096, 4120}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.alignment << (c.integrity ? " with footer" : ""));
    const EncodeOptions options{.alignment = c.alignment, .check_integrity = c.integrity};
    ASSERT_EQ(dense_required_size(t.view(), options).value(), c.total);
    Bytes out(c.total + 16, std::byte{0xAB});
    ASSERT_EQ(encode_dense_into(t.view(), out, options).value(), c.total);
    Bytes expected = v4_prefix(c.flags, 1, {2, 3});
    if (c.alignment != 64) expected.push_back(std::byte{alignment_exponent(c.alignment)});
    pad_to(expected, c.body_at);
    put(expected, t.data);
    if (c.integrity) put_u64(expected, xxh3(t.data));
    expected.resize(c.total + 16, std::byte{0xAB});
    EXPECT_EQ(out, expected);
  }
}

// The prefix writer lays out exactly the bytes before the body, as the packet
// writer does, at every alignment and option, and nothing after them.
TEST(DenseEncode, PrefixIsThePacketUpToItsBody) {
  const Tensor t = tensor(Dtype::Int16, {3, 5});
  for (const std::size_t alignment : {1, 8, 64, 4096}) {
    for (const bool integrity : {false, true}) {
      for (const bool compress : {false, true}) {
        SCOPED_TRACE(testing::Message() << alignment << integrity << compress);
        const EncodeOptions options{alignment, integrity, compress};
        const DenseLayout layout = dense_layout(t.view(), alignment).value();
        const std::size_t prefix = layout.prefix_len + layout.padding;
        Bytes out(prefix + 8, std::byte{0xAB});
        ASSERT_EQ(write_dense_prefix(t.view(), layout, options, out), prefix);
        const Bytes packet = encode_dense(t.view(), options);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + prefix, packet.begin()));
        EXPECT_EQ(Bytes(out.begin() + prefix, out.end()), Bytes(8, std::byte{0xAB}));
      }
    }
  }
}

TEST(DenseEncode, ScalarEmptyAndByteTypes) {
  const Tensor scalar = tensor(Dtype::Float64, {});
  const Bytes p = encode_dense(scalar.view());
  ASSERT_EQ(p.size(), 72u);
  EXPECT_EQ(p[8], std::byte{0});
  EXPECT_EQ(copy(ByteSpan(p).subspan(64)), scalar.data);
  // An empty body still gets its footer, the hash of nothing, at the body start.
  const Bytes e = encode_dense(tensor(Dtype::Int16, {0}).view(), {.check_integrity = true});
  ASSERT_EQ(e.size(), 72u);
  EXPECT_EQ(u64_at(e, 64), xxh3({}));
  for (Dtype d : {Dtype::QInt8, Dtype::QUInt8}) {
    EXPECT_EQ(encode_dense(tensor(d, {5}).view()).size(), 69u);
  }
}

TEST(DenseEncode, RefusedBeforeAnyWrite) {
  const struct {
    const char* name;
    Tensor tensor;
    std::size_t alignment;
    CodecError expected;
  } cases[] = {
      {"alignment 0", tensor(Dtype::Int8, {4}), 0, {K::Malformed}},
      {"alignment 48", tensor(Dtype::Int8, {4}), 48, {K::Malformed}},
      {"33 dimensions", {Dims(33, 1), Dtype::Int8, Bytes(1)}, 64, {K::TooManyDimensions}},
      {"elements", {{100000, 10001}, Dtype::Int8, {}}, 64, {K::TooManyElements}},
      {"qint4", {{2}, Dtype::QInt4, Bytes(1)}, 64, {K::UnknownDtype, 18}},
      {"quint4", {{2}, Dtype::QUInt4, Bytes(1)}, 64, {K::UnknownDtype, 19}},
      {"string", {{2}, Dtype::String, Bytes(2)}, 64, {K::UnknownDtype, 20}},
      {"bytes", {{2}, Dtype::Bytes, Bytes(2)}, 64, {K::UnknownDtype, 21}},
      {"data short", {{2, 2}, Dtype::Int32, Bytes(15)}, 64, {K::Malformed}},
      {"data long", {{2, 2}, Dtype::Int32, Bytes(17)}, 16, {K::Malformed}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool compress : {false, true}) {
      const EncodeOptions options{.alignment = c.alignment, .compress = compress};
      EXPECT_TRUE(is_error(dense_required_size(c.tensor.view(), options), c.expected));
      expect_untouched_failure(
          [&](MutableByteSpan out) { return encode_dense_into(c.tensor.view(), out, options); },
          8192, c.expected);
    }
  }
}

TEST(DenseEncode, BufferBoundary) {
  const Tensor t = tensor(Dtype::Complex64, {7});
  for (EncodeOptions o : {EncodeOptions{}, EncodeOptions{.alignment = 1, .check_integrity = true},
                          EncodeOptions{.compress = true},
                          EncodeOptions{.check_integrity = true, .compress = true}}) {
    const auto bound = dense_required_size(t.view(), o).value();
    Bytes out(bound);
    const auto written = encode_dense_into(t.view(), out, o);
    ASSERT_TRUE(written);
    EXPECT_TRUE(o.compress || *written == bound);  // exact without compression
    expect_untouched_failure([&](MutableByteSpan b) { return encode_dense_into(t.view(), b, o); },
                             *written - 1, {K::BufferTooSmall});
  }
}

// Data lengths around the block-size thresholds, incompressible and compressible.
class DenseCompression : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {};

TEST_P(DenseCompression, FrameSettingsAndBound) {
  const auto [n, random] = GetParam();
  const Tensor t{
      {static_cast<std::uint32_t>(n)}, Dtype::UInt8, random ? noise(n) : compressible(n)};
  const EncodeOptions options{.check_integrity = true, .compress = true};
  const auto bound = dense_required_size(t.view(), options).value();
  Bytes out(bound + 8, std::byte{0xAB});
  const auto written = encode_dense_into(t.view(), out, options);
  ASSERT_TRUE(written);
  ASSERT_LE(*written, bound);
  EXPECT_TRUE(all_bytes(Bytes(out.begin() + *written, out.end()), std::byte{0xAB}));
  out.resize(*written);
  EXPECT_EQ(out[5], std::byte{FLAG_ALIGNED | FLAG_INTEGRITY | FLAG_COMPRESSED});
  EXPECT_TRUE(!random || *written > 64 + n + 8);  // compressed even when the frame is larger

  // Frame descriptor: version 1, independent blocks, no checksums, no content size, and
  // 64 KiB / 256 KiB / 4 MiB blocks by length.
  const ByteSpan frame = ByteSpan(out).subspan(64, *written - 72);
  EXPECT_EQ(load_u32(frame.data()), 0x184D2204u);
  EXPECT_EQ(frame[4], std::byte{0x60});
  EXPECT_EQ(frame[5], std::byte((n <= 65536 ? 4 : n <= 262144 ? 5 : 7) << 4));
  EXPECT_EQ(u64_at(out, *written - 8), xxh3(frame));
  EXPECT_EQ(copy(decode_dense_to_owned(out).value().data.span()), t.data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DenseCompression,
                         ::testing::Combine(::testing::Values(0, 1, 1000, 65536, 65537, 262144,
                                                              262145, 5 << 20),
                                            ::testing::Bool()));

}  // namespace
}  // namespace vamra::test
