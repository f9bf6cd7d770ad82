// LZ4 frames, the storage of compressed dense bodies: the one frame writer,
// the one frame reader, and the expansion bound that tells a frame that could
// be genuine from one that only claims a huge output.
#pragma once

#include <cstddef>

#include "vamra/header.hpp"

namespace vamra {

// Compresses `data` into one LZ4 frame with the settings every writer uses:
// block size 64 KiB / 256 KiB / 4 MiB by length, independent blocks, no
// checksums, no content size. Errors: Compression.
Result<OwnedBytes> lz4_compress_frame(ByteSpan data);

// Decompresses one LZ4 frame (any conforming settings) into exactly `out`: the
// frame must yield exactly out.size() bytes (else LZ4_SIZE_MISMATCH), and
// nothing is written past `out`. Bytes after the frame's end mark are ignored.
// Errors: Compression.
Result<std::size_t> lz4_decompress_frame_into(ByteSpan frame, MutableByteSpan out);

// Whether a frame of `frame_len` bytes could expand to `size` bytes. An LZ4
// sequence of k bytes expands to at most about 255 x k bytes, so a frame
// claiming more cannot be genuine; refusing it before sizing an output keeps a
// small hostile packet from reserving memory for its declared size.
constexpr bool lz4_plausible_size(std::size_t frame_len, std::size_t size) {
  constexpr std::size_t MAX_RATIO = 256;
  constexpr std::size_t SLACK = 1024;
  return size <= SLACK || (size - SLACK) / MAX_RATIO <= frame_len;
}

}  // namespace vamra
