#include "compress.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

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

}  // namespace
}  // namespace vamra::test
