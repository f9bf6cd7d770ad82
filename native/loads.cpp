// loads: loads_rs's converter with the package's options: writable views of a
// writable buffer, a dtype of the caller's choice for bfloat16 data, and
// aligned copies of misaligned data. views: arrays at offsets the package's
// table of contents gives, made without reading any packet header.
#include <cstring>
#include <vector>

#include "buffer.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "numpy_api.hpp"
#include "vamra/header.hpp"

namespace vamra::native {

namespace {

bool read_options(const frame::Args& a, std::size_t first, convert::Options& options) {
  if (!a.get(first, options.writable, frame::to_flag)) return false;
  if (a[first + 1] != nullptr && a[first + 1] != Py_None) options.bfloat16 = a[first + 1];
  return a.get(first + 2, options.aligned, frame::to_flag);
}

// One array to view: where its data starts, its element type, its extents.
struct Item {
  std::size_t offset = 0;
  Dtype dtype = Dtype::UInt8;
  std::vector<numpy_api::Intp> dims;
  std::size_t nbytes = 0;
};

// Reads (offset, wire code, shape) and checks that the data lies in `size` bytes.
bool read_item(PyObject* object, std::size_t size, Item& out) {
  if (!PyTuple_Check(object) || PyTuple_Size(object) != 3) {
    return errors::raise(PyExc_TypeError, messages::VIEW_ITEMS_NOT_TRIPLES);
  }
  std::uint8_t code = 0;
  if (!frame::to_size(PyTuple_GetItem(object, 0), out.offset) ||
      !frame::to_u8(PyTuple_GetItem(object, 1), code)) {
    return false;
  }
  const auto dtype = dtype_from_code(code);
  if (!dtype || item_size(*dtype) == 0)
    return errors::raise(CodecError{ErrorKind::UnknownDtype, code});
  out.dtype = *dtype;
  py::Ref shape =
      py::Ref::steal(PySequence_Fast(PyTuple_GetItem(object, 2), messages::VIEW_ITEMS_NOT_TRIPLES));
  if (!shape) return false;
  const Py_ssize_t ndim = PySequence_Size(shape.get());
  if (ndim > 64) return errors::raise(CodecError{ErrorKind::TooManyDimensions});
  std::size_t count = 1;
  for (Py_ssize_t i = 0; i < ndim; ++i) {
    std::size_t extent = 0;
    py::Ref dim = py::Ref::steal(PySequence_GetItem(shape.get(), i));
    if (!dim || !frame::to_size(dim.get(), extent)) return false;
    if (extent > static_cast<std::size_t>(PY_SSIZE_T_MAX) ||
        (extent != 0 && count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / extent)) {
      return errors::raise(PyExc_ValueError, messages::VIEW_OUTSIDE_BUFFER);
    }
    count *= extent;
    out.dims.push_back(static_cast<numpy_api::Intp>(extent));
  }
  const std::size_t item = item_size(*dtype);
  if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / item) {
    return errors::raise(PyExc_ValueError, messages::VIEW_OUTSIDE_BUFFER);
  }
  out.nbytes = count * item;
  if (out.offset > size || out.nbytes > size - out.offset) {
    return errors::raise(PyExc_ValueError, messages::VIEW_OUTSIDE_BUFFER);
  }
  return true;
}

}  // namespace

PyObject* loads(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(LOADS, args, kwargs, [](const frame::Args& a) -> py::Ref {
    convert::Options options;
    if (!read_options(a, 1, options)) return {};
    return convert::load(a[0], options);
  });
}

PyObject* views(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(VIEWS, args, kwargs, [](const frame::Args& a) -> py::Ref {
    convert::Options options;
    if (!read_options(a, 2, options)) return {};
    buffer::ByteBuffer input;
    if (!input.acquire(a[0])) return {};
    if (options.writable && input.readonly()) {
      return errors::raise(PyExc_ValueError, messages::WRITABLE_NEEDS_WRITABLE_BUFFER,
                           py::type_name(a[0]));
    }
    const numpy_api::Api* api = numpy_api::api();
    if (api == nullptr) {
      if (!PyErr_Occurred()) errors::raise(PyExc_RuntimeError, messages::NUMPY_TABLE_MISSING);
      return {};
    }
    py::Ref items = py::Ref::steal(PySequence_Fast(a[1], messages::VIEW_ITEMS_NOT_TRIPLES));
    if (!items) return {};
    const Py_ssize_t count = PySequence_Size(items.get());
    py::Ref out = py::Ref::steal(PyList_New(count));
    if (!out) return {};
    // Views keep the source alive: bytes directly, anything else through one
    // memoryview, whose export also keeps it from being resized.
    py::Ref base = PyBytes_CheckExact(a[0]) ? py::Ref::borrow(a[0])
                                            : py::Ref::steal(PyMemoryView_FromObject(a[0]));
    if (!base) return {};
    py::Ref chosen;
    const ByteSpan bytes = input.bytes();
    for (Py_ssize_t i = 0; i < count; ++i) {
      Item item;
      py::Ref entry = py::Ref::steal(PySequence_GetItem(items.get(), i));
      if (!entry || !read_item(entry.get(), bytes.size(), item)) return {};
      PyObject* descr = convert::dtype_for(item.dtype, options, chosen);
      if (descr == nullptr) return {};
      void* data = const_cast<std::byte*>(bytes.data() + item.offset);
      py::Ref array =
          options.aligned && !convert::is_aligned(data, item_size(item.dtype))
              ? convert::copy_of(data, item.nbytes, descr, item.dims)
              : numpy_api::view(*api, descr, item.dims, data, options.writable, base.get());
      if (!array) return {};
      PyList_SetItem(out.get(), i, array.release());  // steals
    }
    return out;
  });
}

PyObject* addresses(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(ADDRESSES, args, kwargs, [](const frame::Args& a) -> py::Ref {
    py::Ref items = py::Ref::steal(PySequence_Fast(a[0], messages::ADDRESSES_NOT_A_SEQUENCE));
    if (!items) return {};
    const Py_ssize_t count = PySequence_Size(items.get());
    py::Ref out = py::Ref::steal(PyList_New(count));
    if (!out) return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
      py::Ref item = py::Ref::steal(PySequence_GetItem(items.get(), i));
      if (!item) return {};
      const void* data = nullptr;
      // NumPy's own arrays are read from their fields; anything else through
      // the buffer it exports (released at once: only the address is kept).
      if (const numpy_api::ArrayFields* fields = numpy_api::exact_array(item.get())) {
        data = fields->data;
      } else {
        buffer::Pin pin;
        if (!pin.acquire(item.get(), PyBUF_SIMPLE)) return {};
        data = pin.data();
      }
      PyObject* address = PyLong_FromVoidPtr(const_cast<void*>(data));
      if (address == nullptr) return {};
      PyList_SetItem(out.get(), i, address);  // steals
    }
    return out;
  });
}

}  // namespace vamra::native
