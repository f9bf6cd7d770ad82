// get_packet_info_rs: a packet's header and shape, without touching its body.
#include "buffer.hpp"
#include "errors.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "vamra/header.hpp"

namespace vamra::api {

namespace {

bool set_item(PyObject* dict, const char* key, py::Ref value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

py::Ref integer(std::uint64_t value) { return py::Ref::steal(PyLong_FromUnsignedLongLong(value)); }

py::Ref boolean(bool value) { return py::Ref::borrow(value ? Py_True : Py_False); }

}  // namespace

PyObject* get_packet_info_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(GET_PACKET_INFO_RS, args, kwargs, [](const frame::Args& a) -> py::Ref {
    buffer::ByteBuffer input;
    if (!input.acquire(a[0])) return {};
    const ByteSpan bytes = input.bytes();
    const auto header = parse_header(bytes);
    if (!header) return errors::raise(header.error());
    py::Ref info = py::Ref::steal(PyDict_New());
    if (!info) return {};
    PyObject* dict = info.get();
    if (!set_item(dict, "version", integer(header->version)) ||
        !set_item(dict, "flags", integer(header->flags)) ||
        !set_item(dict, "dtype_code", integer(header->dtype_code)) ||
        !set_item(dict, "ndim", integer(header->ndim)) ||
        !set_item(dict, "aligned", boolean(header->flags & FLAG_ALIGNED)) ||
        !set_item(dict, "integrity_protected", boolean(header->flags & FLAG_INTEGRITY))) {
      return {};
    }
    if (header->flags & FLAG_BUNDLE) {
      py::Ref empty = py::Ref::steal(PyTuple_New(0));
      if (!set_item(dict, "entry_count", integer(header->ndim)) ||
          !set_item(dict, "shape", std::move(empty)) ||
          !set_item(dict, "total_elements", integer(0))) {
        return {};
      }
      return info;
    }
    // The shape is read here without the codec's dimension limit, so packets
    // that decoding refuses can still be inspected.
    if (bytes.size() < header->header_len + 4 * header->ndim) {
      return errors::raise(PyExc_ValueError, messages::TOO_SHORT_FOR_SHAPE);
    }
    py::Ref shape = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(header->ndim)));
    if (!shape) return {};
    std::uint64_t total = 1;
    for (std::size_t i = 0; i < header->ndim; ++i) {
      const std::uint32_t extent = load_u32(bytes.data() + header->header_len + 4 * i);
      // Saturating product: a later zero extent still brings it to 0.
      total = (extent != 0 && total > UINT64_MAX / extent) ? UINT64_MAX : total * extent;
      PyObject* item = PyLong_FromUnsignedLong(extent);
      if (item == nullptr) return {};
      PyTuple_SetItem(shape.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    if (!set_item(dict, "total_elements", integer(total)) ||
        !set_item(dict, "shape", std::move(shape))) {
      return {};
    }
    return info;
  });
}

}  // namespace vamra::api
