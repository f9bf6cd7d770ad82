// Sparse matrix packets: header, matrix shape, then three length-prefixed
// dense packets (data, row, col for COO; data, indices, indptr for CSR/CSC).
#pragma once

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

}  // namespace vamra
