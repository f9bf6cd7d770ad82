// dumps_string_rs and dumps_quantized_rs: the companion package's string and
// quantized tensors, from their raw parts.
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "errors.hpp"
#include "extract.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "options.hpp"
#include "vamra/quantized.hpp"
#include "vamra/string.hpp"

namespace vamra::api {

namespace {

// A bytes argument (subclasses allowed; other buffers refused).
bool to_bytes(PyObject* object, ByteSpan& out) {
  if (!PyBytes_Check(object)) {
    return errors::raise(PyExc_TypeError, messages::CANNOT_CONVERT, py::type_name(object),
                         "PyBytes");
  }
  const char* data = PyBytes_AsString(object);
  if (data == nullptr) return false;
  out = {reinterpret_cast<const std::byte*>(data), static_cast<std::size_t>(PyBytes_Size(object))};
  return true;
}

// A new bytes object of `size` bytes filled by `encode` (which returns a Result).
template <class Encode>
py::Ref encoded_bytes(std::size_t size, Encode encode) {
  if (size > errors::MAX_PACKET_SIZE) return errors::packet_too_large(size);
  py::Ref bytes = py::Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) return {};
  const auto written =
      encode(MutableByteSpan{reinterpret_cast<std::byte*>(PyBytes_AsString(bytes.get())), size});
  if (!written) return errors::raise(written.error());
  return bytes;
}

// Attribute `name` of `object`, converted with `convert` (errors unchanged:
// these are not arguments, so no argument wrapping applies).
template <class T, class Convert>
bool attribute(PyObject* object, const char* name, T& out, Convert convert) {
  py::Ref value = py::getattr(object, name);
  return value && convert(value.get(), out);
}

// The bytes of `object.tobytes()`, copied.
bool tobytes(PyObject* object, const char* name, std::vector<std::byte>& out) {
  py::Ref holder = py::getattr(object, name);
  if (!holder) return false;
  py::Ref method = py::getattr(holder.get(), "tobytes");
  if (!method) return false;
  py::Ref bytes = py::Ref::steal(PyObject_CallNoArgs(method.get()));
  return bytes && extract::byte_list(bytes.get(), out);
}

}  // namespace

PyObject* dumps_string_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(DUMPS_STRING_RS, args, kwargs, [](const frame::Args& a) -> py::Ref {
    ByteSpan offsets_bytes;
    ByteSpan payload;
    std::uint32_t count = 0;
    EncodeOptions options;
    if (!a.get(0, offsets_bytes, to_bytes) || !a.get(1, payload, to_bytes) ||
        !a.get(2, count, frame::to_u32) || !options::read<DUMPS_STRING_RS>(a, options)) {
      return {};
    }
    if (offsets_bytes.size() % 8 != 0) {
      return errors::raise(PyExc_ValueError, messages::OFFSETS_NOT_U64);
    }
    // A count the offsets do not match is refused before its table (up to
    // 32 GiB for the largest count) is allocated.
    if (offsets_bytes.size() / 8 != static_cast<std::size_t>(count) + 1) {
      return errors::raise(CodecError{ErrorKind::Malformed});
    }
    // The table is read where it lies when the host's order and the bytes'
    // address allow (as they do for every bytes object on little-endian
    // hosts), else from a copy.
    std::vector<std::uint64_t> copied;
    std::span<const std::uint64_t> offsets;
    if (std::endian::native == std::endian::little &&
        reinterpret_cast<std::uintptr_t>(offsets_bytes.data()) % alignof(std::uint64_t) == 0) {
      offsets = {reinterpret_cast<const std::uint64_t*>(offsets_bytes.data()),
                 offsets_bytes.size() / 8};
    } else {
      copied.resize(offsets_bytes.size() / 8);
      for (std::size_t i = 0; i < copied.size(); ++i)
        copied[i] = load_u64(offsets_bytes.data() + 8 * i);
      offsets = copied;
    }
    const auto size = string_required_size(count, payload.size(), options.check_integrity);
    if (!size) return errors::raise(size.error());
    return encoded_bytes(*size, [&](MutableByteSpan out) {
      return encode_string_into(count, offsets, payload, out, options.check_integrity);
    });
  });
}

PyObject* dumps_quantized_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(DUMPS_QUANTIZED_RS, args, kwargs, [](const frame::Args& a) -> py::Ref {
    EncodeOptions options;
    if (!options::read<DUMPS_QUANTIZED_RS>(a, options) || !options::check_alignment(options)) {
      return {};
    }
    PyObject* qt = a[0];
    std::uint8_t dtype_code = 0;
    if (!attribute(qt, "dtype_code", dtype_code, frame::to_u8)) return {};
    const auto dtype = dtype_from_code(dtype_code);
    if (!dtype) return errors::raise(CodecError{ErrorKind::UnknownDtype, dtype_code});
    std::uint8_t quant_scheme = 0;
    std::uint32_t group_size = 0;
    std::int64_t axis = 0;
    Shape shape;
    std::vector<std::byte> scales;
    std::vector<std::byte> zero_points;
    std::vector<std::byte> data;
    if (!attribute(qt, "quant_scheme", quant_scheme, frame::to_u8) ||
        !attribute(qt, "group_size", group_size, frame::to_u32) ||
        !attribute(qt, "axis", axis, frame::to_i64) ||
        !attribute(qt, "shape", shape, extract::shape) || !tobytes(qt, "scales", scales) ||
        !tobytes(qt, "zero_points", zero_points) || !tobytes(qt, "data", data)) {
      return {};
    }
    const QuantizedView view{shape,
                             {scales.data(), scales.size()},
                             {zero_points.data(), zero_points.size()},
                             {data.data(), data.size()},
                             group_size,
                             quant_scheme,
                             static_cast<std::uint8_t>(static_cast<std::uint64_t>(axis) & 0xFF),
                             *dtype};
    options.compress = false;
    const auto size = quantized_required_size(view, options);
    if (!size) return errors::raise(size.error());
    return encoded_bytes(
        *size, [&](MutableByteSpan out) { return encode_quantized_into(view, out, options); });
  });
}

}  // namespace vamra::api
