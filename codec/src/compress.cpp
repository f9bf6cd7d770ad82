#include "compress.hpp"

#include <lz4frame.h>

#include <algorithm>
#include <memory>
#include <new>

#include "try.hpp"
#include "vamra/dense.hpp"

namespace vamra {

namespace {

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

std::size_t block_bytes(LZ4F_blockSizeID_t id) {
  switch (id) {
    case LZ4F_max64KB:
      return std::size_t{64} << 10;
    case LZ4F_max256KB:
      return std::size_t{256} << 10;
    default:
      return std::size_t{4} << 20;
  }
}

}  // namespace

// The compressor's LZ4 context and where it stands in the body.
struct BodyCompressor::State {
  LZ4F_cctx* ctx = nullptr;
  LZ4F_preferences_t prefs{};
  ByteSpan body;
  std::size_t block = 0;     // input bytes per block
  std::size_t consumed = 0;  // body bytes compressed so far
  bool begun = false;
  bool ended = false;
  ~State() {
    if (ctx != nullptr) LZ4F_freeCompressionContext(ctx);
  }
};

Result<BodyCompressor> BodyCompressor::start(ByteSpan body) {
  std::unique_ptr<State> state(new (std::nothrow) State);
  if (!state) return fail_compression(LZ4_ENCODE_FAILED);
  state->prefs.frameInfo.blockSizeID = block_size_for(body.size());
  state->prefs.frameInfo.blockMode = LZ4F_blockIndependent;
  state->prefs.frameInfo.contentChecksumFlag = LZ4F_noContentChecksum;
  state->prefs.frameInfo.blockChecksumFlag = LZ4F_noBlockChecksum;
  state->prefs.frameInfo.contentSize = 0;
  // Each update is flushed as the blocks it fills: fed a block at a time, the
  // compressor writes the very blocks one update of the whole body writes.
  state->prefs.autoFlush = 1;
  state->body = body;
  state->block = block_bytes(state->prefs.frameInfo.blockSizeID);
  if (LZ4F_isError(LZ4F_createCompressionContext(&state->ctx, LZ4F_VERSION))) {
    return fail_compression(LZ4_ENCODE_FAILED);
  }
  return BodyCompressor(state.release());
}

BodyCompressor::BodyCompressor(BodyCompressor&& other) noexcept : state_(other.state_) {
  other.state_ = nullptr;
}

BodyCompressor& BodyCompressor::operator=(BodyCompressor&& other) noexcept {
  if (this != &other) {
    delete state_;
    state_ = other.state_;
    other.state_ = nullptr;
  }
  return *this;
}

BodyCompressor::~BodyCompressor() { delete state_; }

std::size_t BodyCompressor::max_piece() const {
  return LZ4F_HEADER_SIZE_MAX + LZ4F_compressBound(state_->block, &state_->prefs);
}

std::size_t BodyCompressor::rest_bound() const {
  return LZ4F_HEADER_SIZE_MAX +
         LZ4F_compressBound(state_->body.size() - state_->consumed, &state_->prefs);
}

Result<std::size_t> BodyCompressor::next(MutableByteSpan out) {
  State& s = *state_;
  if (s.ended) return 0;
  if (out.size() < max_piece()) return fail(ErrorKind::BufferTooSmall);
  if (!s.begun) {
    const std::size_t n = LZ4F_compressBegin(s.ctx, out.data(), out.size(), &s.prefs);
    if (LZ4F_isError(n)) return fail_compression(LZ4_ENCODE_FAILED);
    s.begun = true;
    return n;
  }
  while (s.consumed < s.body.size()) {
    const std::size_t take = std::min(s.block, s.body.size() - s.consumed);
    const std::size_t n = LZ4F_compressUpdate(s.ctx, out.data(), out.size(),
                                              s.body.data() + s.consumed, take, nullptr);
    if (LZ4F_isError(n)) return fail_compression(LZ4_ENCODE_FAILED);
    s.consumed += take;
    if (n != 0) return n;
  }
  const std::size_t n = LZ4F_compressEnd(s.ctx, out.data(), out.size(), nullptr);
  if (LZ4F_isError(n)) return fail_compression(LZ4_FINISH_FAILED);
  s.ended = true;
  return n;
}

Result<std::size_t> BodyCompressor::rest(MutableByteSpan out) {
  State& s = *state_;
  if (out.size() < rest_bound()) return fail(ErrorKind::BufferTooSmall);
  std::size_t written = 0;
  if (!s.begun) {
    written = LZ4F_compressBegin(s.ctx, out.data(), out.size(), &s.prefs);
    if (LZ4F_isError(written)) return fail_compression(LZ4_ENCODE_FAILED);
    s.begun = true;
  }
  if (s.consumed < s.body.size()) {
    const std::size_t n =
        LZ4F_compressUpdate(s.ctx, out.data() + written, out.size() - written,
                            s.body.data() + s.consumed, s.body.size() - s.consumed, nullptr);
    if (LZ4F_isError(n)) return fail_compression(LZ4_ENCODE_FAILED);
    s.consumed = s.body.size();
    written += n;
  }
  if (!s.ended) {
    const std::size_t n =
        LZ4F_compressEnd(s.ctx, out.data() + written, out.size() - written, nullptr);
    if (LZ4F_isError(n)) return fail_compression(LZ4_FINISH_FAILED);
    s.ended = true;
    written += n;
  }
  return written;
}

Result<OwnedBytes> lz4_compress_frame(ByteSpan data) {
  // The streaming calls, not LZ4F_compressFrame: the one-shot call shrinks the
  // block size to fit the input, which would write 1 MiB blocks for inputs
  // between 256 KiB and 1 MiB instead of the 4 MiB every writer uses.
  VAMRA_TRY(BodyCompressor compressor, BodyCompressor::start(data));
  const std::size_t bound = compressor.rest_bound();
  OwnedBytes frame{std::unique_ptr<std::byte[]>(new (std::nothrow) std::byte[bound]), 0};
  if (!frame.data) return fail_compression(LZ4_ENCODE_FAILED);
  VAMRA_TRY(frame.size, compressor.rest({frame.data.get(), bound}));
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
