#include "vamra/decode.hpp"

#include <gtest/gtest.h>
#include <lz4frame.h>

#include <atomic>
#include <new>

#include "compress.hpp"
#include "test_support.hpp"
#include "vamra/bundle.hpp"
#include "vamra/sparse.hpp"

// The codec allocates its large buffers with nothrow new[]; recording the
// largest request shows what a hostile frame can make it reserve.
namespace {
std::atomic<std::size_t> largest_nothrow_array{0};
// Requests of at least this many bytes fail, as when memory runs out.
std::atomic<std::size_t> refuse_nothrow_arrays_from{SIZE_MAX};
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  std::size_t seen = largest_nothrow_array.load();
  while (size > seen && !largest_nothrow_array.compare_exchange_weak(seen, size)) {
  }
  // Sizes no machine holds fail here as in the allocator (which aborts under a sanitizer).
  if (size >= refuse_nothrow_arrays_from.load() || size > (std::size_t{1} << 40)) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

namespace vamra::test {
namespace {

const Tensor SAMPLE = tensor(Dtype::Float32, {2, 3});

Bytes sample_packet(EncodeOptions o = {}) { return encode_dense(SAMPLE.view(), o); }
Bytes compressed(bool integrity) {
  return sample_packet({.check_integrity = integrity, .compress = true});
}

// A dense packet whose body is `frame`, as another writer might lay it out.
Bytes packet_with_frame(ByteSpan frame, const Dims& shape, Dtype dtype, bool integrity = false) {
  Bytes p = v4_prefix(FLAG_ALIGNED | FLAG_COMPRESSED | (integrity ? FLAG_INTEGRITY : 0),
                      wire_code(dtype), shape);
  pad_to(p, 64);
  put(p, frame);
  if (integrity) put_u64(p, xxh3(frame));
  return p;
}

Bytes fixed_record(int reserved, std::uint16_t extra_flags = 0, std::size_t ndim = 0) {
  Bytes p = v4_prefix(FLAG_FIXED_RECORD | extra_flags, 0, Dims(ndim, 1),
                      static_cast<std::uint8_t>(reserved));
  put(p, noise(96));
  return p;
}

class DenseRoundTrip : public ::testing::TestWithParam<std::tuple<int, std::size_t, bool>> {};

TEST_P(DenseRoundTrip, BorrowsTheBody) {
  const auto [code, alignment, integrity] = GetParam();
  const Dtype dtype = *dtype_from_code(static_cast<std::uint8_t>(code));
  const Tensor t = tensor(dtype, {3, 1, 5}, code);
  const Bytes p = encode_dense(t.view(), {.alignment = alignment, .check_integrity = integrity});
  const auto r = decode(p);
  const Dense& d = as<Dense>(r);
  EXPECT_EQ(d.dtype, dtype);
  EXPECT_EQ(d.shape, t.shape);
  EXPECT_EQ(copy(d.data), t.data);
  EXPECT_EQ(d.data.data(), p.data() + p.size() - t.data.size() - (integrity ? 8 : 0));
  EXPECT_EQ(static_cast<std::size_t>(d.data.data() - p.data()) % alignment, 0u);
  const auto owned = decode_dense_to_owned(p);
  ASSERT_TRUE(owned);
  EXPECT_EQ(copy(owned->data.span()), t.data);
  EXPECT_NE(owned->data.data.get(), d.data.data());
  EXPECT_EQ(owned->dtype, dtype);
  EXPECT_EQ(owned->shape, t.shape);
}

INSTANTIATE_TEST_SUITE_P(AllDenseTypes, DenseRoundTrip,
                         ::testing::Combine(::testing::Range(1, 16),
                                            ::testing::Values(1, 8, 64, 256), ::testing::Bool()));

TEST(Decode, LayoutsFromOtherWriters) {
  auto body_at = [](Bytes head, std::size_t pad) {
    pad_to(head, pad);
    put(head, SAMPLE.data);
    return head;
  };
  Bytes e0 = v4_prefix(FLAG_CUSTOM_ALIGNMENT | FLAG_ALIGNED, 1, {2, 3});
  e0.push_back(std::byte{0});  // exponent 0, which beats FLAG_ALIGNED
  Bytes extra = sample_packet();
  put(extra, noise(100));  // trailing bytes are ignored
  const std::pair<Bytes, std::size_t> cases[] = {
      {body_at(v4_prefix(0, 1, {2, 3}), 0), 18},  // no alignment flag: right after the shape
      {body_at(v3_prefix(0, 1, {2, 3}), 0), 16},
      {body_at(v3_prefix(FLAG_ALIGNED, 1, {2, 3}), 64), 64},  // the version 3 twin
      {body_at(e0, 0), 19},
      {extra, 64},
  };
  for (const auto& [p, at] : cases) {
    const auto r = decode(p);
    const Dense& d = as<Dense>(r);
    EXPECT_EQ(d.data.data(), p.data() + at);
    EXPECT_EQ(copy(d.data), SAMPLE.data);
    EXPECT_EQ(d.shape, SAMPLE.shape);
  }
}

TEST(Decode, BodyKindPrecedence) {
  Bytes fixed = v4_prefix(FLAG_FIXED_RECORD | FLAG_BUNDLE | FLAG_STRING, 99, {}, 1);
  put(fixed, noise(96));
  EXPECT_EQ(copy(as<FixedRecord>(decode(fixed)).bytes), copy(ByteSpan(fixed).subspan(10)));
  EXPECT_ERR(decode_dense_to_owned(fixed), K::Malformed);
  // Bundle beats sparse and string (an empty bundle ignores what follows).
  EXPECT_TRUE(as<Bundle>(decode(v4_prefix(FLAG_BUNDLE | FLAG_SPARSE_COO | FLAG_STRING, 0, {})))
                  .entries.empty());
  // COO beats CSR beats CSC.
  const Tensor idx = tensor(Dtype::Int32, {0});
  const DenseView comps[] = {idx.view(), idx.view(), idx.view()};
  Bytes sparse(sparse_required_size(0, comps).value());
  ASSERT_TRUE(encode_sparse_into(SparseFormat::Csc, {}, comps, sparse));
  sparse[5] = std::byte(FLAG_SPARSE_COO | FLAG_SPARSE_CSR | FLAG_SPARSE_CSC);
  EXPECT_EQ(as<Sparse>(decode(sparse)).format, SparseFormat::Coo);
  sparse[5] = std::byte(FLAG_SPARSE_CSR | FLAG_SPARSE_CSC);
  EXPECT_EQ(as<Sparse>(decode(sparse)).format, SparseFormat::Csr);
  // Depths above the limit are refused before any byte is read.
  EXPECT_TRUE(decode_depth(sample_packet(), MAX_DECODE_DEPTH));
  EXPECT_ERR(decode_depth(sample_packet(), MAX_DECODE_DEPTH + 1), K::Malformed);
  EXPECT_ERR(decode_depth({}, MAX_DECODE_DEPTH + 1), K::Malformed);
}

TEST(Decode, ErrorsAtTheirTriggerPoint) {
  const Bytes d = sample_packet(), a16 = sample_packet({.alignment = 16});
  const Bytes footer = sample_packet({.check_integrity = true}), cf = compressed(true);
  const struct {
    const char* name;
    Bytes packet;
    CodecError expected;
  } cases[] = {
      {"empty", {}, {K::TooShort}},
      {"short, bad magic", text("XXXX\x04\x01"), {K::TooShort}},
      {"version 4, nine bytes", cut(d, 9), {K::TooShort}},
      {"magic", with_byte(d, 3, 'B'), {K::InvalidMagic}},
      {"version 5", with_byte(d, 4, 5), {K::UnsupportedVersion, 5}},
      {"dtype 0", with_byte(d, 7, 0), {K::UnknownDtype, 0}},
      {"dtype 20", with_byte(d, 7, 20), {K::UnknownDtype, 20}},
      {"dtype 21", with_byte(d, 7, 21), {K::UnknownDtype, 21}},
      {"dtype 22", with_byte(d, 7, 22), {K::UnknownDtype, 22}},
      {"dtype 255", with_byte(d, 7, 255), {K::UnknownDtype, 255}},
      {"ndim 33", with_byte(d, 8, 33), {K::TooManyDimensions}},
      {"shape cut", cut(d, 17), {K::TooShort}},
      {"elements", v4_prefix(FLAG_ALIGNED, 1, {100000, 10001}), {K::TooManyElements}},
      {"cut in padding", cut(d, 40), {K::TooShort}},
      {"cut at body", cut(d, 64), {K::TooShort}},
      {"cut in body", cut(d, 87), {K::TooShort}},
      {"exponent missing", cut(a16, 18), {K::TooShort}},
      {"exponent 64", with_byte(a16, 18, 64), {K::Malformed}},
      {"exponent 255", with_byte(a16, 18, 255), {K::Malformed}},
      {"footer cut", cut(footer, 95), {K::TooShort}},
      {"footer flipped", flipped(footer, 95), {K::IntegrityMismatch}},
      {"body flipped", flipped(footer, 64), {K::IntegrityMismatch}},
      {"frame magic, footer", flipped(cf, 64), {K::IntegrityMismatch}},
      {"frame cut, footer", cut(cf, cf.size() - 3), {K::IntegrityMismatch}},
      {"compressed, no room for footer", cut(cf, 71), {K::TooShort}},
      {"fixed record 105 bytes", cut(fixed_record(1), 105), {K::TooShort}},
      {"fixed record reserved 0", fixed_record(0), {K::Malformed}},
      {"fixed record reserved 2", fixed_record(2), {K::Malformed}},
      {"fixed record footer", fixed_record(1, FLAG_INTEGRITY), {K::Malformed}},
      {"fixed record ndim 1", fixed_record(1, 0, 1), {K::Malformed}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(is_error(decode(c.packet), c.expected));
    EXPECT_TRUE(is_error(decode(c.packet, {.keep_compressed = true}), c.expected));
    EXPECT_TRUE(is_error(decode_dense_to_owned(c.packet), c.expected));
  }
}

TEST(Decode, CompressedPackets) {
  const Bytes p = compressed(true);
  EXPECT_ERR(decode(p), K::Compression, 0, NEEDS_OWNING_PATH);
  const auto r = decode(p, {.keep_compressed = true});
  const CompressedDense& c = as<CompressedDense>(r);
  EXPECT_EQ(c.size, 24u);
  EXPECT_EQ(c.shape, SAMPLE.shape);
  EXPECT_EQ(c.dtype, Dtype::Float32);
  EXPECT_EQ(c.frame.data(), p.data() + 64);
  EXPECT_EQ(c.frame.size(), p.size() - 72);
  Bytes out(24);
  ASSERT_EQ(decompress_into(c, out).value(), 24u);
  EXPECT_EQ(out, SAMPLE.data);
  for (std::size_t n : {23, 25}) {
    Bytes wrong(n);
    EXPECT_ERR(decompress_into(c, wrong), K::Compression, 0, LZ4_SIZE_MISMATCH);
  }

  // Without a footer, damage to the frame surfaces from the frame decoder.
  const Bytes bare = compressed(false);
  EXPECT_ERR(decode_dense_to_owned(flipped(bare, 64)), K::Compression, 0, LZ4_DECOMPRESS_FAILED);
  for (std::size_t n = 64; n < bare.size(); ++n) {
    EXPECT_ERR(decode_dense_to_owned(cut(bare, n)), K::Compression, 0, LZ4_DECOMPRESS_FAILED) << n;
  }
  Bytes extra = bare;  // bytes after the frame's end mark do not disturb it
  put(extra, noise(5));
  EXPECT_EQ(copy(decode_dense_to_owned(extra).value().data.span()), SAMPLE.data);

  // The version 3 twin goes through the owning path too.
  const auto frame = lz4_compress_frame(SAMPLE.data).value();
  Bytes v3 = v3_prefix(FLAG_ALIGNED | FLAG_COMPRESSED | FLAG_INTEGRITY, 1, {2, 3});
  pad_to(v3, 64);
  put(v3, frame.span());
  put_u64(v3, xxh3(frame.span()));
  EXPECT_ERR(decode(v3), K::Compression, 0, NEEDS_OWNING_PATH);
  EXPECT_EQ(copy(decode_dense_to_owned(v3).value().data.span()), SAMPLE.data);
}

TEST(Decode, KeepCompressedNested) {
  const Bytes inner = compressed(false), key = text("k");
  const BundleItem items[] = {{key, inner}};
  Bytes bundle(bundle_required_size(items).value());
  ASSERT_TRUE(encode_bundle_into(items, bundle));
  EXPECT_ERR(decode(bundle), K::Compression, 0, NEEDS_OWNING_PATH);
  EXPECT_ERR(decode_dense_to_owned(bundle), K::Malformed);
  const auto r = decode(bundle, {.keep_compressed = true});
  const auto& c = std::get<CompressedDense>(as<Bundle>(r).entries.at(0).value);
  Bytes out(c.size);
  ASSERT_TRUE(decompress_into(c, out));
  EXPECT_EQ(out, SAMPLE.data);
}

struct ForeignFrame {
  const char* name;
  LZ4F_blockSizeID_t block;
  LZ4F_blockMode_t mode;
  bool content_checksum, block_checksum, content_size;
  int level;
  std::size_t chunk;
};

// Written with the streaming calls, one flushed block per chunk.
Bytes make_frame(const ForeignFrame& f, ByteSpan data) {
  LZ4F_preferences_t prefs{};
  prefs.frameInfo.blockSizeID = f.block;
  prefs.frameInfo.blockMode = f.mode;
  prefs.frameInfo.contentChecksumFlag = static_cast<LZ4F_contentChecksum_t>(f.content_checksum);
  prefs.frameInfo.blockChecksumFlag = static_cast<LZ4F_blockChecksum_t>(f.block_checksum);
  prefs.frameInfo.contentSize = f.content_size ? data.size() : 0;
  prefs.compressionLevel = f.level;
  prefs.autoFlush = 1;
  Bytes out(LZ4F_compressFrameBound(data.size(), &prefs) + data.size() / 16 + 1024);
  LZ4F_cctx* ctx = nullptr;
  EXPECT_FALSE(LZ4F_isError(LZ4F_createCompressionContext(&ctx, LZ4F_VERSION)));
  std::size_t n = LZ4F_compressBegin(ctx, out.data(), out.size(), &prefs);
  for (std::size_t at = 0; at < data.size(); at += f.chunk) {
    const std::size_t len = std::min(f.chunk, data.size() - at);
    n += LZ4F_compressUpdate(ctx, out.data() + n, out.size() - n, data.data() + at, len, nullptr);
  }
  n += LZ4F_compressEnd(ctx, out.data() + n, out.size() - n, nullptr);
  LZ4F_freeCompressionContext(ctx);
  EXPECT_FALSE(LZ4F_isError(n)) << LZ4F_getErrorName(n);
  out.resize(n);
  return out;
}

constexpr std::size_t ALL = SIZE_MAX;

class ForeignFrames : public ::testing::TestWithParam<ForeignFrame> {};

TEST_P(ForeignFrames, DecodeThroughEveryPath) {
  const auto& f = GetParam();
  const Bytes data = compressible(1536 * 1024), frame = make_frame(f, data);
  const Dims shape{384, 1024};
  const Bytes p = packet_with_frame(frame, shape, Dtype::Float32, true);
  EXPECT_EQ(copy(decode_dense_to_owned(p).value().data.span()), data);
  const auto kept = decode(p, {.keep_compressed = true});
  Bytes out(data.size());
  ASSERT_TRUE(decompress_into(as<CompressedDense>(kept), out));
  EXPECT_EQ(out, data);
  // A frame one row short or long of the shape is refused.
  for (std::uint32_t rows : {383u, 385u}) {
    EXPECT_ERR(decode_dense_to_owned(packet_with_frame(frame, {rows, 1024}, Dtype::Float32)),
               K::Compression, 0, LZ4_SIZE_MISMATCH);
  }
  if (f.content_checksum || f.block_checksum) {
    // The last byte is in the content checksum, or else in the last block's checksum.
    Bytes bad = flipped(frame, frame.size() - (f.content_checksum ? 1 : 5));
    EXPECT_ERR(decode_dense_to_owned(packet_with_frame(bad, shape, Dtype::Float32)), K::Compression,
               0, LZ4_DECOMPRESS_FAILED);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ForeignFrames,
    ::testing::Values(
        ForeignFrame{"Default", LZ4F_default, LZ4F_blockLinked, false, false, false, 0, ALL},
        ForeignFrame{"ContentChecksum", LZ4F_max64KB, LZ4F_blockIndependent, 1, 0, 0, 0, ALL},
        ForeignFrame{"BlockChecksums", LZ4F_max64KB, LZ4F_blockIndependent, 0, 1, 0, 0, ALL},
        ForeignFrame{"LinkedBlocks", LZ4F_max64KB, LZ4F_blockLinked, 0, 0, 0, 0, ALL},
        ForeignFrame{"ContentSize", LZ4F_max256KB, LZ4F_blockIndependent, 0, 0, 1, 0, ALL},
        ForeignFrame{"OneMiBBlocks", LZ4F_max1MB, LZ4F_blockIndependent, 0, 0, 0, 0, ALL},
        ForeignFrame{"Everything", LZ4F_max1MB, LZ4F_blockLinked, 1, 1, 1, 9, ALL},
        ForeignFrame{"ManySmallBlocks", LZ4F_max64KB, LZ4F_blockLinked, 1, 1, 0, 1, 3000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Decode, HostileFramesReserveNoMoreThanDeclared) {
  // 1 GB declared behind a tiny frame: refused before any allocation of that size.
  const auto tiny = lz4_compress_frame(compressible(100)).value();
  largest_nothrow_array = 0;
  EXPECT_ERR(decode_dense_to_owned(packet_with_frame(tiny.span(), {250'000'000}, Dtype::Float32)),
             K::Compression, 0, LZ4_SIZE_MISMATCH);
  EXPECT_LT(largest_nothrow_array.load(), 1u << 20);
  // A genuine frame at the best ratio LZ4 reaches still passes the plausibility check.
  const auto zeros = lz4_compress_frame(Bytes(8 << 20)).value();
  const auto owned =
      decode_dense_to_owned(packet_with_frame(zeros.span(), {2 << 20}, Dtype::Float32));
  ASSERT_TRUE(owned);
  EXPECT_TRUE(all_bytes(copy(owned->data.span()), std::byte{0}));
  // A frame that expands past the declared 100 bytes is cut off there.
  const auto big = lz4_compress_frame(Bytes(1 << 20)).value();
  largest_nothrow_array = 0;
  EXPECT_ERR(decode_dense_to_owned(packet_with_frame(big.span(), {100}, Dtype::UInt8)),
             K::Compression, 0, LZ4_SIZE_MISMATCH);
  Bytes hundred(100);
  EXPECT_ERR(lz4_decompress_frame_into(big.span(), hundred), K::Compression, 0, LZ4_SIZE_MISMATCH);
  EXPECT_LE(largest_nothrow_array.load(), 100u);
}

TEST(Decode, OwnedCopyThatCannotBeAllocated) {
  // Plain and compressed bodies report it alike, and as what it is: the packet is sound.
  const Tensor t = tensor(Dtype::Float64, {512});
  for (bool compress : {false, true}) {
    const Bytes p = encode_dense(t.view(), {.compress = compress});
    refuse_nothrow_arrays_from = t.data.size();
    const auto owned = decode_dense_to_owned(p);
    refuse_nothrow_arrays_from = SIZE_MAX;
    EXPECT_ERR(owned, K::OutOfMemory) << compress;
    EXPECT_EQ(copy(decode_dense_to_owned(p).value().data.span()), t.data) << compress;
  }
}

// Every body and footer byte is covered by the footer; no padding byte is.
class DenseIntegrity : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {};

TEST_P(DenseIntegrity, EveryCoveredByteFlippedIsDetected) {
  const auto [alignment, compress] = GetParam();
  const Tensor t = tensor(Dtype::Int16, {37});
  const Bytes p = encode_dense(
      t.view(), {.alignment = alignment, .check_integrity = true, .compress = compress});
  const std::size_t prefix = 14 + (alignment == 64 ? 0 : 1);
  const std::size_t body = prefix + padding_for(prefix, alignment);
  for (std::size_t i = prefix; i < p.size(); ++i) {
    const Bytes q = flipped(p, i);
    if (i < body) {
      EXPECT_TRUE(decode(q, {.keep_compressed = true})) << i;
      EXPECT_EQ(copy(decode_dense_to_owned(q).value().data.span()), t.data) << i;
    } else {
      EXPECT_ERR(decode(q), K::IntegrityMismatch) << i;
      EXPECT_ERR(decode_dense_to_owned(q), K::IntegrityMismatch) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, DenseIntegrity,
                         ::testing::Combine(::testing::Values(1, 16, 64, 128), ::testing::Bool()));

}  // namespace
}  // namespace vamra::test
