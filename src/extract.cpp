#include "extract.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "frame.hpp"

namespace vamra::extract {

namespace {

constexpr std::size_t NUMPY_DTYPES = 15;  // the first fifteen names are NumPy's

bool type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

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
class DtypeMemo {
 public:
  std::optional<Dtype> find(PyObject* dtype) const {
    for (std::size_t i = 0; i < size_; ++i) {
      if (keys_[i] == dtype) return values_[i];
    }
    return std::nullopt;
  }
  void remember(PyObject* dtype, Dtype value) {
    static PyObject* dtype_type = nullptr;
    PyObject* type = numpy_type(dtype_type, "dtype");
    if (size_ == CAPACITY || type == nullptr) return;
    const int is_dtype = PyObject_IsInstance(dtype, type);
    if (is_dtype != 1) {
      if (is_dtype < 0) PyErr_Clear();
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
  Dtype values_[CAPACITY] = {};
  std::size_t size_ = 0;
};

DtypeMemo g_dtypes;

// The Dtype of `dtype` by its `name` (one of the fifteen NumPy names), or
// ValueError "Unsupported dtype: {}".
bool classify(PyObject* dtype, Dtype& out) {
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
    errors::value_error("Unsupported dtype: " + std::string(dtype_name));
    return false;
  }
  g_dtypes.remember(dtype, *found);
  out = *found;
  return true;
}

}  // namespace

bool is_exact_ndarray(PyObject* object) {
  static PyObject* ndarray = nullptr;
  return Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(numpy_type(ndarray, "ndarray"));
}

bool text(PyObject* object, std::string_view& out) {
  if (!PyUnicode_Check(object)) {
    return type_error("'" + py::type_name(object) + "' object cannot be converted to 'PyString'");
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
  if (PyUnicode_Check(object)) return type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) {
    return type_error("'" + py::type_name(object) + "' object cannot be converted to 'Sequence'");
  }
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) return false;
  std::vector<std::size_t> extents(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    py::Ref item = py::Ref::steal(PySequence_GetItem(object, i));
    if (!item || !frame::to_size(item.get(), extents[static_cast<std::size_t>(i)])) return false;
  }
  out.resize(extents.size());
  for (std::size_t i = 0; i < extents.size(); ++i) {
    if (extents[i] > UINT32_MAX) {
      errors::value_error("Dimension " + std::to_string(extents[i]) +
                          " exceeds the wire-format limit of 4294967295 (each dimension is "
                          "stored as a 32-bit integer)");
      return false;
    }
    out[i] = static_cast<std::uint32_t>(extents[i]);
  }
  return true;
}

bool numpy_array(PyObject* object, Array& out) {
  py::Ref dtype = py::getattr(object, "dtype");
  if (!dtype) return false;
  Dtype found = Dtype::Float32;
  if (!classify(dtype.get(), found)) return false;
  bool contiguous = false;
  if (!c_contiguous(object, contiguous)) return false;
  if (!contiguous) {
    errors::value_error("Array must be C-contiguous");
    return false;
  }
  std::size_t nbytes = 0;
  if (!size_attr(object, "nbytes", nbytes)) return false;
  // The array's own buffer export gives the same address as `ctypes.data`
  // without building a ctypes object, and pins the memory for the call.
  const std::byte* data = nullptr;
  if (out.pin.try_acquire(object, false) && out.pin.size() == nbytes) {
    data = out.pin.data();
  } else {
    out.pin.release();
    py::Ref ctypes = py::getattr(object, "ctypes");
    if (!ctypes) return false;
    std::size_t address = 0;
    if (!size_attr(ctypes.get(), "data", address)) return false;
    data = reinterpret_cast<const std::byte*>(address);
  }
  py::Ref shape_object = py::getattr(object, "shape");
  if (!shape_object || !shape(shape_object.get(), out.shape)) return false;
  out.data = data;
  out.nbytes = nbytes;
  out.dtype = found;
  out.owner = py::Ref::borrow(object);
  return true;
}

bool byte_list(PyObject* object, std::vector<std::byte>& out) {
  if (PyBytes_Check(object)) {
    const char* data = PyBytes_AsString(object);
    const Py_ssize_t size = PyBytes_Size(object);
    if (data == nullptr || size < 0) return false;
    const auto* begin = reinterpret_cast<const std::byte*>(data);
    out.assign(begin, begin + size);
    return true;
  }
  if (PyUnicode_Check(object)) return type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) {
    return type_error("'" + py::type_name(object) + "' object cannot be converted to 'Sequence'");
  }
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) return false;
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
