#include "extract.hpp"

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

bool is_exact_ndarray(PyObject* object) {
  // The type object is kept for the life of the process once seen; NumPy's
  // array type is never unloaded.
  static PyObject* ndarray = nullptr;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  if (ndarray != nullptr) return type == ndarray;
  py::Ref name = py::Ref::steal(PyUnicode_FromString("numpy"));
  py::Ref numpy = name ? py::Ref::steal(PyImport_GetModule(name.get())) : py::Ref();
  if (!numpy || numpy.get() == Py_None) {
    PyErr_Clear();
    return false;
  }
  py::Ref found = py::getattr(numpy.get(), "ndarray");
  if (!found || !PyType_Check(found.get())) {
    PyErr_Clear();
    return false;
  }
  ndarray = found.release();
  return type == ndarray;
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
  py::Ref name = py::getattr(dtype.get(), "name");
  if (!name) return false;
  std::string_view dtype_name;
  if (!text(name.get(), dtype_name)) return false;
  const auto found = vamra::dtype_from_name(dtype_name);
  if (!found || dtype_index(*found) >= NUMPY_DTYPES) {
    errors::value_error("Unsupported dtype: " + std::string(dtype_name));
    return false;
  }
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
  out.dtype = *found;
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
