// Bundle packets: an ordered list of (key, packet) entries framed behind a
// header that carries the entry count in its ndim byte.
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

// Size of the bundle frame. Errors: TooManyBundleEntries (more than 255,
// checked first), Malformed (a key or value longer than a 32-bit length field
// can say, or the sum overflows).
Result<std::size_t> bundle_required_size(std::span<const BundleItem> entries);

// Writes the bundle packet; the value packets are copied as they are, never
// inspected. Errors: those of bundle_required_size, BufferTooSmall. Nothing is
// written on error.
Result<std::size_t> encode_bundle_into(std::span<const BundleItem> entries, MutableByteSpan out);

// Writes only the bundle header (for writers that place entries themselves).
void write_bundle_header(MutableByteSpan out, std::size_t entry_count);

// The bundle body reader (the dispatcher's bundle branch); values are decoded
// at depth + 1. A key that is not valid UTF-8 is Malformed.
Result<Decoded> decode_bundle(ByteSpan packet, const PacketHeader& header, std::size_t depth,
                              const DecodeOptions& options = {});

}  // namespace vamra
