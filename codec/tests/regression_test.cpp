// Reproducers of defects found by fuzzing and by the module's hostile-input
// tests, kept byte for byte.
#include <gtest/gtest.h>

#include "test_support.hpp"
#include "vamra/bundle.hpp"

namespace vamra::test {
namespace {

using K = ErrorKind;

// 88 bytes: a compressed complex128 packet of shape [100000, 10000] (16 GB
// declared) whose "frame" is a bare frame magic and 20 zero bytes. Decoding
// with keep_compressed used to hand back a CompressedDense of that size, and
// the module then allocated 15 GiB for the output before decompression
// refused the frame (a MemoryError instead of a ValueError under a memory
// limit).
const Bytes TINY_FRAME_HUGE_SHAPE = [] {
  Bytes p = bytes({'V', 'M', 'R', 'A', 4, 0x05, 0x00, 14, 2, 0, 0xA0, 0x86, 0x01, 0x00, 0x10, 0x27,
                   0x00, 0x00});
  pad_to(p, 64);
  put(p, bytes({0x04, 0x22, 0x4D, 0x18}));
  pad_to(p, 88);
  return p;
}();

TEST(Regression, TinyFrameDeclaringAHugeBodyIsRefusedByDecode) {
  const DecodeOptions keep{.keep_compressed = true};
  EXPECT_ERR(decode(TINY_FRAME_HUGE_SHAPE, keep), K::Compression, 0, LZ4_SIZE_MISMATCH);
  EXPECT_ERR(decode_dense_to_owned(TINY_FRAME_HUGE_SHAPE), K::Compression, 0, LZ4_SIZE_MISMATCH);
  // The signal for callers without keep_compressed is unchanged.
  EXPECT_ERR(decode(TINY_FRAME_HUGE_SHAPE), K::Compression, 0, NEEDS_OWNING_PATH);
  // Nested in a bundle it fails the same way.
  const Bytes key = text("k");
  const BundleItem items[] = {{key, TINY_FRAME_HUGE_SHAPE}};
  Bytes bundle(bundle_required_size(items).value());
  ASSERT_TRUE(encode_bundle_into(items, bundle));
  EXPECT_ERR(decode(bundle, keep), K::Compression, 0, LZ4_SIZE_MISMATCH);
}

}  // namespace
}  // namespace vamra::test
