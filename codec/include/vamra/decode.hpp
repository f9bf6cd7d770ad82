// Packet decoding: the values a packet decodes to, the dispatcher over body
// kinds and the nesting-depth limit. Each body reader sits with its writer
// (dense.hpp, sparse.hpp, ...). Decoded values borrow the input bytes (array
// data is never copied) and own only shapes, keys and lists; a value must not
// outlive its input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "vamra/header.hpp"

namespace vamra {

// 0 COO, 1 CSR, 2 CSC.
enum class SparseFormat : std::uint8_t { Coo = 0, Csr = 1, Csc = 2 };

struct Decoded;
struct BundleEntry;

// A dense packet without FLAG_COMPRESSED; `data` is exactly count x item size bytes.
struct Dense {
  Shape shape;
  ByteSpan data;
  Dtype dtype;
};

// Entries in packet order, duplicate keys kept.
struct Bundle {
  std::vector<BundleEntry> entries;
};

struct Sparse {
  SparseFormat format;
  Shape shape;
  std::vector<Decoded> components;  // exactly three, in packet order
};

struct Quantized {
  Shape shape;
  ByteSpan scales;
  ByteSpan zero_points;
  ByteSpan data;
  std::uint32_t axis;  // the stored byte, 0 to 255
  std::uint32_t group_size;
  Dtype dtype;
  std::uint8_t quant_scheme;
};

// Offsets table (count + 1 little-endian u64, as stored) and payload.
struct String {
  Shape shape;
  ByteSpan offsets;
  ByteSpan payload;
};

struct Ragged {
  Shape shape;
  ByteSpan offsets;
  ByteSpan payload;
};

// The 96 bytes at offsets 10 to 105 of a fixed-record packet, uninterpreted.
struct FixedRecord {
  std::array<std::byte, 96> bytes;
};

// A compressed dense body, left undecompressed. Produced only when
// DecodeOptions::keep_compressed is set; `frame` is the LZ4 frame (the footer,
// if any, already verified) and `size` the byte length the shape declares. A
// frame too short to expand to `size` is refused by decode (Compression,
// LZ4_SIZE_MISMATCH), so a caller may allocate `size` bytes for the output.
struct CompressedDense {
  Shape shape;
  ByteSpan frame;
  Dtype dtype;
  std::size_t size;
};

struct Decoded
    : std::variant<Dense, Bundle, Sparse, Quantized, String, Ragged, FixedRecord, CompressedDense> {
  using variant::variant;
};

struct BundleEntry {
  std::string key;  // valid UTF-8
  Decoded value;
};

struct DecodeOptions {
  // Report compressed dense packets, at any depth, as CompressedDense values
  // instead of failing the whole decode with the owning-path signal.
  bool keep_compressed = false;
};

// decode_depth at depth 0.
Result<Decoded> decode(ByteSpan packet, const DecodeOptions& options = {});

// Decodes one packet found at nesting `depth` (the top level is 0). Depths
// above MAX_DECODE_DEPTH are refused with Malformed before any byte is read.
// Body kinds are tested in this order: fixed record, bundle, sparse (COO, CSR,
// CSC), string, ragged, quantized dtype codes, dense.
Result<Decoded> decode_depth(ByteSpan packet, std::size_t depth, const DecodeOptions& options = {});

}  // namespace vamra
