// Quantized tensor packets: header, shape, a parameter block (scheme, axis,
// group size, N, N scales, N zero points), optional exponent byte, padding,
// the packed codes, and an optional footer over parameter block and codes.
#pragma once

#include "vamra/dense.hpp"

namespace vamra {

// A quantized tensor lent to the encoder.
struct QuantizedView {
  std::span<const std::uint32_t> shape;
  ByteSpan scales;       // N x 4 bytes
  ByteSpan zero_points;  // exactly as long as scales
  ByteSpan data;         // packed codes; bytes beyond the needed length are ignored
  std::uint32_t group_size;
  std::uint8_t quant_scheme;
  std::uint8_t axis;
  Dtype dtype;  // one of QInt8, QUInt8, QInt4, QUInt4
};

// Exact packet size. Errors, in order: Malformed (alignment), UnknownDtype (not
// a quantized type), TooManyDimensions, Malformed (scales / zero points),
// TooManyElements, Malformed (data shorter than needed). `compress` is ignored.
Result<std::size_t> quantized_required_size(const QuantizedView& view,
                                            const EncodeOptions& options);

// Writes the packet. Errors: those of quantized_required_size, BufferTooSmall.
// Nothing is written on error.
Result<std::size_t> encode_quantized_into(const QuantizedView& view, MutableByteSpan out,
                                          const EncodeOptions& options);

// The quantized body reader, for unflagged packets with dtype codes 16 to 19.
Result<Decoded> decode_quantized(ByteSpan packet, const PacketHeader& header);

}  // namespace vamra
