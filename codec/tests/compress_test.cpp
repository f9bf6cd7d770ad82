#include "compress.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "vamra/checksum.hpp"
#include "vamra/dense.hpp"

namespace vamra::test {
namespace {

TEST(Lz4Frame, DecompressesIntoExactlyTheTarget) {
  const Bytes data = compressible(100000);
  const auto frame = lz4_compress_frame(data).value();
  // Bytes after the frame's end mark are ignored; nothing outside the target is
  // written, and a target of any other length is refused.
  Bytes tail = copy(frame.span());
  put(tail, noise(16));
  for (std::size_t size : {std::size_t{0}, data.size() - 1, data.size(), data.size() + 1}) {
    Bytes region(size + 32, std::byte{0xAB});
    const auto r = lz4_decompress_frame_into(tail, MutableByteSpan(region).subspan(16, size));
    if (size == data.size()) {
      EXPECT_EQ(r.value(), data.size());
      EXPECT_EQ(copy(ByteSpan(region).subspan(16, size)), data);
    } else {
      EXPECT_ERR(r, K::Compression, 0, LZ4_SIZE_MISMATCH) << size;
    }
    EXPECT_TRUE(all_bytes(cut(region, 16), std::byte{0xAB}));
    EXPECT_TRUE(all_bytes(Bytes(region.begin() + 16 + size, region.end()), std::byte{0xAB}));
  }
  Bytes out(data.size());
  for (const Bytes& bad : {noise(64), Bytes{}, cut(copy(frame.span()), frame.size - 1)}) {
    EXPECT_ERR(lz4_decompress_frame_into(bad, out), K::Compression, 0, LZ4_DECOMPRESS_FAILED);
  }
  EXPECT_EQ(lz4_decompress_frame_into(lz4_compress_frame({}).value().span(), {}).value(), 0u);
}

// Pieces of at most max_piece() bytes each, concatenated, with the largest.
std::pair<Bytes, std::size_t> piecewise(ByteSpan body) {
  auto compressor = BodyCompressor::start(body).value();
  Bytes frame;
  Bytes scratch(compressor.max_piece());
  std::size_t largest = 0;
  for (;;) {
    const std::size_t n = compressor.next(scratch).value();
    if (n == 0) break;
    largest = std::max(largest, n);
    frame.insert(frame.end(), scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(n));
  }
  EXPECT_EQ(compressor.next(scratch).value(), 0u);  // stays finished
  return {frame, largest};
}

// Block by block, the frame is the one-shot frame byte for byte, for every
// block size and at the block boundaries; no piece is much above a block.
TEST(BodyCompressor, WritesTheOneShotFrameAPieceAtATime) {
  for (std::size_t size :
       {std::size_t{0}, std::size_t{1}, std::size_t{65536}, std::size_t{65537}, std::size_t{262144},
        std::size_t{262145}, std::size_t{4} << 20, (std::size_t{9} << 20) + 3}) {
    for (const Bytes& body : {compressible(size), noise(size)}) {
      const auto [frame, largest] = piecewise(body);
      EXPECT_EQ(frame, copy(lz4_compress_frame(body).value().span())) << size;
      EXPECT_LE(largest, (std::size_t{4} << 20) + 65536) << size;
      Bytes back(size);
      EXPECT_EQ(lz4_decompress_frame_into(frame, back).value(), size);
      EXPECT_EQ(back, body);
    }
  }
}

TEST(BodyCompressor, RefusesAShortPieceBufferWithoutConsuming) {
  const Bytes body = compressible(100000);
  auto compressor = BodyCompressor::start(body).value();
  Bytes small(compressor.max_piece() - 1);
  EXPECT_ERR(compressor.next(small), K::BufferTooSmall, 0, nullptr);
  Bytes scratch(compressor.max_piece());
  Bytes frame;
  while (const std::size_t n = compressor.next(scratch).value()) {
    frame.insert(frame.end(), scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(n));
  }
  EXPECT_EQ(frame, copy(lz4_compress_frame(body).value().span()));
}

TEST(ChecksumStream, EqualsTheChecksumOfTheConcatenation) {
  const Bytes data = noise(100000);
  for (std::size_t cut_at : {std::size_t{0}, std::size_t{1}, std::size_t{239}, std::size_t{240},
                             std::size_t{4096}, std::size_t{99999}, std::size_t{100000}}) {
    ChecksumStream stream;
    stream.update(ByteSpan(data).first(cut_at));
    stream.update({});
    stream.update(ByteSpan(data).subspan(cut_at));
    EXPECT_EQ(stream.digest(), checksum(data)) << cut_at;
  }
  EXPECT_EQ(ChecksumStream().digest(), checksum({}));
}

}  // namespace
}  // namespace vamra::test
