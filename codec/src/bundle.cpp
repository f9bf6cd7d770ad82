#include "vamra/bundle.hpp"

#include <cstring>

#include "vamra/utf8.hpp"

namespace vamra {

Result<std::size_t> bundle_required_size(std::span<const BundleItem> entries) {
  if (entries.size() > MAX_BUNDLE_ENTRIES) return fail(ErrorKind::TooManyBundleEntries);
  std::size_t total = V4_HEADER_LEN;
  for (const BundleItem& entry : entries) {
    // A longer key or value would need a truncated length field.
    if (entry.key.size() > MAX_LENGTH_FIELD || entry.value.size() > MAX_LENGTH_FIELD) {
      return fail(ErrorKind::Malformed);
    }
    auto next = checked_add(total, 8);
    if (next) next = checked_add(*next, entry.key.size());
    if (next) next = checked_add(*next, entry.value.size());
    if (!next) return std::unexpected(next.error());
    total = *next;
  }
  return total;
}

void write_bundle_header(MutableByteSpan out, std::size_t entry_count) {
  write_v4_header(out, FLAG_BUNDLE, 0, static_cast<std::uint8_t>(entry_count));
}

Result<std::size_t> encode_bundle_into(std::span<const BundleItem> entries, MutableByteSpan out) {
  const auto size = bundle_required_size(entries);
  if (!size) return size;
  if (out.size() < *size) return fail(ErrorKind::BufferTooSmall);
  write_bundle_header(out, entries.size());
  std::byte* p = out.data() + V4_HEADER_LEN;
  for (const BundleItem& entry : entries) {
    store_u32(p, static_cast<std::uint32_t>(entry.key.size()));
    p += 4;
    if (!entry.key.empty()) std::memcpy(p, entry.key.data(), entry.key.size());
    p += entry.key.size();
    store_u32(p, static_cast<std::uint32_t>(entry.value.size()));
    p += 4;
    if (!entry.value.empty()) std::memcpy(p, entry.value.data(), entry.value.size());
    p += entry.value.size();
  }
  return *size;
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
