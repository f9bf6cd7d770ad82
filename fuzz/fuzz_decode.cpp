// Arbitrary bytes into the packet decoder, with and without keep_compressed,
// and into decode_dense_to_owned. Every byte of every span in a result is
// read, every span must lie inside the input, and compressed values are
// decompressed into a buffer of their declared size. The two decode modes must
// agree: keep_compressed only ever turns the owning-path signal into a value.
// The footer checksum's own loops are held to libxxhash on the same bytes, and
// the sparse index check to a plain reading of every index.
#include <xxhash.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "vamra/bundle.hpp"
#include "vamra/checksum.hpp"
#include "vamra/decode.hpp"
#include "vamra/dense.hpp"
#include "vamra/sparse.hpp"
#include "vamra/utf8.hpp"
#include "xxh3_long.hpp"

namespace {

using namespace vamra;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_decode: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

// Largest declared size that is decompressed; anything bigger cannot come from
// an input libFuzzer generates without tripping the plausibility check anyway.
constexpr std::size_t MAX_DECOMPRESS = std::size_t{1} << 26;

struct Walker {
  ByteSpan input;
  std::uint8_t sink = 0;
  bool keep_compressed = false;
  std::size_t compressed_values = 0;
  std::vector<std::byte> scratch;

  void touch(ByteSpan span, const char* what) {
    if (span.empty()) return;
    const auto* lo = input.data();
    const auto* hi = input.data() + input.size();
    if (span.data() < lo || span.data() > hi ||
        span.size() > static_cast<std::size_t>(hi - span.data())) {
      fail(what);
    }
    read_all(span.data(), span.size());
  }

  // Reads n bytes through memcpy, which AddressSanitizer checks as one range
  // (and which, unlike a byte loop here, is not slowed by coverage tracing).
  void read_all(const std::byte* p, std::size_t n) {
    if (n == 0) return;
    if (scratch.size() < n) scratch.resize(n);
    std::memcpy(scratch.data(), p, n);
    sink ^= static_cast<std::uint8_t>(scratch[n / 2]);
  }

  static std::uint64_t count_of(const Shape& shape) {
    std::uint64_t n = 1;
    for (const auto d : shape) n *= d;
    return n;
  }

  void shape_ok(const Shape& shape) {
    check(shape.size() <= MAX_NDIM, "shape longer than MAX_NDIM");
  }

  void walk(const Decoded& value, std::size_t depth) {
    check(depth <= MAX_DECODE_DEPTH, "value nested deeper than MAX_DECODE_DEPTH");
    std::visit([&](const auto& v) { this->visit(v, depth); }, value);
  }

  void visit(const Dense& v, std::size_t) {
    shape_ok(v.shape);
    check(item_size(v.dtype) != 0, "dense value of a type without item size");
    check(count_of(v.shape) <= MAX_ELEMENTS, "dense value above MAX_ELEMENTS");
    check(v.data.size() == count_of(v.shape) * item_size(v.dtype), "dense data length");
    touch(v.data, "dense data outside the input");
  }

  void visit(const Bundle& v, std::size_t depth) {
    for (const auto& entry : v.entries) {
      check(is_valid_utf8(entry.key), "bundle key is not UTF-8");
      for (const char c : entry.key) sink ^= static_cast<std::uint8_t>(c);
      walk(entry.value, depth + 1);
    }
  }

  void visit(const Sparse& v, std::size_t depth) {
    check(v.components.size() == 3, "sparse value without three components");
    check(v.shape.size() <= MAX_NDIM, "sparse shape longer than MAX_NDIM");
    for (const auto& c : v.components) walk(c, depth + 1);
    check_indices(v);
  }

  // Element i of an integer array, or nothing for a negative one (or an array
  // of another type). A plain reading, against which check_sparse is held.
  static std::optional<std::uint64_t> index_at(const Dense& d, std::size_t i) {
    const std::byte* p = d.data.data() + i * item_size(d.dtype);
    auto as = [p]<class T>(T) -> std::optional<std::uint64_t> {
      T value;
      std::memcpy(&value, p, sizeof value);
      if (value < 0 && std::is_signed_v<T>) return std::nullopt;
      return static_cast<std::uint64_t>(value);
    };
    switch (d.dtype) {
      case Dtype::Int8:
        return as(std::int8_t{});
      case Dtype::Int16:
        return as(std::int16_t{});
      case Dtype::Int32:
        return as(std::int32_t{});
      case Dtype::Int64:
        return as(std::int64_t{});
      case Dtype::UInt8:
        return as(std::uint8_t{});
      case Dtype::UInt16:
        return as(std::uint16_t{});
      case Dtype::UInt32:
        return as(std::uint32_t{});
      case Dtype::UInt64:
        return as(std::uint64_t{});
      default:
        return std::nullopt;
    }
  }

  static bool is_index_type(Dtype t) {
    return t == Dtype::Int8 || t == Dtype::Int16 || t == Dtype::Int32 || t == Dtype::Int64 ||
           t == Dtype::UInt8 || t == Dtype::UInt16 || t == Dtype::UInt32 || t == Dtype::UInt64;
  }

  // Every index below `bound`, for an array of `expected` elements.
  static bool all_below(const Dense& d, std::size_t expected, std::uint64_t bound) {
    if (!is_index_type(d.dtype) || d.data.size() / item_size(d.dtype) != expected) return false;
    for (std::size_t i = 0; i < expected; ++i) {
      const auto value = index_at(d, i);
      if (!value || *value >= bound) return false;
    }
    return true;
  }

  // check_sparse accepts exactly the matrices whose every index a reader may
  // follow, judged here by reading each element one at a time.
  static void check_indices(const Sparse& v) {
    const Dense* parts[3];
    for (std::size_t i = 0; i < 3; ++i) {
      parts[i] = std::get_if<Dense>(&v.components[i]);
      if (parts[i] == nullptr) return;  // SciPy never sees such a matrix
    }
    const std::uint64_t shape[2] = {v.shape.size() > 0 ? v.shape[0] : 0,
                                    v.shape.size() > 1 ? v.shape[1] : 0};
    const SparseArray arrays[3] = {{parts[0]->data, parts[0]->dtype},
                                   {parts[1]->data, parts[1]->dtype},
                                   {parts[2]->data, parts[2]->dtype}};
    const bool accepted = static_cast<bool>(
        check_sparse(v.format, std::span(shape, v.shape.size() == 2 ? 2 : 0), arrays));
    const std::size_t nnz = parts[0]->data.size() / item_size(parts[0]->dtype);
    bool sound = v.shape.size() == 2;
    if (sound && v.format == SparseFormat::Coo) {
      sound = all_below(*parts[1], nnz, shape[0]) && all_below(*parts[2], nnz, shape[1]);
    } else if (sound) {
      const bool csr = v.format == SparseFormat::Csr;
      const Dense& indptr = *parts[2];
      const std::size_t count =
          is_index_type(indptr.dtype) ? indptr.data.size() / item_size(indptr.dtype) : 0;
      sound = all_below(*parts[1], nnz, csr ? shape[1] : shape[0]) && count >= 1 &&
              count - 1 == (csr ? shape[0] : shape[1]);
      std::uint64_t previous = 0;
      for (std::size_t i = 0; sound && i < count; ++i) {
        const auto at = index_at(indptr, i);
        sound = at && (i == 0 ? *at == 0 : *at >= previous);
        if (at) previous = *at;
      }
      sound = sound && previous == nnz;
    }
    check(accepted == sound, "check_sparse disagrees with a plain reading of the indices");
  }

  void visit(const Quantized& v, std::size_t) {
    shape_ok(v.shape);
    check(is_quantized(v.dtype), "quantized value of a non-quantized type");
    check(v.axis <= 255, "quantized axis above 255");
    check(v.scales.size() == v.zero_points.size() && v.scales.size() % 4 == 0,
          "quantized parameter lengths");
    const std::uint64_t n = count_of(v.shape);
    const bool nibbles = v.dtype == Dtype::QInt4 || v.dtype == Dtype::QUInt4;
    check(v.data.size() == (nibbles ? (n + 1) / 2 : n), "quantized data length");
    touch(v.scales, "scales outside the input");
    touch(v.zero_points, "zero points outside the input");
    touch(v.data, "quantized data outside the input");
  }

  template <class T>
  void offsets_payload(const T& v) {
    const std::size_t count = v.shape.empty() ? 0 : v.shape[0];
    check(v.offsets.size() == 8 * (count + 1), "offsets table length");
    touch(v.offsets, "offsets outside the input");
    touch(v.payload, "payload outside the input");
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i <= count; ++i) {
      const std::uint64_t o = load_u64(v.offsets.data() + 8 * i);
      check(o >= previous && (i != 0 || o == 0), "offsets not ascending from 0");
      previous = o;
    }
    check(previous == v.payload.size(), "last offset differs from the payload length");
  }

  void visit(const String& v, std::size_t) { offsets_payload(v); }
  void visit(const Ragged& v, std::size_t) { offsets_payload(v); }

  void visit(const FixedRecord& v, std::size_t depth) {
    check(input.size() >= 106, "fixed record from a short input");
    if (depth == 0) {
      check(std::memcmp(v.bytes.data(), input.data() + 10, 96) == 0, "fixed record bytes");
    }
  }

  void visit(const CompressedDense& v, std::size_t) {
    check(keep_compressed, "compressed value without keep_compressed");
    ++compressed_values;
    shape_ok(v.shape);
    check(v.size == count_of(v.shape) * item_size(v.dtype), "compressed declared size");
    touch(v.frame, "frame outside the input");
    if (v.size > MAX_DECOMPRESS) return;
    // The output sits in an exactly sized heap block, so a write past it is an
    // AddressSanitizer report.
    std::unique_ptr<std::byte[]> out(new std::byte[v.size]);
    const auto produced = decompress_into(v, {out.get(), v.size});
    if (produced) {
      check(*produced == v.size, "decompress_into length");
      read_all(out.get(), v.size);
    }
    // A wrong-sized output is always refused.
    if (v.size > 0) {
      check(!decompress_into(v, {out.get(), v.size - 1}), "short output accepted");
    }
  }
};

// `n` bytes of the input, repeated as needed, `from` bytes past a 64-byte
// boundary, in a block that ends with them (a read past them is a sanitizer
// report); hashed, and copied `to` bytes past a boundary, by the codec and
// by libxxhash.
void check_checksum(ByteSpan input, std::size_t n, std::size_t from, std::size_t to) {
  const auto release = [](unsigned char* p) { ::operator delete[](p, std::align_val_t{64}); };
  std::unique_ptr<unsigned char[], decltype(release)> block(
      new (std::align_val_t{64}) unsigned char[from + n], release);
  std::unique_ptr<unsigned char[], decltype(release)> out(
      new (std::align_val_t{64}) unsigned char[to + n], release);
  unsigned char* src = block.get() + from;
  for (std::size_t done = 0; done < n; done += input.size()) {
    std::memcpy(src + done, input.data(), std::min(input.size(), n - done));
  }
  const ByteSpan bytes(reinterpret_cast<const std::byte*>(src), n);
  const std::uint64_t expected = XXH3_64bits(src, n);
  check(checksum(bytes) == expected, "checksum differs from XXH3_64bits");
  check(copy_with_checksum(reinterpret_cast<std::byte*>(out.get() + to), bytes) == expected,
        "copy_with_checksum differs from XXH3_64bits");
  check(n == 0 || std::memcmp(out.get() + to, src, n) == 0, "copy_with_checksum copy differs");
}

// The input as it is, and for one input in eight (the long copy costs
// several times the decoding) the input repeated past the length from which
// the AVX-512 unit reads whole lines, 8 to 56 bytes past a line boundary
// (which that loop takes). Offsets and the added length come from the
// input's first bytes.
void check_checksums(ByteSpan input) {
  if (input.empty()) return;
  const auto byte = [&](std::size_t i) {
    return static_cast<std::size_t>(input[i % input.size()]);
  };
  check_checksum(input, input.size(), byte(0) % 64, byte(1) % 64);
  if (byte(2) % 8 == 0) {
    const std::size_t longer = xxh3::LINES_FROM + byte(3) * 8 + byte(4) % 8;
    check_checksum(input, longer, (byte(5) % 7 + 1) * 8, byte(6) % 64);
  }
}

bool is_signal(const CodecError& e) {
  return e == CodecError{ErrorKind::Compression, 0, NEEDS_OWNING_PATH};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input(reinterpret_cast<const std::byte*>(data), size);

  const auto plain = decode(input);
  const auto kept = decode(input, DecodeOptions{.keep_compressed = true});

  Walker walker;
  walker.input = input;
  if (plain) walker.walk(*plain, 0);
  walker.keep_compressed = true;
  if (kept) walker.walk(*kept, 0);

  if (plain) {
    check(kept.has_value(), "keep_compressed failed where the plain decode succeeded");
    check(walker.compressed_values == 0, "compressed value where the plain decode succeeded");
  } else if (!is_signal(plain.error())) {
    check(!kept && kept.error() == plain.error(), "keep_compressed changed a decode error");
  } else if (kept) {
    check(walker.compressed_values > 0, "owning-path signal without a compressed value");
  }

  const auto owned = decode_dense_to_owned(input);
  if (owned) {
    check(kept.has_value(), "owned decode of an undecodable packet");
    const std::uint64_t n = Walker::count_of(owned->shape);
    check(owned->data.size == n * item_size(owned->dtype), "owned data length");
    if (const auto* dense = std::get_if<Dense>(&*kept)) {
      check(dense->data.size() == owned->data.size &&
                (dense->data.empty() ||
                 std::memcmp(dense->data.data(), owned->data.data.get(), owned->data.size) == 0),
            "owned copy differs from the borrowed body");
    } else {
      check(std::holds_alternative<CompressedDense>(*kept), "owned decode of a non-dense value");
    }
    walker.read_all(owned->data.data.get(), owned->data.size);
  } else if (kept && std::holds_alternative<Dense>(*kept)) {
    fail("owned decode failed on a dense packet");
  }

  check_checksums(input);

  volatile std::uint8_t keep = walker.sink;
  (void)keep;
  return 0;
}
