// Dense tensor packets: header, shape, optional exponent byte, zero padding to
// the alignment, the body (raw or one LZ4 frame), optional XXH3-64 footer.
// The writer, the body reader and the owning path that decompresses bodies.
#pragma once

#include <cstddef>

#include "vamra/decode.hpp"

namespace vamra {

struct EncodeOptions {
  std::size_t alignment = DEFAULT_ALIGNMENT;  // a power of two; 64 is recorded as FLAG_ALIGNED
  bool check_integrity = false;               // append the XXH3-64 footer over the body
  bool compress = false;                      // store the body as one LZ4 frame
};

// Bytes to provide for encode_dense_into: exact without compression, an upper
// bound with it. Errors: those of dense_layout.
Result<std::size_t> dense_required_size(const DenseView& view, const EncodeOptions& options);

// Writes what precedes the body of a dense packet for `view`: the header (its
// flags recording options.check_integrity and options.compress), the shape,
// the exponent byte when the alignment is not 64, and the zero padding.
// `layout` is dense_layout(view, options.alignment); `out` holds at least
// layout.prefix_len + layout.padding bytes, which is what is written and
// returned. Every dense writer lays its packets out through this one.
std::size_t write_dense_prefix(const DenseView& view, const DenseLayout& layout,
                               const EncodeOptions& options, MutableByteSpan out);

// Writes the packet at the start of `out` and returns its length. Every check
// (compression included) precedes the first write, so on error `out` is
// untouched. Bytes after the returned length are never written. Errors: those
// of dense_layout, Compression, BufferTooSmall.
Result<std::size_t> encode_dense_into(const DenseView& view, MutableByteSpan out,
                                      const EncodeOptions& options);

// The dense body reader (the dispatcher's last branch). Without
// options.keep_compressed a compressed body fails (after the footer check)
// with Compression, NEEDS_OWNING_PATH; with it, a frame too short to expand to
// the size the shape declares is refused with Compression, LZ4_SIZE_MISMATCH.
Result<Decoded> decode_dense(ByteSpan packet, const PacketHeader& header,
                             const DecodeOptions& options = {});

// Decompresses a CompressedDense value into `out`, which must be exactly
// value.size bytes long; nothing is written outside `out`, and bytes after the
// frame's end mark are ignored. This is the one way compressed bodies are
// expanded. Errors: Compression with LZ4_SIZE_MISMATCH (a wrong `out` length,
// or a frame that yields more or fewer bytes) or LZ4_DECOMPRESS_FAILED.
Result<std::size_t> decompress_into(const CompressedDense& value, MutableByteSpan out);

// The LZ4 frame of a compressed dense body, produced a piece at a time: the
// frame header, then one block after another, then the end mark. The frame is
// byte for byte the one encode_dense_into writes, but only one block of it is
// held at a time, so a body of any size is compressed in a few MiB. The body's
// memory must stay valid and unchanged until the last piece is produced.
class BodyCompressor {
 public:
  // Prepares to compress `body`. Error: Compression (the LZ4 context could not
  // be made).
  static Result<BodyCompressor> start(ByteSpan body);
  BodyCompressor(BodyCompressor&& other) noexcept;
  BodyCompressor& operator=(BodyCompressor&& other) noexcept;
  BodyCompressor(const BodyCompressor&) = delete;
  BodyCompressor& operator=(const BodyCompressor&) = delete;
  ~BodyCompressor();

  // The most bytes any one piece takes: the size a caller gives next().
  std::size_t max_piece() const;
  // Writes the next piece of the frame at the start of `out` (at least
  // max_piece() bytes long) and returns its length, or 0 once the end mark
  // has been written. Errors: Compression (LZ4_ENCODE_FAILED, or
  // LZ4_FINISH_FAILED for the end mark; BufferTooSmall for a short `out`).
  Result<std::size_t> next(MutableByteSpan out);
  // Writes everything the frame still lacks at the start of `out` in one
  // call, which needs `rest_bound()` bytes, and returns its length.
  Result<std::size_t> rest(MutableByteSpan out);
  std::size_t rest_bound() const;

 private:
  struct State;
  explicit BodyCompressor(State* state) : state_(state) {}
  State* state_ = nullptr;
};

struct OwnedDense {
  Dtype dtype;
  OwnedBytes data;
  Shape shape;
};

// Decodes a top-level dense packet into owned memory, decompressing a
// compressed body through decompress_into. The decompressed length must equal
// the length the shape declares (Compression, LZ4_SIZE_MISMATCH otherwise);
// more than that is never produced or allocated. Errors: those of decode, those
// of decompress_into, Malformed (not a dense packet), OutOfMemory (the owned
// copy could not be allocated).
Result<OwnedDense> decode_dense_to_owned(ByteSpan packet);

}  // namespace vamra
