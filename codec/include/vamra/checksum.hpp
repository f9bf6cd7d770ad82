// The checksum that packet footers carry: XXH3-64 with seed 0.
#pragma once

#include <cstdint>

#include "vamra/header.hpp"

namespace vamra {

// XXH3-64 (seed 0) of `data`, by the widest vector unit the processor offers.
std::uint64_t checksum(ByteSpan data);

// Copies `src` to the start of `dst` and returns checksum(src), in one pass
// over the bytes: each piece is hashed while it is in registers. `dst` holds
// at least src.size() bytes and does not overlap `src`; nothing after
// src.size() bytes is written.
std::uint64_t copy_with_checksum(std::byte* dst, ByteSpan src);

// XXH3-64 (seed 0) of bytes given in pieces: digest() is the checksum() of
// their concatenation. For ranges that are not one span (a file region made
// of framing, padding and array bodies).
class ChecksumStream {
 public:
  ChecksumStream();
  void update(ByteSpan piece);
  std::uint64_t digest() const;

 private:
  // libxxhash's XXH3_state_t, kept in place (its size is checked where it is
  // defined) so that a stream needs no allocation.
  alignas(64) unsigned char state_[640];
};

}  // namespace vamra
