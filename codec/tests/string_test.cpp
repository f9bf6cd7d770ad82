#include "vamra/string.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace vamra::test {
namespace {

using Offsets = std::vector<std::uint64_t>;

Bytes encode_strings(const Offsets& offsets, const Bytes& payload, bool integrity) {
  const auto count = static_cast<std::uint32_t>(offsets.size() - 1);
  Bytes out(string_required_size(count, payload.size(), integrity).value());
  EXPECT_EQ(encode_string_into(count, offsets, payload, out, integrity).value(), out.size());
  return out;
}

// A body laid out by some other writer: any flags, shape and alignment.
Bytes offset_payload_packet(std::uint16_t flags, const Dims& shape, const Offsets& offsets,
                            const Bytes& payload, int exponent = -1) {
  Bytes p = v4_prefix(flags, 20, shape);
  if (exponent >= 0) p.push_back(std::byte(exponent));
  if (flags & FLAG_ALIGNED) pad_to(p, (p.size() + 63) / 64 * 64);
  if (exponent > 0) pad_to(p, (p.size() + (1u << exponent) - 1) >> exponent << exponent);
  const std::size_t body = p.size();
  for (auto o : offsets) put_u64(p, o);
  put(p, payload);
  if (flags & FLAG_INTEGRITY) put_u64(p, xxh3(ByteSpan(p).subspan(body)));
  return p;
}

TEST(StringEncode, LayoutsAndViews) {
  const struct {
    Offsets offsets;
    const char* payload;
    bool integrity;
    std::size_t size;
  } cases[] = {{{0}, "", false, 72},
               {{0}, "", true, 80},
               {{0, 1, 1, 3}, "abc", false, 99},
               {{0, 1, 1, 3}, "abc", true, 107},
               {{0, 0, 0}, "", true, 96}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const Bytes payload = text(c.payload);
    const auto count = static_cast<std::uint32_t>(c.offsets.size() - 1);
    ASSERT_EQ(string_required_size(count, payload.size(), c.integrity).value(), c.size);
    Bytes out(c.size + 8, std::byte{0xAB});
    ASSERT_EQ(encode_string_into(count, c.offsets, payload, out, c.integrity).value(), c.size);
    Bytes expected =
        offset_payload_packet(FLAG_STRING | FLAG_ALIGNED | (c.integrity ? FLAG_INTEGRITY : 0),
                              {count}, c.offsets, payload);
    ASSERT_EQ(expected.size(), c.size);
    expected.resize(c.size + 8, std::byte{0xAB});
    EXPECT_EQ(out, expected);
    const auto r = decode(out);
    const String& s = as<String>(r);
    EXPECT_EQ(s.shape, Dims{count});
    EXPECT_EQ(s.offsets.data(), out.data() + 64);
    EXPECT_EQ(s.offsets.size(), 8 * c.offsets.size());
    EXPECT_EQ(s.payload.data(), out.data() + 64 + 8 * c.offsets.size());
    EXPECT_EQ(copy(s.payload), payload);
  }
}

TEST(StringEncode, RefusedBeforeAnyWrite) {
  const struct {
    const char* name;
    std::uint32_t count;
    Offsets offsets;
    const char* payload;
    CodecError expected;
    std::size_t buffer = 256;
  } cases[] = {
      {"decreasing", 3, {0, 2, 1, 3}, "abc", {K::Malformed}},
      {"first not 0", 1, {1, 3}, "abc", {K::Malformed}},
      {"last not the payload length", 1, {0, 3}, "abcd", {K::Malformed}},
      {"too few offsets", 2, {0, 1}, "a", {K::Malformed}},
      {"too many offsets", 0, {0, 0}, "", {K::Malformed}},
      {"no offsets", 0, {}, "", {K::Malformed}},
      {"one byte short", 3, {0, 1, 1, 3}, "abc", {K::BufferTooSmall}, 98},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes payload = text(c.payload);
    for (bool integrity : {false, true}) {
      expect_untouched_failure(
          [&](MutableByteSpan out) {
            return encode_string_into(c.count, c.offsets, payload, out, integrity);
          },
          c.buffer + (integrity ? 8 : 0), c.expected);
    }
  }
}

TEST(StringDecode, ReaderChecks) {
  const Offsets offsets{0, 1, 1, 3};
  const Bytes payload = text("abc");
  const Bytes p = encode_strings(offsets, payload, true);
  expect_every_cut_too_short(p);
  auto with_offsets = [&](const Offsets& o, const Dims& shape = {3}) {
    return offset_payload_packet(FLAG_STRING | FLAG_ALIGNED, shape, o, payload);
  };
  // One byte past the end is short input, not a malformed table.
  EXPECT_ERR(decode(with_offsets({0, 1, 1, 4})), K::TooShort);
  EXPECT_ERR(decode(with_offsets({1, 1, 1, 3})), K::Malformed);
  EXPECT_ERR(decode(with_offsets({0, 2, 1, 3})), K::Malformed);
  EXPECT_ERR(decode(with_offsets({0, 1, 1, UINT64_MAX})), K::Malformed);
  EXPECT_ERR(decode(with_offsets({0, 1, 1, 3}, {4})), K::TooShort);
  EXPECT_ERR(decode(with_offsets({0, 1, 1, 3}, {0xFFFFFFFF})), K::TooShort);
  EXPECT_ERR(decode(with_offsets({0, 1, 1, 3}, Dims(33, 3))), K::TooManyDimensions);
  Bytes exponent64 =
      offset_payload_packet(FLAG_STRING | FLAG_CUSTOM_ALIGNMENT, {3}, offsets, payload, 0);
  exponent64[14] = std::byte{64};
  EXPECT_ERR(decode(exponent64), K::Malformed);
}

TEST(StringDecode, OtherWritersAndRagged) {
  const Offsets offsets{0, 2, 5};
  const Bytes payload = text("hello");
  auto expect_body_at = [&](const Bytes& p, std::size_t at, std::size_t count) {
    const auto r = decode(p);
    const auto& s = as<String>(r);
    EXPECT_EQ(s.offsets.data(), p.data() + at);
    EXPECT_EQ(s.offsets.size(), 8 * (count + 1));
    EXPECT_EQ(copy(s.payload),
              cut(payload, static_cast<std::size_t>(u64_at(s.offsets, 8 * count))));
  };
  expect_body_at(offset_payload_packet(FLAG_STRING, {2}, offsets, payload), 14, 2);
  expect_body_at(
      offset_payload_packet(FLAG_STRING | FLAG_CUSTOM_ALIGNMENT, {2}, offsets, payload, 0), 15, 2);
  expect_body_at(
      offset_payload_packet(FLAG_STRING | FLAG_CUSTOM_ALIGNMENT, {2}, offsets, payload, 3), 16, 2);
  // Extra extents stay in the shape; only the first counts.
  const Bytes shaped = offset_payload_packet(FLAG_STRING | FLAG_ALIGNED, {2, 7}, offsets, payload);
  expect_body_at(shaped, 64, 2);
  EXPECT_EQ(as<String>(decode(shaped)).shape, (Dims{2, 7}));
  // No extent: count 0 and a single offset, which must be 0.
  expect_body_at(offset_payload_packet(FLAG_STRING | FLAG_ALIGNED, {}, {0}, {}), 64, 0);
  EXPECT_ERR(decode(offset_payload_packet(FLAG_STRING | FLAG_ALIGNED, {}, {1}, {})), K::Malformed);
  // Compression and dtype bits do not matter to this body.
  Bytes odd = encode_strings(offsets, payload, true);
  odd[5] |= std::byte{FLAG_COMPRESSED};
  odd[7] = std::byte{1};
  expect_body_at(odd, 64, 2);

  Bytes ragged = encode_strings(offsets, payload, true);
  ragged[6] = std::byte{FLAG_RAGGED >> 8};
  const auto r = decode(ragged);
  const Ragged& g = as<Ragged>(r);
  EXPECT_EQ(g.shape, Dims{2});
  EXPECT_EQ(g.offsets.data(), ragged.data() + 64);
  EXPECT_EQ(g.payload.data(), ragged.data() + 88);
  EXPECT_EQ(g.payload.size(), 5u);
}

TEST(StringDecode, EveryCoveredByteFlippedIsDetected) {
  const Offsets offsets{0, 3, 3, 10};
  const Bytes payload = text("abcdefghij");
  const Bytes p = encode_strings(offsets, payload, true);
  for (std::size_t i = 14; i < p.size(); ++i) {
    const Bytes damaged = flipped(p, i);
    const auto r = decode(damaged);
    if (i < 64) {
      EXPECT_EQ(copy(as<String>(r).payload), payload) << i;
    } else if (i < 96) {
      EXPECT_FALSE(r) << i;  // a damaged table may already fail its own checks
    } else {
      EXPECT_ERR(r, K::IntegrityMismatch) << i;
    }
  }
}

}  // namespace
}  // namespace vamra::test
