#include "vamra/sparse.hpp"

#include "try.hpp"
#include "vamra/dense.hpp"

namespace vamra {

namespace {

constexpr std::size_t COMPONENTS = 3;

constexpr std::uint16_t format_flag(SparseFormat format) {
  switch (format) {
    case SparseFormat::Coo:
      return FLAG_SPARSE_COO;
    case SparseFormat::Csr:
      return FLAG_SPARSE_CSR;
    case SparseFormat::Csc:
      return FLAG_SPARSE_CSC;
  }
  return 0;
}

}  // namespace

Result<std::size_t> sparse_component_size(const DenseView& component) {
  // Components are plain dense packets at the default alignment.
  VAMRA_TRY(const DenseLayout layout, dense_layout(component, DEFAULT_ALIGNMENT));
  return layout.prefix_len + layout.padding + component.data.size();
}

Result<std::size_t> sparse_required_size(std::size_t shape_len,
                                         std::span<const DenseView> components) {
  if (components.size() != COMPONENTS) return fail(ErrorKind::Malformed);
  if (shape_len > MAX_NDIM) return fail(ErrorKind::TooManyDimensions);
  std::size_t total = sparse_prefix_size(shape_len);
  for (const DenseView& component : components) {
    VAMRA_TRY(const std::size_t len, sparse_component_size(component));
    // Each component packet stands behind a 32-bit length field.
    if (len > MAX_LENGTH_FIELD) return fail(ErrorKind::Malformed);
    VAMRA_TRY(total, checked_add(total, 4 + len));
  }
  return total;
}

std::size_t write_sparse_prefix(SparseFormat format, std::span<const std::uint32_t> shape,
                                MutableByteSpan out) {
  write_v4_header(out, format_flag(format), 0, static_cast<std::uint8_t>(shape.size()));
  std::size_t pos = V4_HEADER_LEN;
  for (const std::uint32_t extent : shape) {
    store_u32(out.data() + pos, extent);
    pos += 4;
  }
  return pos;
}

void set_sparse_component_length(std::byte* field, std::size_t length) {
  store_u32(field, static_cast<std::uint32_t>(length));
}

Result<std::size_t> encode_sparse_into(SparseFormat format, std::span<const std::uint32_t> shape,
                                       std::span<const DenseView> components, MutableByteSpan out) {
  if (components.size() != COMPONENTS) return fail(ErrorKind::Malformed);
  if (shape.size() > MAX_NDIM) return fail(ErrorKind::TooManyDimensions);
  const std::uint16_t flag = format_flag(format);
  if (flag == 0) return fail(ErrorKind::Malformed);
  VAMRA_TRY(const std::size_t size, sparse_required_size(shape.size(), components));
  if (out.size() < size) return fail(ErrorKind::BufferTooSmall);

  std::size_t pos = write_sparse_prefix(format, shape, out);
  for (const DenseView& component : components) {
    // Sizes were checked above, so neither call can fail.
    const std::size_t len = *sparse_component_size(component);
    set_sparse_component_length(out.data() + pos, len);
    pos += 4;
    VAMRA_TRY(const std::size_t written,
              encode_dense_into(component, out.subspan(pos, len), EncodeOptions{}));
    pos += written;
  }
  return size;
}

Result<Decoded> decode_sparse(ByteSpan packet, const PacketHeader& header, SparseFormat format,
                              std::size_t depth, const DecodeOptions& options) {
  VAMRA_TRY(Shape shape, read_shape(packet, header.header_len, header.ndim));
  std::size_t pos = header.header_len + 4 * header.ndim;
  Sparse sparse{format, std::move(shape), {}};
  sparse.components.reserve(COMPONENTS);
  for (std::size_t i = 0; i < COMPONENTS; ++i) {
    if (packet.size() - pos < 4) return fail(ErrorKind::TooShort);
    const std::size_t len = load_u32(packet.data() + pos);
    pos += 4;
    if (packet.size() - pos < len) return fail(ErrorKind::TooShort);
    VAMRA_TRY(Decoded component, decode_depth(packet.subspan(pos, len), depth + 1, options));
    sparse.components.push_back(std::move(component));
    pos += len;
  }
  return sparse;
}

}  // namespace vamra
