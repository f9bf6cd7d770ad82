// Reading the framing of packets without decoding their values: the entries
// of a bundle (`index`), what one packet's header says (`describe`), the
// checks a load would make of one packet (`verify`), and where a packet ends
// (`extent`). Each works on a range of a byte buffer, so a mapped file is
// never copied or sliced.
#include <lz4frame.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <variant>

#include "buffer.hpp"
#include "errors.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "vamra/bundle.hpp"
#include "vamra/decode.hpp"
#include "vamra/utf8.hpp"

namespace vamra::native {

namespace {

// The packet at [offset, offset + length) of a buffer argument.
struct PacketRange {
  buffer::ByteBuffer input;
  ByteSpan packet;
  std::size_t offset = 0;
};

bool range_from(const frame::Args& args, PacketRange& out) {
  std::size_t offset = 0;
  std::size_t length = 0;
  if (!args.get(1, offset, frame::to_size) || !args.get(2, length, frame::to_size)) return false;
  if (!out.input.acquire(args[0])) return false;
  const ByteSpan all = out.input.bytes();
  if (offset > all.size() || length > all.size() - offset) {
    return errors::raise(PyExc_ValueError, messages::PACKET_RANGE_OUTSIDE);
  }
  out.packet = all.subspan(offset, length);
  out.offset = offset;
  return true;
}

bool is_bundle(const PacketHeader& header) {
  return (header.flags & FLAG_FIXED_RECORD) == 0 && (header.flags & FLAG_BUNDLE) != 0;
}

py::Ref size_object(std::size_t value) { return py::Ref::steal(PyLong_FromSize_t(value)); }

bool set_item(PyObject* dict, const char* key, py::Ref value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

py::Ref text(std::string_view value) {
  return py::Ref::steal(
      PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

py::Ref shape_tuple(const Shape& shape) {
  py::Ref tuple = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
  if (!tuple) return {};
  for (std::size_t i = 0; i < shape.size(); ++i) {
    PyObject* extent = PyLong_FromUnsignedLong(shape[i]);
    if (extent == nullptr) return {};
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), extent);  // steals
  }
  return tuple;
}

// What `describe` reports besides the header fields.
struct Description {
  const char* kind = "dense";
  std::optional<Dtype> dtype;
  Shape shape;
  std::size_t stored = 0;        // body bytes as stored
  std::size_t uncompressed = 0;  // body bytes once decompressed
  bool compressed = false;
};

Result<Description> describe_packet(ByteSpan packet, const PacketHeader& header) {
  Description out;
  const std::uint16_t flags = header.flags;
  const std::size_t footer = (flags & FLAG_INTEGRITY) != 0 ? FOOTER_LEN : 0;
  if ((flags & FLAG_FIXED_RECORD) != 0) {
    out.kind = "record";
    out.stored = out.uncompressed = 96;
    return out;
  }
  if ((flags & FLAG_BUNDLE) != 0) {
    out.kind = "bundle";
    out.stored = out.uncompressed = packet.size();
    return out;
  }
  auto shape = read_shape(packet, header.header_len, header.ndim);
  if (!shape) return std::unexpected(shape.error());
  out.shape = std::move(*shape);
  const std::size_t after_shape = header.header_len + 4 * header.ndim;
  if ((flags & (FLAG_SPARSE_COO | FLAG_SPARSE_CSR | FLAG_SPARSE_CSC)) != 0) {
    out.kind = (flags & FLAG_SPARSE_COO) != 0   ? "coo"
               : (flags & FLAG_SPARSE_CSR) != 0 ? "csr"
                                                : "csc";
    out.stored = out.uncompressed = packet.size() - after_shape;
    return out;
  }
  if ((flags & (FLAG_STRING | FLAG_RAGGED)) != 0) {
    out.kind = (flags & FLAG_STRING) != 0 ? "string" : "ragged";
    out.dtype = Dtype::String;
    const std::uint64_t count = out.shape.empty() ? 0 : out.shape[0];
    const auto start = aligned_body_start(packet, after_shape, flags);
    if (!start) return std::unexpected(start.error());
    const std::uint64_t last = *start + 8 * count;
    if (last + 8 > packet.size()) return fail(ErrorKind::TooShort);
    const std::uint64_t payload = load_u64(packet.data() + last);
    if (payload > packet.size()) return fail(ErrorKind::TooShort);
    out.stored = out.uncompressed = static_cast<std::size_t>(8 * (count + 1) + payload);
    return out;
  }
  const auto dtype = dtype_from_code(header.dtype_code);
  if (!dtype) return fail(ErrorKind::UnknownDtype, header.dtype_code);
  out.dtype = *dtype;
  const auto count = element_count(out.shape);
  if (!count) return std::unexpected(count.error());
  if (is_quantized(*dtype)) {
    out.kind = "quantized";
    const std::size_t head = after_shape;
    if (head + 10 > packet.size()) return fail(ErrorKind::TooShort);
    const std::uint64_t scales = 4ull * load_u32(packet.data() + head + 6);
    const bool nibbles = *dtype == Dtype::QInt4 || *dtype == Dtype::QUInt4;
    out.stored = out.uncompressed =
        static_cast<std::size_t>(10 + 2 * scales + (nibbles ? (*count + 1) / 2 : *count));
    return out;
  }
  if (item_size(*dtype) == 0) return fail(ErrorKind::UnknownDtype, header.dtype_code);
  const auto start = aligned_body_start(packet, after_shape, flags);
  if (!start) return std::unexpected(start.error());
  out.uncompressed = static_cast<std::size_t>(*count) * item_size(*dtype);
  if ((flags & FLAG_COMPRESSED) != 0) {
    if (*start + footer > packet.size()) return fail(ErrorKind::TooShort);
    out.compressed = true;
    out.stored = packet.size() - *start - footer;
  } else {
    if (*start + out.uncompressed + footer > packet.size()) return fail(ErrorKind::TooShort);
    out.stored = out.uncompressed;
  }
  return out;
}

// Decompresses a frame into a small scratch buffer, over and over, keeping
// nothing: it fails exactly where decompressing it into an array of `size`
// bytes would (lz4_decompress_frame_into), so verifying a file costs a few
// hundred KiB of memory whatever the size of its bodies.
class DiscardingDecompressor {
 public:
  ~DiscardingDecompressor() {
    if (ctx_ != nullptr) LZ4F_freeDecompressionContext(ctx_);
  }

  Result<void> check(ByteSpan frame, std::size_t size) {
    if (!scratch_) {
      scratch_.reset(new (std::nothrow) std::byte[SCRATCH]);
      if (!scratch_) return fail(ErrorKind::OutOfMemory);
    }
    if (ctx_ == nullptr) {
      if (LZ4F_isError(LZ4F_createDecompressionContext(&ctx_, LZ4F_VERSION))) {
        ctx_ = nullptr;
        return fail_compression(LZ4_DECOMPRESS_FAILED);
      }
    } else {
      LZ4F_resetDecompressionContext(ctx_);
    }
    std::size_t in_pos = 0;
    std::size_t produced = 0;
    for (;;) {
      std::size_t dst_size = SCRATCH;
      std::size_t src_size = frame.size() - in_pos;
      const std::size_t hint = LZ4F_decompress(ctx_, scratch_.get(), &dst_size,
                                               frame.data() + in_pos, &src_size, nullptr);
      if (LZ4F_isError(hint)) {
        // A failed context is left in an unknown state: the next frame gets a fresh one.
        LZ4F_freeDecompressionContext(ctx_);
        ctx_ = nullptr;
        return fail_compression(LZ4_DECOMPRESS_FAILED);
      }
      in_pos += src_size;
      produced += dst_size;
      if (produced > size) return fail_compression(LZ4_SIZE_MISMATCH);
      if (hint == 0) {
        if (produced != size) return fail_compression(LZ4_SIZE_MISMATCH);
        return {};
      }
      if (src_size == 0 && dst_size == 0) return fail_compression(LZ4_DECOMPRESS_FAILED);
    }
  }

 private:
  static constexpr std::size_t SCRATCH = std::size_t{256} << 10;
  LZ4F_dctx* ctx_ = nullptr;
  std::unique_ptr<std::byte[]> scratch_;
};

// Whether NumPy makes an array of this shape: it refuses one whose non-zero
// extents and item size multiply past the largest intp, even when another
// extent is 0 (a shape the codec accepts, having no elements).
bool numpy_takes_shape(const Shape& shape, Dtype dtype) {
  std::uint64_t bytes = item_size(dtype);
  for (const std::uint32_t extent : shape) {
    if (extent == 0) continue;
    if (__builtin_mul_overflow(bytes, std::uint64_t{extent}, &bytes) || bytes > INT64_MAX) {
      return false;
    }
  }
  return true;
}

// What loading checks of a decoded value beyond decoding it: every array has
// a shape NumPy takes, every compressed body decompresses to its declared
// size, and a sparse matrix has dimensions and one-dimensional arrays as
// components (load refuses anything else before SciPy sees it).
Result<void> check_decoded(const Decoded& value, DiscardingDecompressor& inflate) {
  if (const auto* dense = std::get_if<Dense>(&value)) {
    if (!numpy_takes_shape(dense->shape, dense->dtype)) return fail(ErrorKind::TooManyElements);
    return {};
  }
  if (const auto* compressed = std::get_if<CompressedDense>(&value)) {
    if (!numpy_takes_shape(compressed->shape, compressed->dtype)) {
      return fail(ErrorKind::TooManyElements);
    }
    return inflate.check(compressed->frame, compressed->size);
  }
  if (const auto* bundle = std::get_if<Bundle>(&value)) {
    for (const BundleEntry& entry : bundle->entries) {
      if (auto checked = check_decoded(entry.value, inflate); !checked) return checked;
    }
    return {};
  }
  if (const auto* sparse = std::get_if<Sparse>(&value)) {
    if (sparse->shape.empty()) return fail(ErrorKind::Malformed);
    for (const Decoded& component : sparse->components) {
      const auto* dense = std::get_if<Dense>(&component);
      const auto* compressed = std::get_if<CompressedDense>(&component);
      const bool one_dimensional = (dense != nullptr && dense->shape.size() == 1) ||
                                   (compressed != nullptr && compressed->shape.size() == 1);
      const bool not_converted = std::holds_alternative<Ragged>(component) ||
                                 std::holds_alternative<FixedRecord>(component);
      if (!one_dimensional && !not_converted) return fail(ErrorKind::Malformed);
      if (auto checked = check_decoded(component, inflate); !checked) return checked;
    }
  }
  return {};
}

// Where a packet ends, read from its framing: Complete with its length, Need
// with the length of the prefix that must be available to tell (more than is
// there), or Unknown when the framing does not tell (a damaged header, a body
// that is not an LZ4 frame): then the packet runs to the end of its input, as
// for a file holding one packet.
struct Extent {
  enum class Kind : std::uint8_t { Complete, Need, Unknown } kind;
  std::size_t size = 0;
};

constexpr Extent complete(std::size_t size) { return {Extent::Kind::Complete, size}; }
constexpr Extent need(std::size_t size) { return {Extent::Kind::Need, size}; }
constexpr Extent unknown() { return {Extent::Kind::Unknown, 0}; }

constexpr std::uint32_t LZ4_FRAME_MAGIC = 0x184D2204;

// Reads fields of a packet prefix: each asks for the `n` bytes at `pos`, and
// the first one missing decides the Need.
class Prefix {
 public:
  explicit Prefix(ByteSpan bytes) : bytes_(bytes) {}

  bool has(std::size_t pos, std::size_t n) const {
    return pos <= bytes_.size() && n <= bytes_.size() - pos;
  }
  // Need for the n bytes at pos, or Unknown when that end overflows.
  static Extent need_up_to(std::size_t pos, std::size_t n) {
    const auto end = checked_add(pos, n);
    return end ? need(*end) : unknown();
  }
  std::uint32_t u32(std::size_t pos) const { return load_u32(bytes_.data() + pos); }
  std::uint64_t u64(std::size_t pos) const { return load_u64(bytes_.data() + pos); }
  std::uint8_t byte(std::size_t pos) const { return static_cast<std::uint8_t>(bytes_[pos]); }

 private:
  ByteSpan bytes_;
};

// The end of the LZ4 frame at `start`: its header, its blocks (each with its
// checksum when the frame has them), the end mark and the content checksum.
Extent lz4_frame_end(const Prefix& in, std::size_t start) {
  if (!in.has(start, 6)) return Prefix::need_up_to(start, 6);
  if (in.u32(start) != LZ4_FRAME_MAGIC) return unknown();
  const unsigned flags = in.byte(start + 4);
  if ((flags >> 6) != 1) return unknown();
  const std::size_t block_checksum = (flags & 0x10) != 0 ? 4 : 0;
  const std::size_t content_checksum = (flags & 0x04) != 0 ? 4 : 0;
  std::size_t pos = start + 7 + ((flags & 0x08) != 0 ? 8 : 0) + ((flags & 0x01) != 0 ? 4 : 0);
  for (;;) {
    if (!in.has(pos, 4)) return Prefix::need_up_to(pos, 4);
    const std::uint32_t block = in.u32(pos);
    if (block == 0) return complete(pos + 4 + content_checksum);
    const auto next = checked_add(pos, 4 + (block & 0x7FFFFFFFu) + block_checksum);
    if (!next) return unknown();
    pos = *next;
  }
}

// Length-prefixed fields one after the other, from `pos`: `count` of them
// (a bundle's keys and values, a sparse packet's components).
Extent length_prefixed(const Prefix& in, std::size_t pos, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!in.has(pos, 4)) return Prefix::need_up_to(pos, 4);
    const auto next = checked_add(pos + 4, in.u32(pos));
    if (!next) return unknown();
    pos = *next;
  }
  return complete(pos);
}

Extent with_footer(std::size_t start, std::size_t body, std::size_t footer) {
  const auto end = checked_add(start, body);
  if (!end) return unknown();
  const auto total = checked_add(*end, footer);
  return total ? complete(*total) : unknown();
}

Extent measure(ByteSpan packet) {
  const Prefix in(packet);
  if (!in.has(0, V3_HEADER_LEN)) return need(V3_HEADER_LEN);
  if (in.byte(4) == 4 && !in.has(0, V4_HEADER_LEN)) return need(V4_HEADER_LEN);
  const auto header = parse_header(packet);
  if (!header) return unknown();
  const std::uint16_t flags = header->flags;
  if ((flags & FLAG_FIXED_RECORD) != 0) return complete(V4_HEADER_LEN + 96);
  if ((flags & FLAG_BUNDLE) != 0) return length_prefixed(in, header->header_len, 2 * header->ndim);
  if (header->ndim > MAX_NDIM) return unknown();
  const std::size_t pos = header->header_len + 4 * header->ndim;
  if (!in.has(0, pos)) return need(pos);
  if ((flags & (FLAG_SPARSE_COO | FLAG_SPARSE_CSR | FLAG_SPARSE_CSC)) != 0) {
    return length_prefixed(in, pos, 3);
  }
  const auto shape = read_shape(packet, header->header_len, header->ndim);
  if (!shape) return unknown();
  const std::size_t footer = (flags & FLAG_INTEGRITY) != 0 ? FOOTER_LEN : 0;
  const bool custom = (flags & FLAG_CUSTOM_ALIGNMENT) != 0;
  if ((flags & (FLAG_STRING | FLAG_RAGGED)) != 0) {
    if (custom && !in.has(pos, 1)) return need(pos + 1);
    const auto start = aligned_body_start(packet, pos, flags);
    if (!start) return unknown();
    const std::uint64_t count = shape->empty() ? 0 : (*shape)[0];
    const std::size_t table = static_cast<std::size_t>(8 * (count + 1));
    if (!in.has(*start, table)) return Prefix::need_up_to(*start, table);
    const std::uint64_t payload = in.u64(*start + table - 8);
    if (payload > SIZE_MAX) return unknown();
    return with_footer(*start + table, static_cast<std::size_t>(payload), footer);
  }
  const auto dtype = dtype_from_code(header->dtype_code);
  if (!dtype) return unknown();
  const auto count = element_count(*shape);
  if (!count) return unknown();
  if ((header->dtype_code & ~3u) == 16) {  // quantized: its parameters, then the packed values
    if (!in.has(pos, 10)) return need(pos + 10);
    const std::size_t params_end = pos + 10 + 8 * static_cast<std::size_t>(in.u32(pos + 6));
    if (custom && !in.has(params_end, 1)) return need(params_end + 1);
    const auto start = aligned_body_start(packet, params_end, flags);
    if (!start) return unknown();
    const bool nibbles = *dtype == Dtype::QInt4 || *dtype == Dtype::QUInt4;
    return with_footer(*start, static_cast<std::size_t>(nibbles ? (*count + 1) / 2 : *count),
                       footer);
  }
  if (item_size(*dtype) == 0) return unknown();
  if (custom && !in.has(pos, 1)) return need(pos + 1);
  const auto start = aligned_body_start(packet, pos, flags);
  if (!start) return unknown();
  if ((flags & FLAG_COMPRESSED) == 0) {
    return with_footer(*start, static_cast<std::size_t>(*count) * item_size(*dtype), footer);
  }
  const Extent frame = lz4_frame_end(in, *start);
  return frame.kind == Extent::Kind::Complete ? with_footer(frame.size, 0, footer) : frame;
}

}  // namespace

PyObject* index(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(INDEX, args, kwargs, [](const frame::Args& a) -> py::Ref {
    PacketRange range;
    if (!range_from(a, range)) return {};
    const ByteSpan packet = range.packet;
    const auto header = parse_header(packet);
    if (!header) return errors::raise(header.error());
    if (!is_bundle(*header)) return errors::raise(PyExc_ValueError, messages::NOT_A_BUNDLE);
    py::Ref entries = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(header->ndim)));
    if (!entries) return {};
    std::size_t pos = header->header_len;
    const auto too_short = [] { return errors::raise(CodecError{ErrorKind::TooShort}); };
    for (std::size_t i = 0; i < header->ndim; ++i) {
      if (packet.size() - pos < 4) return too_short();
      const std::size_t key_length = load_u32(packet.data() + pos);
      pos += 4;
      if (packet.size() - pos < key_length) return too_short();
      const std::string_view key(reinterpret_cast<const char*>(packet.data() + pos), key_length);
      if (!is_valid_utf8(key)) return errors::raise(CodecError{ErrorKind::Malformed});
      pos += key_length;
      if (packet.size() - pos < 4) return too_short();
      const std::size_t value_length = load_u32(packet.data() + pos);
      pos += 4;
      if (packet.size() - pos < value_length) return too_short();
      const auto value_header = parse_header(packet.subspan(pos, value_length));
      py::Ref entry = py::Ref::steal(
          Py_BuildValue("(NnnO)", text(key).release(), static_cast<Py_ssize_t>(range.offset + pos),
                        static_cast<Py_ssize_t>(value_length),
                        value_header && is_bundle(*value_header) ? Py_True : Py_False));
      if (!entry) return {};
      PyList_SetItem(entries.get(), static_cast<Py_ssize_t>(i), entry.release());  // steals
      pos += value_length;
    }
    return entries;
  });
}

PyObject* describe(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(DESCRIBE, args, kwargs, [](const frame::Args& a) -> py::Ref {
    PacketRange range;
    if (!range_from(a, range)) return {};
    const auto header = parse_header(range.packet);
    if (!header) return errors::raise(header.error());
    const auto description = describe_packet(range.packet, *header);
    if (!description) return errors::raise(description.error());
    py::Ref info = py::Ref::steal(PyDict_New());
    if (!info) return {};
    PyObject* dict = info.get();
    const bool ok =
        set_item(dict, "kind", text(description->kind)) &&
        set_item(dict, "dtype",
                 description->dtype ? text(dtype_name(*description->dtype))
                                    : py::Ref::borrow(Py_None)) &&
        set_item(dict, "shape", shape_tuple(description->shape)) &&
        set_item(dict, "size", size_object(range.packet.size())) &&
        set_item(dict, "stored", size_object(description->stored)) &&
        set_item(dict, "uncompressed", size_object(description->uncompressed)) &&
        set_item(dict, "compressed",
                 py::Ref::borrow(description->compressed ? Py_True : Py_False)) &&
        set_item(dict, "checksum",
                 py::Ref::borrow((header->flags & FLAG_INTEGRITY) != 0 &&
                                         (header->flags & (FLAG_BUNDLE | FLAG_FIXED_RECORD)) == 0
                                     ? Py_True
                                     : Py_False)) &&
        set_item(dict, "version", size_object(header->version)) &&
        set_item(dict, "flags", size_object(header->flags)) &&
        set_item(dict, "entries",
                 is_bundle(*header) ? size_object(header->ndim) : py::Ref::borrow(Py_None));
    if (!ok) return {};
    return info;
  });
}

PyObject* verify(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(VERIFY, args, kwargs, [](const frame::Args& a) -> py::Ref {
    PacketRange range;
    if (!range_from(a, range)) return {};
    std::size_t depth = 0;
    if (!a.get(3, depth, frame::to_size)) return {};
    // Decoding at the packet's own depth checks every footer, every bound and
    // the nesting limit; compressed bodies are then decompressed and dropped.
    // The buffer stays acquired, so the lock can be released meanwhile.
    Result<void> checked = fail(ErrorKind::Malformed);
    {
      py::AllowThreads unlocked;
      auto decoded = decode_depth(range.packet, depth, DecodeOptions{.keep_compressed = true});
      if (!decoded) {
        checked = std::unexpected(decoded.error());
      } else {
        DiscardingDecompressor inflate;
        checked = check_decoded(*decoded, inflate);
      }
    }
    if (!checked) return errors::raise(checked.error());
    return py::Ref::borrow(Py_None);
  });
}

PyObject* extent(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(EXTENT, args, kwargs, [](const frame::Args& a) -> py::Ref {
    PacketRange range;
    if (!range_from(a, range)) return {};
    const Extent measured = measure(range.packet);
    if (measured.kind == Extent::Kind::Unknown) return py::Ref::borrow(Py_None);
    return size_object(measured.size);
  });
}

}  // namespace vamra::native
