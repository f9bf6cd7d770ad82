#include "vamra/sparse.hpp"

#include <type_traits>

#include "index_scan.hpp"
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

// Calls `visit` with a value of the integer type `dtype` names and returns
// its result; an index array of any other type is Malformed.
template <class Visit>
Result<void> with_index_type(Dtype dtype, Visit&& visit) {
  switch (dtype) {
    case Dtype::Int8:
      return visit(std::int8_t{});
    case Dtype::Int16:
      return visit(std::int16_t{});
    case Dtype::Int32:
      return visit(std::int32_t{});
    case Dtype::Int64:
      return visit(std::int64_t{});
    case Dtype::UInt8:
      return visit(std::uint8_t{});
    case Dtype::UInt16:
      return visit(std::uint16_t{});
    case Dtype::UInt32:
      return visit(std::uint32_t{});
    case Dtype::UInt64:
      return visit(std::uint64_t{});
    default:
      return fail(ErrorKind::Malformed);
  }
}

using index_scan::element;

#if defined(VAMRA_X86_KERNELS)
// Whether the processor offers AVX2, asked once.
bool has_avx2() {
  static const bool present = __builtin_cpu_supports("avx2");
  return present;
}
#endif

// The element count of an array of T, or nothing when its bytes are not whole elements.
template <class T>
Result<std::size_t> count_of(ByteSpan data) {
  if (data.size() % sizeof(T) != 0) return fail(ErrorKind::Malformed);
  return data.size() / sizeof(T);
}

// Every element of an index array of `count` elements lies in [0, bound).
// The check runs on every load and must stay a small share of it: int32 and
// int64 indices, SciPy's own, run on the widest vector unit at hand.
template <class T>
bool indices_below(const std::byte* data, std::size_t count, std::uint64_t bound) {
#if defined(VAMRA_X86_KERNELS)
  if constexpr (std::is_same_v<T, std::int32_t>) {
    if (has_avx2()) return index_scan::below_i32_avx2(data, count, bound);
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    if (has_avx2()) return index_scan::below_i64_avx2(data, count, bound);
  }
#endif
  return index_scan::below<T>(data, count, bound);
}

// An index pointer of `count` elements that starts at 0, never decreases and
// ends at `nnz`; all its elements then lie in [0, nnz].
template <class T>
bool pointers_valid(const std::byte* data, std::size_t count, std::uint64_t nnz) {
  if (count == 0 || element<T>(data, 0) != 0) return false;
  bool decreases = false;
  for (std::size_t i = 1; i < count; ++i) {
    decreases |= element<T>(data, i) < element<T>(data, i - 1);
  }
  return !decreases && static_cast<std::uint64_t>(element<T>(data, count - 1)) == nnz;
}

// One index array of `expected` elements, every element in [0, bound).
Result<void> check_indices(const SparseArray& array, std::size_t expected, std::uint64_t bound) {
  return with_index_type(array.dtype, [&]<class T>(T) -> Result<void> {
    VAMRA_TRY(const std::size_t count, count_of<T>(array.data));
    if (count != expected || !indices_below<T>(array.data.data(), count, bound)) {
      return fail(ErrorKind::Malformed);
    }
    return {};
  });
}

}  // namespace

Result<void> check_sparse(SparseFormat format, std::span<const std::uint64_t> shape,
                          std::span<const SparseArray> components) {
  if (components.size() != COMPONENTS || shape.size() != 2) return fail(ErrorKind::Malformed);
  const SparseArray& data = components[0];
  const std::size_t size = item_size(data.dtype);
  if (size == 0 || data.data.size() % size != 0) return fail(ErrorKind::Malformed);
  const std::size_t nnz = data.data.size() / size;
  if (format == SparseFormat::Coo) {
    const auto rows = check_indices(components[1], nnz, shape[0]);
    if (!rows) return rows;
    return check_indices(components[2], nnz, shape[1]);
  }
  if (format != SparseFormat::Csr && format != SparseFormat::Csc) return fail(ErrorKind::Malformed);
  // CSR compresses the rows, so its indices are columns; CSC the other way round.
  const std::uint64_t major = format == SparseFormat::Csr ? shape[0] : shape[1];
  const std::uint64_t minor = format == SparseFormat::Csr ? shape[1] : shape[0];
  const auto indices = check_indices(components[1], nnz, minor);
  if (!indices) return indices;
  const SparseArray& indptr = components[2];
  return with_index_type(indptr.dtype, [&]<class T>(T) -> Result<void> {
    VAMRA_TRY(const std::size_t count, count_of<T>(indptr.data));
    // count - 1, not major + 1, which a shape from outside a packet can overflow.
    if (count == 0 || count - 1 != major || !pointers_valid<T>(indptr.data.data(), count, nnz)) {
      return fail(ErrorKind::Malformed);
    }
    return {};
  });
}

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
