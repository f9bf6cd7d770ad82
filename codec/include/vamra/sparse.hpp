// Sparse matrix packets: header, matrix shape, then three length-prefixed
// dense packets (data, row, col for COO; data, indices, indptr for CSR/CSC).
#pragma once

#include <cstdint>
#include <span>

#include "vamra/decode.hpp"

namespace vamra {

// Exact packet size for a matrix of `shape_len` dimensions and these
// components. Errors, in order: Malformed (not three components),
// TooManyDimensions, then per component TooManyDimensions, TooManyElements,
// UnknownDtype, Malformed (length); Malformed when a component packet does not
// fit its 32-bit length field or the sum overflows.
Result<std::size_t> sparse_required_size(std::size_t shape_len,
                                         std::span<const DenseView> components);

// The header and matrix shape that open a sparse packet of `ndim` dimensions.
constexpr std::size_t sparse_prefix_size(std::size_t ndim) { return V4_HEADER_LEN + 4 * ndim; }

// Writes the header and the matrix shape at the start of `out`, which holds
// sparse_prefix_size(shape.size()) bytes, and returns that size. Each of the
// three components then follows behind its length field
// (set_sparse_component_length). The caller has checked the format, the
// shape's length and the components (sparse_required_size).
std::size_t write_sparse_prefix(SparseFormat format, std::span<const std::uint32_t> shape,
                                MutableByteSpan out);

// Fills a component's length field (the 4 bytes at `field`); the component's
// packet follows it. The caller has checked that the length fits.
void set_sparse_component_length(std::byte* field, std::size_t length);

// Writes the sparse packet, each component encoded in place after its length
// field (alignment 64, no footer, no compression). Nothing is written on error.
Result<std::size_t> encode_sparse_into(SparseFormat format, std::span<const std::uint32_t> shape,
                                       std::span<const DenseView> components, MutableByteSpan out);

// Packet length of one component as written inside a sparse packet.
Result<std::size_t> sparse_component_size(const DenseView& component);

// The sparse body reader (the dispatcher's sparse branch); components are
// decoded at depth + 1.
Result<Decoded> decode_sparse(ByteSpan packet, const PacketHeader& header, SparseFormat format,
                              std::size_t depth, const DecodeOptions& options = {});

// One array of a sparse matrix as check_sparse reads it: the elements' bytes
// (little-endian, as packets carry them; any address) and their type.
struct SparseArray {
  ByteSpan data;
  Dtype dtype;
};

// Checks that the three arrays of a sparse matrix (data, row, col for COO;
// data, indices, indptr for CSR and CSC) describe a `shape` matrix that can be
// indexed without leaving it, so that a reader may hand them to code that
// trusts them (SciPy's kernels write through every index unchecked). The rules:
// - the shape has two dimensions, and `data` is whole elements of a type with
//   a dense item size;
// - the index arrays hold integers of one of the eight integer types (int8 to
//   int64, uint8 to uint64); bool, floating-point and complex ones are refused,
//   as no index can be trusted once converted from them;
// - COO: row, col and data have one length, and every row lies below shape[0]
//   and every column below shape[1] (and none is negative);
// - CSR (CSC): indptr holds shape[0] + 1 (shape[1] + 1) entries, starts at 0,
//   never decreases and ends at the length of data, which indices shares; every
//   index lies below shape[1] (shape[0]) and none is negative.
// One pass over each index array. Malformed on any breach.
Result<void> check_sparse(SparseFormat format, std::span<const std::uint64_t> shape,
                          std::span<const SparseArray> components);

}  // namespace vamra
