#include "vamra/bundle.hpp"

#include <cstring>

namespace vamra {

namespace {

// The two u32 length fields that frame each entry.
constexpr std::size_t ENTRY_FRAMING = 8;

// The length of one entry, or Malformed.
Result<std::size_t> entry_size(std::size_t key_size, std::size_t value_size) {
  // A longer key or value would need a truncated length field.
  if (key_size > MAX_LENGTH_FIELD || value_size > MAX_LENGTH_FIELD) {
    return fail(ErrorKind::Malformed);
  }
  const auto framed = checked_add(ENTRY_FRAMING, key_size);
  if (!framed) return framed;
  return checked_add(*framed, value_size);
}

}  // namespace

Result<void> BundleSize::add(std::size_t key_size, std::size_t value_size) {
  const auto entry = entry_size(key_size, value_size);
  if (!entry) return std::unexpected(entry.error());
  const auto total = checked_add(total_, *entry);
  if (!total) return std::unexpected(total.error());
  total_ = *total;
  return {};
}

Result<std::size_t> bundle_required_size(std::span<const BundleItem> entries) {
  if (entries.size() > MAX_BUNDLE_ENTRIES) return fail(ErrorKind::TooManyBundleEntries);
  BundleSize size;
  for (const BundleItem& entry : entries) {
    const auto added = size.add(entry.key.size(), entry.value.size());
    if (!added) return std::unexpected(added.error());
  }
  return size.total();
}

Result<BundleWriter> BundleWriter::start(MutableByteSpan out, std::size_t entry_count) {
  if (entry_count > MAX_BUNDLE_ENTRIES) return fail(ErrorKind::TooManyBundleEntries);
  if (out.size() < V4_HEADER_LEN) return fail(ErrorKind::BufferTooSmall);
  write_v4_header(out, FLAG_BUNDLE, 0, static_cast<std::uint8_t>(entry_count));
  return BundleWriter(out, entry_count);
}

Result<MutableByteSpan> BundleWriter::next(ByteSpan key, std::size_t value_size) {
  if (remaining_ == 0) return fail(ErrorKind::Malformed);
  const auto entry = entry_size(key.size(), value_size);
  if (!entry) return std::unexpected(entry.error());
  if (out_.size() - written_ < *entry) return fail(ErrorKind::BufferTooSmall);
  std::byte* p = out_.data() + written_;
  store_u32(p, static_cast<std::uint32_t>(key.size()));
  p += 4;
  if (!key.empty()) std::memcpy(p, key.data(), key.size());
  p += key.size();
  store_u32(p, static_cast<std::uint32_t>(value_size));
  p += 4;
  written_ += *entry;
  --remaining_;
  return MutableByteSpan(p, value_size);
}

Result<std::size_t> BundleWriter::finish() const {
  if (remaining_ != 0) return fail(ErrorKind::Malformed);
  return written_;
}

Result<std::size_t> encode_bundle_into(std::span<const BundleItem> entries, MutableByteSpan out) {
  const auto size = bundle_required_size(entries);
  if (!size) return size;
  if (out.size() < *size) return fail(ErrorKind::BufferTooSmall);
  // Sized above: from here on nothing fails.
  auto writer = BundleWriter::start(out, entries.size());
  if (!writer) return std::unexpected(writer.error());
  for (const BundleItem& entry : entries) {
    const auto value = writer->next(entry.key, entry.value.size());
    if (!value) return std::unexpected(value.error());
    if (!entry.value.empty()) std::memcpy(value->data(), entry.value.data(), entry.value.size());
  }
  return writer->finish();
}

bool is_valid_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

Result<Decoded> decode_bundle(ByteSpan packet, const PacketHeader& header, std::size_t depth,
                              const DecodeOptions& options) {
  Bundle bundle;
  const std::size_t count = header.ndim;
  if (count == 0) return bundle;
  bundle.entries.reserve(count);
  std::size_t pos = header.header_len;
  for (std::size_t i = 0; i < count; ++i) {
    if (packet.size() - pos < 4) return fail(ErrorKind::TooShort);
    const std::size_t key_len = load_u32(packet.data() + pos);
    pos += 4;
    if (packet.size() - pos < key_len) return fail(ErrorKind::TooShort);
    std::string key(reinterpret_cast<const char*>(packet.data() + pos), key_len);
    if (!is_valid_utf8(key)) return fail(ErrorKind::Malformed);
    pos += key_len;
    if (packet.size() - pos < 4) return fail(ErrorKind::TooShort);
    const std::size_t value_len = load_u32(packet.data() + pos);
    pos += 4;
    if (packet.size() - pos < value_len) return fail(ErrorKind::TooShort);
    auto value = decode_depth(packet.subspan(pos, value_len), depth + 1, options);
    if (!value) return std::unexpected(value.error());
    bundle.entries.push_back(BundleEntry{std::move(key), std::move(*value)});
    pos += value_len;
  }
  return bundle;
}

}  // namespace vamra
