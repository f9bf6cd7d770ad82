#include "vamra/dense.hpp"

#include <lz4frame.h>

#include <algorithm>
#include <cstring>

#include "hash.hpp"

namespace vamra {

namespace {

// Copies the body and hashes it in cache-sized pieces, so the footer costs a
// pass over cached bytes rather than a second pass over memory.
std::uint64_t copy_and_hash(std::byte* dst, ByteSpan src) {
  constexpr std::size_t CHUNK = 128 * 1024;
  if (src.size() <= CHUNK) {
    if (!src.empty()) std::memcpy(dst, src.data(), src.size());
    return XXH3_64bits(dst, src.size());
  }
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  for (std::size_t pos = 0; pos < src.size(); pos += CHUNK) {
    const std::size_t n = std::min(CHUNK, src.size() - pos);
    std::memcpy(dst + pos, src.data() + pos, n);
    XXH3_64bits_update(&state, dst + pos, n);
  }
  return XXH3_64bits_digest(&state);
}

struct CompressionContext {
  LZ4F_cctx* ctx = nullptr;
  ~CompressionContext() {
    if (ctx != nullptr) LZ4F_freeCompressionContext(ctx);
  }
};

LZ4F_blockSizeID_t block_size_for(std::size_t n) {
  if (n <= 65536) return LZ4F_max64KB;
  if (n <= 262144) return LZ4F_max256KB;
  return LZ4F_max4MB;
}

}  // namespace

Result<std::size_t> dense_required_size(const DenseView& view, const EncodeOptions& options) {
  const auto layout = dense_layout(view, options.alignment);
  if (!layout) return std::unexpected(layout.error());
  const std::size_t n = view.data.size();
  const std::size_t body = options.compress ? n * 110 / 100 + 4 * (n / 65536) + 88 : n;
  auto total = checked_add(layout->prefix_len, layout->padding);
  if (total) total = checked_add(*total, body);
  if (total) total = checked_add(*total, options.check_integrity ? FOOTER_LEN : 0);
  return total;
}

Result<OwnedBytes> lz4_compress_frame(ByteSpan data) {
  LZ4F_preferences_t prefs{};
  prefs.frameInfo.blockSizeID = block_size_for(data.size());
  prefs.frameInfo.blockMode = LZ4F_blockIndependent;
  prefs.frameInfo.contentChecksumFlag = LZ4F_noContentChecksum;
  prefs.frameInfo.blockChecksumFlag = LZ4F_noBlockChecksum;
  prefs.frameInfo.contentSize = 0;
  prefs.autoFlush = 1;
  // The streaming calls, not LZ4F_compressFrame: the one-shot call shrinks the
  // block size to fit the input, which would write 1 MiB blocks for inputs
  // between 256 KiB and 1 MiB instead of the 4 MiB every writer uses.
  const std::size_t bound = LZ4F_HEADER_SIZE_MAX + LZ4F_compressBound(data.size(), &prefs);
  OwnedBytes frame{std::unique_ptr<std::byte[]>(new (std::nothrow) std::byte[bound]), 0};
  if (!frame.data) return fail_compression(LZ4_ENCODE_FAILED);
  CompressionContext cctx;
  if (LZ4F_isError(LZ4F_createCompressionContext(&cctx.ctx, LZ4F_VERSION))) {
    return fail_compression(LZ4_ENCODE_FAILED);
  }
  std::byte* dst = frame.data.get();
  std::size_t written = LZ4F_compressBegin(cctx.ctx, dst, bound, &prefs);
  if (LZ4F_isError(written)) return fail_compression(LZ4_ENCODE_FAILED);
  const std::size_t body = LZ4F_compressUpdate(cctx.ctx, dst + written, bound - written,
                                               data.data(), data.size(), nullptr);
  if (LZ4F_isError(body)) return fail_compression(LZ4_ENCODE_FAILED);
  written += body;
  const std::size_t end = LZ4F_compressEnd(cctx.ctx, dst + written, bound - written, nullptr);
  if (LZ4F_isError(end)) return fail_compression(LZ4_FINISH_FAILED);
  frame.size = written + end;
  return frame;
}

Result<std::size_t> encode_dense_into(const DenseView& view, MutableByteSpan out,
                                      const EncodeOptions& options) {
  const auto layout = dense_layout(view, options.alignment);
  if (!layout) return std::unexpected(layout.error());

  OwnedBytes frame;
  ByteSpan body = view.data;
  if (options.compress) {
    auto compressed = lz4_compress_frame(view.data);
    if (!compressed) return std::unexpected(compressed.error());
    frame = std::move(*compressed);
    body = frame.span();
  }

  const std::size_t start = layout->prefix_len + layout->padding;
  const std::size_t end = start + body.size();
  const std::size_t total = end + (options.check_integrity ? FOOTER_LEN : 0);
  if (out.size() < total) return fail(ErrorKind::BufferTooSmall);

  std::uint16_t flags = layout->custom_alignment ? FLAG_CUSTOM_ALIGNMENT : FLAG_ALIGNED;
  if (options.check_integrity) flags |= FLAG_INTEGRITY;
  if (options.compress) flags |= FLAG_COMPRESSED;
  std::byte* p = out.data();
  write_v4_header(out, flags, wire_code(view.dtype), static_cast<std::uint8_t>(view.shape.size()));
  for (std::size_t i = 0; i < view.shape.size(); ++i) {
    store_u32(p + V4_HEADER_LEN + 4 * i, view.shape[i]);
  }
  if (layout->custom_alignment) {
    p[V4_HEADER_LEN + 4 * view.shape.size()] =
        static_cast<std::byte>(alignment_exponent(options.alignment));
  }
  std::memset(p + layout->prefix_len, 0, layout->padding);
  if (options.check_integrity) {
    store_u64(p + end, copy_and_hash(p + start, body));
  } else if (!body.empty()) {
    std::memcpy(p + start, body.data(), body.size());
  }
  return total;
}

namespace {

struct DecompressionContext {
  LZ4F_dctx* ctx = nullptr;
  ~DecompressionContext() {
    if (ctx != nullptr) LZ4F_freeDecompressionContext(ctx);
  }
};

// Runs the frame decoder into `out`. Returns the bytes produced; `overflow`
// tells whether the frame wanted to produce more than out.size().
Result<std::size_t> run_decoder(ByteSpan frame, MutableByteSpan out, bool& overflow) {
  overflow = false;
  DecompressionContext dctx;
  if (LZ4F_isError(LZ4F_createDecompressionContext(&dctx.ctx, LZ4F_VERSION))) {
    return fail_compression(LZ4_DECOMPRESS_FAILED);
  }
  std::size_t in_pos = 0;
  std::size_t out_pos = 0;
  // A spare byte past `out` tells "exactly full" apart from "wants more".
  std::byte spare[1];
  for (;;) {
    const bool full = out_pos == out.size();
    std::byte* dst = full ? spare : out.data() + out_pos;
    std::size_t dst_size = full ? sizeof spare : out.size() - out_pos;
    std::size_t src_size = frame.size() - in_pos;
    const std::size_t hint =
        LZ4F_decompress(dctx.ctx, dst, &dst_size, frame.data() + in_pos, &src_size, nullptr);
    if (LZ4F_isError(hint)) return fail_compression(LZ4_DECOMPRESS_FAILED);
    in_pos += src_size;
    if (full && dst_size > 0) {
      overflow = true;
      return out_pos;
    }
    out_pos += full ? 0 : dst_size;
    if (hint == 0) return out_pos;  // end of frame
    if (src_size == 0 && dst_size == 0) {
      // No progress: the frame is cut short.
      return fail_compression(LZ4_DECOMPRESS_FAILED);
    }
  }
}

}  // namespace

Result<std::size_t> lz4_decompress_frame_into(ByteSpan frame, MutableByteSpan out) {
  bool overflow = false;
  const auto produced = run_decoder(frame, out, overflow);
  if (!produced) return produced;
  if (overflow || *produced != out.size()) return fail_compression(LZ4_SIZE_MISMATCH);
  return *produced;
}

Result<OwnedBytes> lz4_decompress_frame(ByteSpan frame, std::size_t max_size) {
  // No extra byte: run_decoder detects overflow on its own, and max_size + 1
  // would wrap to 0 for a caller passing SIZE_MAX.
  OwnedBytes out{std::unique_ptr<std::byte[]>(new (std::nothrow) std::byte[max_size]), 0};
  if (!out.data) return fail_compression(LZ4_DECOMPRESS_FAILED);
  bool overflow = false;
  const auto produced = run_decoder(frame, {out.data.get(), max_size}, overflow);
  if (!produced) return std::unexpected(produced.error());
  if (overflow) return fail_compression(LZ4_SIZE_MISMATCH);
  out.size = *produced;
  return out;
}

}  // namespace vamra
