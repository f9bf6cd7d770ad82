// String and ragged packets: a count, an offsets table of count + 1
// little-endian u64 values starting at byte 64, and the concatenated payload.
#pragma once

#include <span>

#include "vamra/decode.hpp"

namespace vamra {

// Packet size for `count` strings and `payload_len` payload bytes, or
// Malformed when the sum overflows.
Result<std::size_t> string_required_size(std::uint32_t count, std::size_t payload_len,
                                         bool check_integrity);

// Writes a string packet (alignment 64, dtype code 20, ndim 1). Errors, in
// order: Malformed (offsets not count + 1 long, first not 0, decreasing, last
// not the payload length), BufferTooSmall. Nothing is written on error.
Result<std::size_t> encode_string_into(std::uint32_t count, std::span<const std::uint64_t> offsets,
                                       ByteSpan payload, MutableByteSpan out, bool check_integrity);

struct OffsetPayload {
  Shape shape;
  ByteSpan offsets;  // 8 x (count + 1) bytes as stored
  ByteSpan payload;  // last-offset bytes
};

// The body reader shared by string and ragged packets. The count is the first
// extent (0 without one); the body follows the common alignment rule.
Result<OffsetPayload> decode_offset_payload(ByteSpan packet, const PacketHeader& header);
Result<Decoded> decode_string(ByteSpan packet, const PacketHeader& header);
Result<Decoded> decode_ragged(ByteSpan packet, const PacketHeader& header);

}  // namespace vamra
