#include "vamra/bundle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "test_support.hpp"
#include "vamra/string.hpp"

namespace vamra::test {
namespace {

struct Entry {
  Bytes key, value;
};

Bytes encode_bundle(const std::vector<Entry>& entries) {
  std::vector<BundleItem> items;
  for (const Entry& e : entries) items.push_back({e.key, e.value});
  Bytes out(bundle_required_size(items).value());
  EXPECT_EQ(encode_bundle_into(items, out).value(), out.size());
  return out;
}

TEST(BundleEncode, EmptyAndSingleEntryLayouts) {
  const Bytes empty = encode_bundle({});
  EXPECT_EQ(empty, bytes({'V', 'M', 'R', 'A', 4, 0x10, 0, 0, 0, 0}));
  EXPECT_TRUE(as<Bundle>(decode(empty)).entries.empty());
  Bytes trailing = empty;  // a count of 0 ignores whatever follows
  put(trailing, noise(7));
  EXPECT_TRUE(as<Bundle>(decode(trailing)).entries.empty());

  const Tensor t = tensor(Dtype::Int64, {3});
  const Bytes value = encode_dense(t.view());
  const Bytes p = encode_bundle({{text("x"), value}});
  ASSERT_EQ(p.size(), 19 + value.size());
  Bytes expected = bytes({'V', 'M', 'R', 'A', 4, 0x10, 0, 0, 1, 0});
  put_u32(expected, 1);
  expected.push_back(std::byte{'x'});
  put_u32(expected, static_cast<std::uint32_t>(value.size()));
  put(expected, value);
  EXPECT_EQ(p, expected);

  const auto r = decode(p);
  const Bundle& b = as<Bundle>(r);
  ASSERT_EQ(b.entries.size(), 1u);
  EXPECT_EQ(b.entries[0].key, "x");
  const Dense& d = std::get<Dense>(b.entries[0].value);
  EXPECT_EQ(d.data.data(), p.data() + 19 + 64);  // a view into the bundle's own bytes
  EXPECT_EQ(copy(d.data), t.data);
}

TEST(BundleEncode, EntryCountLimit) {
  const Bytes value = v4_prefix(FLAG_BUNDLE, 0, {});
  std::vector<Entry> entries;
  for (int i = 0; i < 255; ++i) entries.push_back({text("k" + std::to_string(i)), value});
  const Bytes p = encode_bundle(entries);
  EXPECT_EQ(p[8], std::byte{255});
  const auto r = decode(p);
  ASSERT_EQ(as<Bundle>(r).entries.size(), 255u);
  EXPECT_EQ(as<Bundle>(r).entries[254].key, "k254");

  // 256 entries fail first, whatever the buffer and even with an unrepresentable value.
  std::vector<BundleItem> items(256, BundleItem{text("k"), value});
  items[0].value = ByteSpan(value.data(), std::size_t{1} << 33);
  EXPECT_ERR(bundle_required_size(items), K::TooManyBundleEntries);
  expect_untouched_failure([&](MutableByteSpan out) { return encode_bundle_into(items, out); },
                           1 << 16, {K::TooManyBundleEntries});
  expect_untouched_failure([&](MutableByteSpan out) { return encode_bundle_into(items, out); }, 0,
                           {K::TooManyBundleEntries});
}

TEST(BundleEncode, LengthFieldLimitsAndBufferSize) {
  // Sizes only: the encoder refuses such spans before reading any byte of them.
  const Bytes small(8);
  const ByteSpan max32(small.data(), 0xFFFFFFFFu);
  const ByteSpan over32(small.data(), std::size_t{0x100000000});
  const BundleItem fits[] = {{max32, small}, {small, max32}};
  EXPECT_EQ(bundle_required_size(fits).value(), 10 + 2 * (8 + 0xFFFFFFFFull + 8));
  for (const BundleItem& bad : {BundleItem{over32, small}, BundleItem{small, over32}}) {
    const BundleItem items[] = {{small, small}, bad};
    EXPECT_ERR(bundle_required_size(items), K::Malformed);
    expect_untouched_failure([&](MutableByteSpan out) { return encode_bundle_into(items, out); },
                             256, {K::Malformed});
  }
  const BundleItem items[] = {{small, small}};
  expect_untouched_failure([&](MutableByteSpan out) { return encode_bundle_into(items, out); }, 33,
                           {K::BufferTooSmall});
}

// The writer frames what encode_bundle_into frames, with each value written
// into the span it hands back: here a dense packet and a nested bundle
// written in place, as the Python module writes dictionaries.
TEST(BundleWriter, PlacesValuesInTheFrameItWrites) {
  const Bytes value = encode_dense(tensor(Dtype::Float32, {2, 3}).view());
  const Bytes inner = encode_bundle({{text("in"), value}});
  const Bytes expected = encode_bundle({{text("a"), value}, {{}, {}}, {text("nest"), inner}});

  Bytes out(expected.size() + 5, std::byte{0xAB});
  auto writer = BundleWriter::start(out, 3);
  ASSERT_TRUE(writer);
  auto slot = writer->next(text("a"), value.size());
  ASSERT_TRUE(slot);
  std::copy(value.begin(), value.end(), slot->begin());
  ASSERT_TRUE(writer->next({}, 0).value().empty());
  slot = writer->next(text("nest"), inner.size());
  ASSERT_TRUE(slot);
  auto nested = BundleWriter::start(*slot, 1);
  ASSERT_TRUE(nested);
  const auto nested_slot = nested->next(text("in"), value.size());
  ASSERT_TRUE(nested_slot);
  std::copy(value.begin(), value.end(), nested_slot->begin());
  EXPECT_EQ(nested->finish().value(), inner.size());

  EXPECT_EQ(writer->finish().value(), expected.size());
  EXPECT_EQ(Bytes(out.begin(), out.begin() + expected.size()), expected);
  EXPECT_TRUE(all_bytes(Bytes(out.begin() + expected.size(), out.end()), std::byte{0xAB}));
}

TEST(BundleWriter, SizeMatchesTheRequiredSize) {
  const Bytes small(8);
  const ByteSpan max32(small.data(), 0xFFFFFFFFu);
  const BundleItem items[] = {{text("key"), small}, {{}, {}}, {max32, small}, {small, max32}};
  BundleSize size;
  EXPECT_EQ(size.total(), 10u);
  for (const BundleItem& item : items) ASSERT_TRUE(size.add(item.key.size(), item.value.size()));
  EXPECT_EQ(size.total(), bundle_required_size(items).value());
  // A field too long for 32 bits is refused and leaves the total as it was.
  const std::size_t before = size.total();
  EXPECT_ERR(size.add(std::size_t{0x100000000}, 0), K::Malformed);
  EXPECT_ERR(size.add(0, std::size_t{0x100000000}), K::Malformed);
  EXPECT_EQ(size.total(), before);
}

// A writer that learns each value's length only after writing the value
// (the streaming writer) frames entries with a length of 0 and fills it in.
TEST(BundleWriter, EntryFramedBeforeItsLengthIsKnown) {
  const Bytes value = encode_dense(tensor(Dtype::Int16, {5}).view());
  const Bytes expected = encode_bundle({{text("weights"), value}});

  Bytes out(expected.size(), std::byte{0xAB});
  ASSERT_TRUE(BundleWriter::start(out, 1));
  const Bytes key = text("weights");
  const std::size_t head =
      write_bundle_entry_head(MutableByteSpan(out).subspan(V4_HEADER_LEN), key, 0);
  ASSERT_EQ(head, bundle_entry_head_size(key.size()));
  std::copy(value.begin(), value.end(), out.begin() + V4_HEADER_LEN + head);
  set_bundle_value_length(out.data() + V4_HEADER_LEN + bundle_value_length_offset(key.size()),
                          value.size());
  EXPECT_EQ(out, expected);
}

TEST(BundleWriter, StartRefusesBeforeWriting) {
  expect_untouched_failure([](MutableByteSpan out) { return BundleWriter::start(out, 256); }, 64,
                           {K::TooManyBundleEntries});
  expect_untouched_failure([](MutableByteSpan out) { return BundleWriter::start(out, 0); }, 9,
                           {K::BufferTooSmall});
  Bytes header(10);
  auto writer = BundleWriter::start(header, 0);
  ASSERT_TRUE(writer);
  EXPECT_EQ(writer->finish().value(), 10u);
  EXPECT_EQ(header, encode_bundle({}));
}

// A refused entry leaves every byte after the frame written so far as it was.
TEST(BundleWriter, NextRefusesEntriesItCannotFrame) {
  const Bytes key = text("k");  // an entry of 4 + 1 + 4 framing bytes, then its value
  struct Case {
    const char* name;
    std::size_t announced, buffer, value_size;
    ErrorKind expected;
  };
  for (const Case& c : {Case{"one byte short", 1, 10 + 9 + 3, 4, K::BufferTooSmall},
                        Case{"value over 32 bits", 1, 64, std::size_t{1} << 32, K::Malformed},
                        Case{"more entries than announced", 0, 64, 0, K::Malformed}}) {
    SCOPED_TRACE(c.name);
    Bytes out(c.buffer, std::byte{0xAB});
    auto writer = BundleWriter::start(out, c.announced);
    ASSERT_TRUE(writer);
    EXPECT_ERR(writer->next(key, c.value_size), c.expected);
    EXPECT_TRUE(all_bytes(Bytes(out.begin() + 10, out.end()), std::byte{0xAB}));
  }
}

TEST(BundleWriter, FinishNeedsEveryAnnouncedEntry) {
  Bytes out(10 + 2 * 9);  // exactly two entries with empty values
  auto writer = BundleWriter::start(out, 2);
  ASSERT_TRUE(writer);
  ASSERT_TRUE(writer->next(text("x"), 0));
  EXPECT_ERR(writer->finish(), K::Malformed);
  ASSERT_TRUE(writer->next(text("y"), 0));
  EXPECT_EQ(writer->finish().value(), out.size());
  EXPECT_ERR(writer->next(text("z"), 0), K::Malformed);
  EXPECT_EQ(out, encode_bundle({{text("x"), {}}, {text("y"), {}}}));
}

TEST(BundleDecode, OrderDuplicatesAndMixedValues) {
  const Tensor t = tensor(Dtype::UInt16, {2, 2});
  const std::uint64_t offsets[] = {0, 2, 2, 5};
  const Bytes payload = text("abcde");
  Bytes strings(string_required_size(3, 5, true).value());
  ASSERT_TRUE(encode_string_into(3, offsets, payload, strings, true));
  const Bytes inner = encode_bundle({{text("deep"), encode_dense(t.view())}});
  // Keys are bytes: an embedded NUL and multi-byte characters survive as they are.
  const std::string nul_key("a\0b", 3);
  const Bytes p = encode_bundle({{text("dup"), encode_dense(t.view())},
                                 {text(nul_key), strings},
                                 {text("dup"), inner},
                                 {text("\xC3\xA9t\xC3\xA9"), v4_prefix(FLAG_BUNDLE, 0, {})},
                                 {{}, encode_dense(t.view(), {.alignment = 1})}});
  const auto r = decode(p);
  const auto& e = as<Bundle>(r).entries;
  ASSERT_EQ(e.size(), 5u);
  EXPECT_EQ(e[0].key, "dup");
  EXPECT_EQ(e[2].key, "dup");
  EXPECT_EQ(e[1].key, nul_key);
  EXPECT_EQ(e[3].key, "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(e[4].key, "");
  EXPECT_EQ(copy(std::get<Dense>(e[0].value).data), t.data);
  EXPECT_EQ(copy(std::get<String>(e[1].value).payload), payload);
  EXPECT_EQ(std::get<Bundle>(e[2].value).entries.at(0).key, "deep");
  EXPECT_TRUE(std::get<Bundle>(e[3].value).entries.empty());
  EXPECT_EQ(copy(std::get<Dense>(e[4].value).data), t.data);
}

TEST(BundleDecode, ShortInputAndBadValues) {
  const Bytes value = encode_dense(tensor(Dtype::Int8, {4}).view());
  const Bytes p = encode_bundle({{text("one"), value}, {text("two"), value}});
  expect_every_cut_too_short(p);
  // The header claims three entries; the bytes end after the second.
  Bytes three = p;
  three[8] = std::byte{3};
  EXPECT_ERR(decode(three), K::TooShort);
  // Values are framed, not inspected, by the encoder; decoding reports their own error.
  const Bytes bad = with_byte(value, 0, 'Z');
  EXPECT_ERR(decode(encode_bundle({{text("one"), value}, {text("bad"), bad}})), K::InvalidMagic);
  EXPECT_ERR(decode(encode_bundle({{text("k"), {}}})), K::TooShort);
  EXPECT_ERR(decode(encode_bundle({{text("k"), with_byte(value, 4, 7)}})), K::UnsupportedVersion,
             7);
}

TEST(BundleDecode, Version3AndInvalidKeys) {
  const Bytes value = encode_dense(tensor(Dtype::Int8, {4}).view());
  Bytes v3 = v3_prefix(FLAG_BUNDLE, 0, {});
  v3[7] = std::byte{1};
  put_u32(v3, 2);
  put(v3, text("ab"));
  put_u32(v3, static_cast<std::uint32_t>(value.size()));
  put(v3, value);
  const auto r = decode(v3);
  EXPECT_EQ(as<Bundle>(r).entries.at(0).key, "ab");
  // A key that is not UTF-8 fails the whole bundle.
  EXPECT_ERR(decode(encode_bundle({{text("fine"), value}, {bytes({'k', 0xC3}), value}})),
             K::Malformed);
}

TEST(BundleDecode, NestingLimit) {
  auto chain = [](int levels) {
    Bytes p = v4_prefix(FLAG_BUNDLE, 0, {});
    for (int i = 0; i < levels; ++i) p = encode_bundle({{text("n"), p}});
    return p;
  };
  // The innermost bundle sits at depth 64, then 65.
  const Bytes deep = chain(64);
  const auto ok = decode(deep);
  ASSERT_TRUE(ok);
  const Decoded* d = &*ok;
  for (int i = 0; i < 64; ++i) d = &std::get<Bundle>(*d).entries.at(0).value;
  EXPECT_TRUE(std::get<Bundle>(*d).entries.empty());
  EXPECT_ERR(decode(chain(65)), K::Malformed);
}

}  // namespace
}  // namespace vamra::test
