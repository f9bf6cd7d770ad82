// Reading the framing of packets without decoding their values: the entries
// of a bundle (`index`), what one packet's header says (`describe`), and the
// checks of one packet's footers (`verify`). Each works on a range of a byte
// buffer, so a mapped file is never copied or sliced.
#include <string>
#include <string_view>

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
    // Decoding checks every footer and every bound; compressed bodies are
    // kept as frames, so nothing is decompressed. The buffer stays acquired,
    // so the lock can be released while the bodies are hashed.
    Result<Decoded> decoded = fail(ErrorKind::Malformed);
    {
      py::AllowThreads unlocked;
      decoded = decode(range.packet, DecodeOptions{.keep_compressed = true});
    }
    if (!decoded) return errors::raise(decoded.error());
    return py::Ref::borrow(Py_None);
  });
}

}  // namespace vamra::native
