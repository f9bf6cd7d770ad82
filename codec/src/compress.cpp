#include "compress.hpp"

#include <lz4frame.h>

#include <new>

namespace vamra {

namespace {

struct CompressionContext {
  LZ4F_cctx* ctx = nullptr;
  ~CompressionContext() {
    if (ctx != nullptr) LZ4F_freeCompressionContext(ctx);
  }
};

struct DecompressionContext {
  LZ4F_dctx* ctx = nullptr;
  ~DecompressionContext() {
    if (ctx != nullptr) LZ4F_freeDecompressionContext(ctx);
  }
};

LZ4F_blockSizeID_t block_size_for(std::size_t n) {
  if (n <= 65536) return LZ4F_max64KB;
  if (n <= 262144) return LZ4F_max256KB;
  return LZ4F_max4MB;
}

}  // namespace

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

Result<std::size_t> lz4_decompress_frame_into(ByteSpan frame, MutableByteSpan out) {
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
    if (full && dst_size > 0) return fail_compression(LZ4_SIZE_MISMATCH);  // more than `out`
    out_pos += full ? 0 : dst_size;
    if (hint == 0) {  // end of frame
      if (out_pos != out.size()) return fail_compression(LZ4_SIZE_MISMATCH);
      return out_pos;
    }
    if (src_size == 0 && dst_size == 0) {
      // No progress: the frame is cut short.
      return fail_compression(LZ4_DECOMPRESS_FAILED);
    }
  }
}

}  // namespace vamra
