#include "vamra/decode.hpp"

#include <cstring>

#include "try.hpp"
#include "vamra/bundle.hpp"
#include "vamra/dense.hpp"
#include "vamra/quantized.hpp"
#include "vamra/sparse.hpp"
#include "vamra/string.hpp"

namespace vamra {

namespace {

constexpr std::size_t FIXED_RECORD_LEN = 96;

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
  VAMRA_TRY(const PacketHeader header, parse_header(packet));
  const std::uint16_t flags = header.flags;
  if (flags & FLAG_FIXED_RECORD) return decode_fixed_record(packet, header);
  if (flags & FLAG_BUNDLE) return decode_bundle(packet, header, depth, options);
  if (flags & (FLAG_SPARSE_COO | FLAG_SPARSE_CSR | FLAG_SPARSE_CSC)) {
    // The first format bit that is set decides.
    const SparseFormat format = (flags & FLAG_SPARSE_COO)   ? SparseFormat::Coo
                                : (flags & FLAG_SPARSE_CSR) ? SparseFormat::Csr
                                                            : SparseFormat::Csc;
    return decode_sparse(packet, header, format, depth, options);
  }
  if (flags & FLAG_STRING) return decode_string(packet, header);
  if (flags & FLAG_RAGGED) return decode_ragged(packet, header);
  if ((header.dtype_code & ~3u) == 16) return decode_quantized(packet, header);
  return decode_dense(packet, header, options);
}

}  // namespace vamra
