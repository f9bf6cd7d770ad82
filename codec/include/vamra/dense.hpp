// Dense tensor packets: header, shape, optional exponent byte, zero padding to
// the alignment, the body (raw or one LZ4 frame), optional XXH3-64 footer.
#pragma once

#include <cstddef>
#include <memory>

#include "vamra/header.hpp"

namespace vamra {

struct EncodeOptions {
  std::size_t alignment = DEFAULT_ALIGNMENT;  // a power of two; 64 is recorded as FLAG_ALIGNED
  bool check_integrity = false;               // append the XXH3-64 footer over the body
  bool compress = false;                      // store the body as one LZ4 frame
};

// Bytes to provide for encode_dense_into: exact without compression, an upper
// bound with it. Errors: those of dense_layout.
Result<std::size_t> dense_required_size(const DenseView& view, const EncodeOptions& options);

// Writes the packet at the start of `out` and returns its length. Every check
// (compression included) precedes the first write, so on error `out` is
// untouched. Bytes after the returned length are never written. Errors: those
// of dense_layout, Compression, BufferTooSmall.
Result<std::size_t> encode_dense_into(const DenseView& view, MutableByteSpan out,
                                      const EncodeOptions& options);

// An owned, uninitialised byte buffer.
struct OwnedBytes {
  std::unique_ptr<std::byte[]> data;
  std::size_t size = 0;

  ByteSpan span() const { return {data.get(), size}; }
};

// Compresses `data` into one LZ4 frame with the settings every writer uses:
// block size 64 KiB / 256 KiB / 4 MiB by length, independent blocks, no
// checksums, no content size. Errors: Compression.
Result<OwnedBytes> lz4_compress_frame(ByteSpan data);

// Decompresses one LZ4 frame (any conforming settings) into a new buffer.
// Output is refused beyond `max_size` bytes, so a hostile frame cannot demand
// unbounded memory. Errors: Compression with LZ4_DECOMPRESS_FAILED, or with
// LZ4_SIZE_MISMATCH when the output would exceed `max_size`.
Result<OwnedBytes> lz4_decompress_frame(ByteSpan frame, std::size_t max_size);

// Decompresses one LZ4 frame into exactly `out`: the frame must yield exactly
// out.size() bytes (else LZ4_SIZE_MISMATCH), and nothing is written past `out`.
// Bytes after the frame's end mark are ignored. Errors: Compression.
Result<std::size_t> lz4_decompress_frame_into(ByteSpan frame, MutableByteSpan out);

}  // namespace vamra
