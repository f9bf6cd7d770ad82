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

}  // namespace vamra
