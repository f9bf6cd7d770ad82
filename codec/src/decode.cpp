#include "vamra/decode.hpp"

#include <cstring>

#include "hash.hpp"
#include "vamra/bundle.hpp"
#include "vamra/quantized.hpp"
#include "vamra/sparse.hpp"
#include "vamra/string.hpp"

namespace vamra {

namespace {

constexpr std::size_t FIXED_RECORD_LEN = 96;

// An LZ4 sequence of k bytes expands to at most about 255 x k bytes, so a frame
// claiming more than this cannot be genuine; refusing it early keeps a small
// hostile packet from reserving memory for its declared size.
constexpr std::size_t LZ4_MAX_RATIO = 256;
constexpr std::size_t LZ4_RATIO_SLACK = 1024;

bool plausible_frame(std::size_t frame_len, std::size_t size) {
  return size <= LZ4_RATIO_SLACK || (size - LZ4_RATIO_SLACK) / LZ4_MAX_RATIO <= frame_len;
}

Result<Decoded> decode_fixed_record(ByteSpan packet, const PacketHeader& header) {
  // Only version 4 carries the bit (version 3 flags stop at 0x80).
  if ((header.flags & FLAG_INTEGRITY) || header.ndim != 0 ||
      static_cast<std::uint8_t>(packet[9]) != 1) {
    return fail(ErrorKind::Malformed);
  }
  if (packet.size() < V4_HEADER_LEN + FIXED_RECORD_LEN) return fail(ErrorKind::TooShort);
  FixedRecord record;
  std::memcpy(record.bytes.data(), packet.data() + V4_HEADER_LEN, FIXED_RECORD_LEN);
  return record;
}

}  // namespace

Result<Decoded> decode(ByteSpan packet, const DecodeOptions& options) {
  return decode_depth(packet, 0, options);
}

Result<Decoded> decode_depth(ByteSpan packet, std::size_t depth, const DecodeOptions& options) {
  if (depth > MAX_DECODE_DEPTH) return fail(ErrorKind::Malformed);
  const auto header = parse_header(packet);
  if (!header) return std::unexpected(header.error());
  const std::uint16_t flags = header->flags;
  if (flags & FLAG_FIXED_RECORD) return decode_fixed_record(packet, *header);
  if (flags & FLAG_BUNDLE) return decode_bundle(packet, *header, depth, options);
  if (flags & (FLAG_SPARSE_COO | FLAG_SPARSE_CSR | FLAG_SPARSE_CSC)) {
    // The first format bit that is set decides.
    const SparseFormat format = (flags & FLAG_SPARSE_COO)   ? SparseFormat::Coo
                                : (flags & FLAG_SPARSE_CSR) ? SparseFormat::Csr
                                                            : SparseFormat::Csc;
    return decode_sparse(packet, *header, format, depth, options);
  }
  if (flags & FLAG_STRING) return decode_string(packet, *header);
  if (flags & FLAG_RAGGED) return decode_ragged(packet, *header);
  if ((header->dtype_code & ~3u) == 16) return decode_quantized(packet, *header);
  return decode_dense(packet, *header, options);
}

namespace {

// Where a dense body sits and how long it is, with its footer verified.
struct DenseBody {
  Shape shape;
  Dtype dtype;
  std::size_t declared_size;  // element count x item size
  ByteSpan body;              // raw elements, or the LZ4 frame when compressed
};

Result<DenseBody> locate_dense_body(ByteSpan packet, const PacketHeader& header) {
  const auto dtype = dtype_from_code(header.dtype_code);
  if (!dtype) return fail(ErrorKind::UnknownDtype, header.dtype_code);
  const std::size_t size = item_size(*dtype);
  if (size == 0) return fail(ErrorKind::UnknownDtype, header.dtype_code);
  auto shape = read_shape(packet, header.header_len, header.ndim);
  if (!shape) return std::unexpected(shape.error());
  const auto count = element_count(*shape);
  if (!count) return std::unexpected(count.error());
  const auto start = aligned_body_start(packet, header.header_len + 4 * header.ndim, header.flags);
  if (!start) return std::unexpected(start.error());
  const std::size_t p = *start;
  if (packet.size() < p) return fail(ErrorKind::TooShort);
  const std::size_t footer = (header.flags & FLAG_INTEGRITY) ? FOOTER_LEN : 0;
  const std::size_t declared = *count * size;
  std::size_t body_len = declared;
  if (header.flags & FLAG_COMPRESSED) {
    if (packet.size() - p < footer) return fail(ErrorKind::TooShort);
    body_len = packet.size() - p - footer;
  }
  auto end = checked_add(p, body_len);
  if (end) end = checked_add(*end, footer);
  if (!end) return std::unexpected(end.error());
  if (packet.size() < *end) return fail(ErrorKind::TooShort);
  const ByteSpan body = packet.subspan(p, body_len);
  if (footer != 0) {
    const std::uint64_t stored = load_u64(packet.data() + p + body_len);
    if (stored != XXH3_64bits(body.data(), body.size())) {
      return fail(ErrorKind::IntegrityMismatch);
    }
  }
  return DenseBody{std::move(*shape), *dtype, declared, body};
}

}  // namespace

Result<Decoded> decode_dense(ByteSpan packet, const PacketHeader& header,
                             const DecodeOptions& options) {
  auto located = locate_dense_body(packet, header);
  if (!located) return std::unexpected(located.error());
  if (header.flags & FLAG_COMPRESSED) {
    if (!options.keep_compressed) return fail_compression(NEEDS_OWNING_PATH);
    // Refused here, before any caller sizes an output buffer from the shape: a
    // tiny frame must not make a reader reserve gigabytes.
    if (!plausible_frame(located->body.size(), located->declared_size)) {
      return fail_compression(LZ4_SIZE_MISMATCH);
    }
    return CompressedDense{std::move(located->shape), located->body, located->dtype,
                           located->declared_size};
  }
  return Dense{std::move(located->shape), located->body, located->dtype};
}

Result<std::size_t> decompress_into(const CompressedDense& value, MutableByteSpan out) {
  if (out.size() != value.size) return fail_compression(LZ4_SIZE_MISMATCH);
  if (!plausible_frame(value.frame.size(), value.size)) return fail_compression(LZ4_SIZE_MISMATCH);
  return lz4_decompress_frame_into(value.frame, out);
}

Result<OwnedDense> decode_dense_to_owned(ByteSpan packet) {
  auto decoded = decode(packet, DecodeOptions{.keep_compressed = true});
  if (!decoded) return std::unexpected(decoded.error());
  if (auto* dense = std::get_if<Dense>(&*decoded)) {
    OwnedDense owned{
        dense->dtype,
        {std::unique_ptr<std::byte[]>(new (std::nothrow) std::byte[dense->data.size()]),
         dense->data.size()},
        std::move(dense->shape)};
    if (!owned.data.data && owned.data.size != 0) return fail(ErrorKind::Malformed);
    if (!dense->data.empty()) {
      std::memcpy(owned.data.data.get(), dense->data.data(), dense->data.size());
    }
    return owned;
  }
  auto* compressed = std::get_if<CompressedDense>(&*decoded);
  if (compressed == nullptr) return fail(ErrorKind::Malformed);
  if (!plausible_frame(compressed->frame.size(), compressed->size)) {
    return fail_compression(LZ4_SIZE_MISMATCH);
  }
  OwnedBytes data{std::unique_ptr<std::byte[]>(new (std::nothrow) std::byte[compressed->size]),
                  compressed->size};
  if (!data.data && data.size != 0) return fail_compression(LZ4_DECOMPRESS_FAILED);
  const auto produced = lz4_decompress_frame_into(compressed->frame, {data.data.get(), data.size});
  if (!produced) return std::unexpected(produced.error());
  return OwnedDense{compressed->dtype, std::move(data), std::move(compressed->shape)};
}

}  // namespace vamra
