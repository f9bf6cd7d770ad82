#include "vamra/bundle.hpp"

#include <cstring>

#include "try.hpp"
#include "vamra/utf8.hpp"

namespace vamra {

namespace {

// The length of one entry, or Malformed.
Result<std::size_t> entry_size(std::size_t key_size, std::size_t value_size) {
  // A longer key or value would need a truncated length field.
  if (key_size > MAX_LENGTH_FIELD || value_size > MAX_LENGTH_FIELD) {
    return fail(ErrorKind::Malformed);
  }
  VAMRA_TRY(const std::size_t framed, checked_add(bundle_entry_head_size(0), key_size));
  return checked_add(framed, value_size);
}

}  // namespace

Result<void> BundleSize::add(std::size_t key_size, std::size_t value_size) {
  VAMRA_TRY(const std::size_t entry, entry_size(key_size, value_size));
  VAMRA_TRY(total_, checked_add(total_, entry));  // assigned only on success
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

std::size_t write_bundle_entry_head(MutableByteSpan out, ByteSpan key, std::size_t value_size) {
  std::byte* p = out.data();
  store_u32(p, static_cast<std::uint32_t>(key.size()));
  if (!key.empty()) std::memcpy(p + 4, key.data(), key.size());
  set_bundle_value_length(p + bundle_value_length_offset(key.size()), value_size);
  return bundle_entry_head_size(key.size());
}

void set_bundle_value_length(std::byte* field, std::size_t value_size) {
  store_u32(field, static_cast<std::uint32_t>(value_size));
}

Result<BundleWriter> BundleWriter::start(MutableByteSpan out, std::size_t entry_count) {
  if (entry_count > MAX_BUNDLE_ENTRIES) return fail(ErrorKind::TooManyBundleEntries);
  if (out.size() < V4_HEADER_LEN) return fail(ErrorKind::BufferTooSmall);
  write_v4_header(out, FLAG_BUNDLE, 0, static_cast<std::uint8_t>(entry_count));
  return BundleWriter(out, entry_count);
}

Result<MutableByteSpan> BundleWriter::next(ByteSpan key, std::size_t value_size) {
  if (remaining_ == 0) return fail(ErrorKind::Malformed);
  VAMRA_TRY(const std::size_t entry, entry_size(key.size(), value_size));
  if (out_.size() - written_ < entry) return fail(ErrorKind::BufferTooSmall);
  std::byte* p = out_.data() + written_;
  p += write_bundle_entry_head(out_.subspan(written_), key, value_size);
  written_ += entry;
  --remaining_;
  return MutableByteSpan(p, value_size);
}

Result<std::size_t> BundleWriter::finish() const {
  if (remaining_ != 0) return fail(ErrorKind::Malformed);
  return written_;
}

Result<std::size_t> encode_bundle_into(std::span<const BundleItem> entries, MutableByteSpan out) {
  VAMRA_TRY(const std::size_t size, bundle_required_size(entries));
  if (out.size() < size) return fail(ErrorKind::BufferTooSmall);
  // Sized above: from here on nothing fails.
  VAMRA_TRY(BundleWriter writer, BundleWriter::start(out, entries.size()));
  for (const BundleItem& entry : entries) {
    VAMRA_TRY(const MutableByteSpan value, writer.next(entry.key, entry.value.size()));
    if (!entry.value.empty()) std::memcpy(value.data(), entry.value.data(), entry.value.size());
  }
  return writer.finish();
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
