// Bundle packets: an ordered list of (key, packet) entries framed behind a
// header that carries the entry count in its ndim byte. Each entry is a u32
// key length, the key's bytes, a u32 value length and the value packet.
#pragma once

#include <span>

#include "vamra/decode.hpp"

namespace vamra {

inline constexpr std::size_t MAX_BUNDLE_ENTRIES = 255;

// One entry lent to the encoder: the key's UTF-8 bytes and a finished packet.
struct BundleItem {
  ByteSpan key;
  ByteSpan value;
};

// The length of a bundle, summed entry by entry: the one place its size is
// computed, for callers that learn each value's size only as they go.
class BundleSize {
 public:
  // Adds an entry of a `key_size`-byte key and a `value_size`-byte value
  // packet. Error: Malformed (either is longer than a 32-bit length field can
  // say, or the total overflows); the total is then unchanged.
  Result<void> add(std::size_t key_size, std::size_t value_size);
  // The bundle's length so far: the header and every entry added.
  std::size_t total() const { return total_; }

 private:
  std::size_t total_ = V4_HEADER_LEN;
};

// Size of the bundle frame. Errors: TooManyBundleEntries (more than 255,
// checked first), then those of BundleSize::add.
Result<std::size_t> bundle_required_size(std::span<const BundleItem> entries);

// Writes the bundle packet; the value packets are copied as they are, never
// inspected. Errors: those of bundle_required_size, BufferTooSmall. Nothing is
// written on error.
Result<std::size_t> encode_bundle_into(std::span<const BundleItem> entries, MutableByteSpan out);

// The framing in front of each entry's value: the key's length, the key and
// the value's length (two u32 fields around the key).
constexpr std::size_t bundle_entry_head_size(std::size_t key_size) { return 8 + key_size; }

// Where the value's length field sits within an entry's framing.
constexpr std::size_t bundle_value_length_offset(std::size_t key_size) { return 4 + key_size; }

// Writes an entry's framing at the start of `out`, which holds
// bundle_entry_head_size(key.size()) bytes, and returns that size. The caller
// has checked the key and value sizes (BundleSize). A writer that learns the
// value's size only once the value is written passes 0 and later fills the
// field at bundle_value_length_offset with set_bundle_value_length.
std::size_t write_bundle_entry_head(MutableByteSpan out, ByteSpan key, std::size_t value_size);

// Fills a value's length field (the 4 bytes at `field`). The caller has
// checked that the size fits the field (BundleSize).
void set_bundle_value_length(std::byte* field, std::size_t value_size);

// The bundle frame for writers that place each value themselves (the Python
// module writes nested values in place): it writes the header and each entry's
// key and lengths, and hands back the span where the value goes. Size the
// buffer with BundleSize first: then no call fails.
class BundleWriter {
 public:
  // Writes the header of a bundle of `entry_count` entries at the start of
  // `out`. Errors: TooManyBundleEntries, BufferTooSmall (no room for the
  // header); nothing is written on error.
  static Result<BundleWriter> start(MutableByteSpan out, std::size_t entry_count);

  // Frames the next entry: writes its key's length, the key and the value's
  // length, and returns the `value_size` bytes after them, which the caller
  // fills with the value packet. Errors: Malformed (every announced entry is
  // framed already, or the key or value is longer than a 32-bit length field
  // can say), BufferTooSmall (the entry does not fit what is left of `out`);
  // nothing is written on error.
  Result<MutableByteSpan> next(ByteSpan key, std::size_t value_size);

  // The bundle's length once every announced entry is framed. Error:
  // Malformed (fewer entries were framed than the header announces).
  Result<std::size_t> finish() const;

 private:
  BundleWriter(MutableByteSpan out, std::size_t entry_count) : out_(out), remaining_(entry_count) {}

  MutableByteSpan out_;
  std::size_t remaining_;
  std::size_t written_ = V4_HEADER_LEN;
};

// The bundle body reader (the dispatcher's bundle branch); values are decoded
// at depth + 1. A key that is not valid UTF-8 is Malformed.
Result<Decoded> decode_bundle(ByteSpan packet, const PacketHeader& header, std::size_t depth,
                              const DecodeOptions& options = {});

}  // namespace vamra
