#include "extract.hpp"

#include <bit>
#include <optional>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "frame.hpp"
#include "numpy_api.hpp"

namespace vamra::extract {

namespace {

constexpr std::size_t NUMPY_DTYPES = 15;  // the first fifteen names are NumPy's

// An attribute read as an unsigned machine word.
bool size_attr(PyObject* object, const char* name, std::size_t& out) {
  py::Ref value = py::getattr(object, name);
  return value && frame::to_size(value.get(), out);
}

}  // namespace

namespace {

// A NumPy type object (numpy.ndarray, numpy.dtype), looked up once NumPy is
// loaded and kept for the life of the process: NumPy is never unloaded. Never
// imports NumPy: an object of one of its types means it is loaded already.
PyObject* numpy_type(PyObject*& slot, const char* name) {
  if (slot != nullptr) return slot;
  py::Ref module_name = py::Ref::steal(PyUnicode_FromString("numpy"));
  py::Ref numpy = module_name ? py::Ref::steal(PyImport_GetModule(module_name.get())) : py::Ref();
  if (!numpy || numpy.get() == Py_None) {
    PyErr_Clear();
    return nullptr;
  }
  py::Ref found = py::getattr(numpy.get(), name);
  if (!found || !PyType_Check(found.get())) {
    PyErr_Clear();
    return nullptr;
  }
  slot = found.release();
  return slot;
}

// NumPy computes `dtype.name` in Python on every access, which costs more
// than encoding a small array. Dtype instances are immutable, so the name's
// classification is remembered per instance (a strong reference keeps the
// address from being reused). Only true numpy.dtype instances are remembered.
struct Classified {
  Dtype dtype = Dtype::Float32;
  bool big_endian = false;   // stored most significant byte first
  std::size_t itemsize = 0;  // NumPy's; known once the dtype is remembered
};

class DtypeMemo {
 public:
  std::optional<Classified> find(PyObject* dtype) const {
    for (std::size_t i = 0; i < size_; ++i) {
      if (keys_[i] == dtype) return values_[i];
    }
    return std::nullopt;
  }
  void remember(PyObject* dtype, Classified value) {
    static PyObject* dtype_type = nullptr;
    PyObject* type = numpy_type(dtype_type, "dtype");
    if (size_ == CAPACITY || type == nullptr) return;
    const int is_dtype = PyObject_IsInstance(dtype, type);
    if (is_dtype != 1) {
      if (is_dtype < 0) PyErr_Clear();
      return;
    }
    // The fast path for NumPy's own arrays sizes their memory by it.
    if (!size_attr(dtype, "itemsize", value.itemsize)) {
      PyErr_Clear();
      return;
    }
    Py_INCREF(dtype);
    keys_[size_] = dtype;
    values_[size_] = value;
    ++size_;
  }

 private:
  static constexpr std::size_t CAPACITY = 64;
  PyObject* keys_[CAPACITY] = {};
  Classified values_[CAPACITY] = {};
  std::size_t size_ = 0;
};

DtypeMemo g_dtypes;

// Whether `dtype` stores multi-byte values most significant byte first.
bool is_big_endian(PyObject* dtype, bool& out) {
  py::Ref order = py::getattr(dtype, "byteorder");
  if (!order) {
    // Objects that only mimic a dtype may lack it: they are taken as stored.
    PyErr_Clear();
    out = false;
    return true;
  }
  const bool native_big = std::endian::native == std::endian::big;
  out = PyUnicode_Check(order.get()) &&
        (PyUnicode_CompareWithASCIIString(order.get(), ">") == 0 ||
         (native_big && PyUnicode_CompareWithASCIIString(order.get(), "=") == 0));
  return true;
}

// The Dtype of `dtype` by its `name` (one of the fifteen NumPy names), or
// ValueError "Unsupported dtype: {}"; and its byte order.
bool classify(PyObject* dtype, Classified& out) {
  if (const auto known = g_dtypes.find(dtype)) {
    out = *known;
    return true;
  }
  py::Ref name = py::getattr(dtype, "name");
  if (!name) return false;
  std::string_view dtype_name;
  if (!text(name.get(), dtype_name)) return false;
  const auto found = vamra::dtype_from_name(dtype_name);
  if (!found || dtype_index(*found) >= NUMPY_DTYPES) {
    return errors::raise(PyExc_ValueError, messages::UNSUPPORTED_DTYPE, dtype_name);
  }
  out.dtype = *found;
  if (!is_big_endian(dtype, out.big_endian)) return false;
  g_dtypes.remember(dtype, out);
  return true;
}

// array.astype(dtype.newbyteorder("<")): the same values, little-endian.
py::Ref little_endian_copy(PyObject* array, PyObject* dtype) {
  py::Ref swap = py::getattr(dtype, "newbyteorder");
  if (!swap) return {};
  py::Ref order = py::Ref::steal(PyUnicode_FromString("<"));
  if (!order) return {};
  py::Ref little = py::Ref::steal(PyObject_CallFunctionObjArgs(swap.get(), order.get(), nullptr));
  if (!little) return {};
  py::Ref astype = py::getattr(array, "astype");
  if (!astype) return {};
  return py::Ref::steal(PyObject_CallFunctionObjArgs(astype.get(), little.get(), nullptr));
}

}  // namespace

bool sequence_length(PyObject* object, Py_ssize_t& out) {
  if (PyUnicode_Check(object)) return errors::raise(PyExc_TypeError, messages::STR_TO_VEC);
  if (!PySequence_Check(object)) {
    return errors::raise(PyExc_TypeError, messages::CANNOT_CONVERT, py::type_name(object),
                         "Sequence");
  }
  out = PySequence_Size(object);
  return out >= 0;
}

bool is_exact_ndarray(PyObject* object) {
  static PyObject* ndarray = nullptr;
  return Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(numpy_type(ndarray, "ndarray"));
}

bool text(PyObject* object, std::string_view& out) {
  if (!PyUnicode_Check(object)) {
    return errors::raise(PyExc_TypeError, messages::CANNOT_CONVERT, py::type_name(object),
                         "PyString");
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return false;
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool c_contiguous(PyObject* object, bool& out) {
  py::Ref flags = py::getattr(object, "flags");
  if (!flags) return false;
  py::Ref value = py::getattr(flags.get(), "c_contiguous");
  return value && frame::to_flag(value.get(), out);
}

bool shape(PyObject* object, Shape& out) {
  Py_ssize_t length = 0;
  if (!sequence_length(object, length)) return false;
  std::vector<std::size_t> extents(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    py::Ref item = py::Ref::steal(PySequence_GetItem(object, i));
    if (!item || !frame::to_size(item.get(), extents[static_cast<std::size_t>(i)])) return false;
  }
  out.resize(extents.size());
  for (std::size_t i = 0; i < extents.size(); ++i) {
    if (extents[i] > UINT32_MAX) {
      return errors::raise(PyExc_ValueError, messages::DIMENSION_TOO_LARGE, extents[i]);
    }
    out[i] = static_cast<std::uint32_t>(extents[i]);
  }
  return true;
}

namespace {

// NumPy's own array type, read from the array object's fields as NumPy's
// inline accessors read them: what the attribute path below learns through
// five attribute reads and a buffer export, at a fraction of the cost.
// Big-endian arrays, and dtypes not remembered, take the attribute path.
enum class Read : std::uint8_t { Done, Raised, Elsewhere };

Read from_fields(PyObject* object, const numpy_api::ArrayFields& fields, Array& out) {
  Classified kind;
  if (!classify(fields.descr, kind)) return Read::Raised;
  if ((fields.flags & numpy_api::ARRAY_C_CONTIGUOUS) == 0) {
    errors::raise(PyExc_ValueError, messages::ARRAY_NOT_CONTIGUOUS);
    return Read::Raised;
  }
  if (kind.big_endian || kind.itemsize == 0) return Read::Elsewhere;
  const auto nd = static_cast<std::size_t>(fields.nd);
  std::size_t count = 1;
  out.shape.resize(nd);
  for (std::size_t i = 0; i < nd; ++i) {
    const auto extent = static_cast<std::size_t>(fields.dimensions[i]);
    if (extent > UINT32_MAX) {
      errors::raise(PyExc_ValueError, messages::DIMENSION_TOO_LARGE, extent);
      return Read::Raised;
    }
    out.shape[i] = static_cast<std::uint32_t>(extent);
    count *= extent;  // NumPy keeps an array's byte size within its index type
  }
  out.data = reinterpret_cast<const std::byte*>(fields.data);
  out.nbytes = count * kind.itemsize;
  out.dtype = kind.dtype;
  out.owner = py::Ref::borrow(object);
  return Read::Done;
}

}  // namespace

bool numpy_array(PyObject* object, Array& out) {
  if (const auto* fields = numpy_api::exact_array(object)) {
    const Read read = from_fields(object, *fields, out);
    if (read != Read::Elsewhere) return read == Read::Done;
  }
  py::Ref dtype = py::getattr(object, "dtype");
  if (!dtype) return false;
  Classified kind;
  if (!classify(dtype.get(), kind)) return false;
  bool contiguous = false;
  if (!c_contiguous(object, contiguous)) return false;
  if (!contiguous) return errors::raise(PyExc_ValueError, messages::ARRAY_NOT_CONTIGUOUS);
  // Packets are little-endian; a big-endian array is encoded from a
  // little-endian copy, so that it reads back with the values it holds.
  py::Ref source = py::Ref::borrow(object);
  if (kind.big_endian) {
    source = little_endian_copy(object, dtype.get());
    if (!source) return false;
  }
  std::size_t nbytes = 0;
  if (!size_attr(source.get(), "nbytes", nbytes)) return false;
  // The memory is taken from the array's own buffer export, which also pins
  // it for the call. A bare address (`ctypes.data`) is never trusted: an
  // object could name any address and the encoder would read it.
  if (!out.pin.acquire(source.get(), PyBUF_SIMPLE)) {
    PyErr_Clear();
    return errors::raise(PyExc_TypeError, messages::NO_BUFFER_EXPORT, py::type_name(source.get()));
  }
  if (out.pin.size() != nbytes) {
    return errors::raise(PyExc_ValueError, messages::NBYTES_MISMATCH, out.pin.size(), nbytes);
  }
  py::Ref shape_object = py::getattr(source.get(), "shape");
  if (!shape_object || !shape(shape_object.get(), out.shape)) return false;
  out.data = out.pin.data();
  out.nbytes = nbytes;
  out.dtype = kind.dtype;
  out.owner = std::move(source);
  return true;
}

std::optional<SparseFormat> sparse_format(std::string_view name) {
  if (name == "coo") return SparseFormat::Coo;
  if (name == "csr") return SparseFormat::Csr;
  if (name == "csc") return SparseFormat::Csc;
  return std::nullopt;
}

bool sparse_matrix(PyObject* matrix, SparseFormat format, SparseMatrix& out) {
  out.format = format;
  py::Ref shape_object = py::getattr(matrix, "shape");
  if (!shape_object || !shape(shape_object.get(), out.shape)) return false;
  static constexpr const char* NAMES[3][3] = {
      {"data", "row", "col"}, {"data", "indices", "indptr"}, {"data", "indices", "indptr"}};
  const auto& names = NAMES[static_cast<int>(format)];
  for (std::size_t i = 0; i < 3; ++i) {
    py::Ref component = py::getattr(matrix, names[i]);
    if (!component) return false;
    bool contiguous = false;
    if (!c_contiguous(component.get(), contiguous)) return false;
    if (!contiguous) {
      py::Ref convert = py::import_attribute("numpy", "ascontiguousarray");
      if (!convert) return false;
      component =
          py::Ref::steal(PyObject_CallFunctionObjArgs(convert.get(), component.get(), nullptr));
      if (!component) return false;
    }
    if (!numpy_array(component.get(), out.components[i])) return false;
  }
  return true;
}

namespace detail {

bool unchanged(PyObject* dict, Py_ssize_t length, Py_ssize_t produced) {
  if (PyDict_Size(dict) != length) return errors::internal(messages::DICT_CHANGED_SIZE);
  if (produced > length) return errors::internal(messages::DICT_KEYS_CHANGED);
  return true;
}

}  // namespace detail

bool byte_list(PyObject* object, std::vector<std::byte>& out) {
  if (PyBytes_Check(object)) {
    const char* data = PyBytes_AsString(object);
    const Py_ssize_t size = PyBytes_Size(object);
    if (data == nullptr || size < 0) return false;
    const auto* begin = reinterpret_cast<const std::byte*>(data);
    out.assign(begin, begin + size);
    return true;
  }
  Py_ssize_t length = 0;
  if (!sequence_length(object, length)) return false;
  out.resize(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    py::Ref item = py::Ref::steal(PySequence_GetItem(object, i));
    std::uint8_t value = 0;
    if (!item || !frame::to_u8(item.get(), value)) return false;
    out[static_cast<std::size_t>(i)] = static_cast<std::byte>(value);
  }
  return true;
}

}  // namespace vamra::extract
