#include "vamra/dense.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "compress.hpp"
#include "try.hpp"
#include "vamra/checksum.hpp"

namespace vamra {

Result<std::size_t> dense_required_size(const DenseView& view, const EncodeOptions& options) {
  VAMRA_TRY(const DenseLayout layout, dense_layout(view, options.alignment));
  const std::size_t n = view.data.size();
  const std::size_t body = options.compress ? n * 110 / 100 + 4 * (n / 65536) + 88 : n;
  VAMRA_TRY(std::size_t total, checked_add(layout.prefix_len, layout.padding));
  VAMRA_TRY(total, checked_add(total, body));
  return checked_add(total, options.check_integrity ? FOOTER_LEN : 0);
}

std::size_t write_dense_prefix(const DenseView& view, const DenseLayout& layout,
                               const EncodeOptions& options, MutableByteSpan out) {
  std::uint16_t flags = layout.custom_alignment ? FLAG_CUSTOM_ALIGNMENT : FLAG_ALIGNED;
  if (options.check_integrity) flags |= FLAG_INTEGRITY;
  if (options.compress) flags |= FLAG_COMPRESSED;
  std::byte* p = out.data();
  const std::size_t ndim = view.shape.size();
  write_v4_header(out, flags, wire_code(view.dtype), static_cast<std::uint8_t>(ndim));
  for (std::size_t i = 0; i < ndim; ++i) store_u32(p + V4_HEADER_LEN + 4 * i, view.shape[i]);
  if (layout.custom_alignment) {
    p[V4_HEADER_LEN + 4 * ndim] = static_cast<std::byte>(alignment_exponent(options.alignment));
  }
  std::memset(p + layout.prefix_len, 0, layout.padding);
  return layout.prefix_len + layout.padding;
}

Result<std::size_t> encode_dense_into(const DenseView& view, MutableByteSpan out,
                                      const EncodeOptions& options) {
  VAMRA_TRY(const DenseLayout layout, dense_layout(view, options.alignment));

  OwnedBytes frame;
  ByteSpan body = view.data;
  if (options.compress) {
    VAMRA_TRY(frame, lz4_compress_frame(view.data));
    body = frame.span();
  }

  const std::size_t start = layout.prefix_len + layout.padding;
  const std::size_t end = start + body.size();
  const std::size_t total = end + (options.check_integrity ? FOOTER_LEN : 0);
  if (out.size() < total) return fail(ErrorKind::BufferTooSmall);

  std::byte* p = out.data();
  write_dense_prefix(view, layout, options, out);
  if (options.check_integrity) {
    store_u64(p + end, copy_with_checksum(p + start, body));
  } else if (!body.empty()) {
    std::memcpy(p + start, body.data(), body.size());
  }
  return total;
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
  VAMRA_TRY(Shape shape, read_shape(packet, header.header_len, header.ndim));
  VAMRA_TRY(const std::uint64_t count, element_count(shape));
  VAMRA_TRY(const std::size_t p,
            aligned_body_start(packet, header.header_len + 4 * header.ndim, header.flags));
  if (packet.size() < p) return fail(ErrorKind::TooShort);
  const std::size_t footer = (header.flags & FLAG_INTEGRITY) ? FOOTER_LEN : 0;
  const std::size_t declared = count * size;
  std::size_t body_len = declared;
  if (header.flags & FLAG_COMPRESSED) {
    if (packet.size() - p < footer) return fail(ErrorKind::TooShort);
    body_len = packet.size() - p - footer;
  }
  VAMRA_TRY(std::size_t end, checked_add(p, body_len));
  VAMRA_TRY(end, checked_add(end, footer));
  if (packet.size() < end) return fail(ErrorKind::TooShort);
  const ByteSpan body = packet.subspan(p, body_len);
  if (footer != 0) {
    const std::uint64_t stored = load_u64(packet.data() + p + body_len);
    if (stored != checksum(body)) {
      return fail(ErrorKind::IntegrityMismatch);
    }
  }
  return DenseBody{std::move(shape), *dtype, declared, body};
}

// `size` uninitialised bytes, or OutOfMemory.
Result<OwnedBytes> allocate(std::size_t size) {
  OwnedBytes bytes{std::unique_ptr<std::byte[]>(new (std::nothrow) std::byte[size]), size};
  if (!bytes.data) return fail(ErrorKind::OutOfMemory);
  return bytes;
}

}  // namespace

Result<Decoded> decode_dense(ByteSpan packet, const PacketHeader& header,
                             const DecodeOptions& options) {
  VAMRA_TRY(DenseBody located, locate_dense_body(packet, header));
  if (header.flags & FLAG_COMPRESSED) {
    if (!options.keep_compressed) return fail_compression(NEEDS_OWNING_PATH);
    // Refused here, before any caller sizes an output buffer from the shape: a
    // tiny frame must not make a reader reserve gigabytes.
    if (!lz4_plausible_size(located.body.size(), located.declared_size)) {
      return fail_compression(LZ4_SIZE_MISMATCH);
    }
    return CompressedDense{std::move(located.shape), located.body, located.dtype,
                           located.declared_size};
  }
  return Dense{std::move(located.shape), located.body, located.dtype};
}

Result<std::size_t> decompress_into(const CompressedDense& value, MutableByteSpan out) {
  // A value may be built by hand rather than by decode: the checks are repeated.
  if (out.size() != value.size) return fail_compression(LZ4_SIZE_MISMATCH);
  if (!lz4_plausible_size(value.frame.size(), value.size)) {
    return fail_compression(LZ4_SIZE_MISMATCH);
  }
  return lz4_decompress_frame_into(value.frame, out);
}

Result<OwnedDense> decode_dense_to_owned(ByteSpan packet) {
  VAMRA_TRY(Decoded decoded, decode(packet, DecodeOptions{.keep_compressed = true}));
  if (auto* dense = std::get_if<Dense>(&decoded)) {
    VAMRA_TRY(OwnedBytes data, allocate(dense->data.size()));
    if (!dense->data.empty()) std::memcpy(data.data.get(), dense->data.data(), data.size);
    return OwnedDense{dense->dtype, std::move(data), std::move(dense->shape)};
  }
  auto* compressed = std::get_if<CompressedDense>(&decoded);
  if (compressed == nullptr) return fail(ErrorKind::Malformed);
  // decode has refused frames too short for their declared size, so this
  // allocation is bounded by the frame's length.
  VAMRA_TRY(OwnedBytes data, allocate(compressed->size));
  VAMRA_TRY(data.size, decompress_into(*compressed, {data.data.get(), data.size}));
  return OwnedDense{compressed->dtype, std::move(data), std::move(compressed->shape)};
}

}  // namespace vamra
