#include "numpy_api.hpp"

#include <cstdint>
#include <string_view>

#include "errors.hpp"

namespace vamra::numpy_api {

namespace {

// The ABI versions (NPY_ABI_VERSION) whose table layout is known here.
constexpr unsigned ABI_1 = 0x01000009;
constexpr unsigned ABI_2 = 0x02000000;

// Indices in NumPy's table.
constexpr std::size_t GET_ABI_VERSION = 0;
constexpr std::size_t NDARRAY_TYPE = 2;
constexpr std::size_t NEW_FROM_DESCR = 94;
constexpr std::size_t SET_BASE_OBJECT = 282;

enum class State : std::uint8_t { Unread, Ready, Unusable };
State g_state = State::Unread;
Api g_api{};

// The capsule, or nullptr with no exception set when the module or attribute is missing.
py::Ref capsule() {
  for (const char* name : {"numpy._core._multiarray_umath", "numpy.core._multiarray_umath"}) {
    py::Ref module = py::import(name);
    if (!module) {
      PyErr_Clear();
      continue;
    }
    py::Ref table = py::getattr(module.get(), "_ARRAY_API");
    if (table && PyCapsule_CheckExact(table.get())) return table;
    PyErr_Clear();
  }
  return {};
}

bool read_table() {
  py::Ref table = capsule();
  if (!table) return false;
  void** entries = static_cast<void**>(PyCapsule_GetPointer(table.get(), nullptr));
  if (entries == nullptr) {
    PyErr_Clear();
    return false;
  }
  const auto abi_version = reinterpret_cast<unsigned (*)()>(entries[GET_ABI_VERSION])();
  if (abi_version != ABI_1 && abi_version != ABI_2) return false;
  // NumPy's module, and so its table, is never unloaded.
  g_api.ndarray = static_cast<PyTypeObject*>(entries[NDARRAY_TYPE]);
  g_api.new_from_descr = reinterpret_cast<decltype(Api::new_from_descr)>(entries[NEW_FROM_DESCR]);
  g_api.set_base_object =
      reinterpret_cast<decltype(Api::set_base_object)>(entries[SET_BASE_OBJECT]);
  return true;
}

}  // namespace

const Api* api() {
  if (g_state == State::Ready) return &g_api;
  if (g_state == State::Unusable) return nullptr;
  if (!py::import("numpy")) return nullptr;
  g_state = read_table() ? State::Ready : State::Unusable;
  return g_state == State::Ready ? &g_api : nullptr;
}

const ArrayFields* exact_array(PyObject* object) {
  if (g_state == State::Unread) {
    py::Ref name = py::Ref::steal(PyUnicode_InternFromString("numpy"));
    py::Ref numpy = name ? py::Ref::steal(PyImport_GetModule(name.get())) : py::Ref();
    const bool loaded = numpy && numpy.get() != Py_None;
    if (!loaded || api() == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
  }
  if (g_state != State::Ready || Py_TYPE(object) != g_api.ndarray) return nullptr;
  return reinterpret_cast<const ArrayFields*>(object);
}

py::Ref view(const Api& api, PyObject* descr, std::span<const Intp> dims, void* data, bool writable,
             PyObject* base) {
  Py_INCREF(descr);
  py::Ref array = py::Ref::steal(
      api.new_from_descr(api.ndarray, descr, static_cast<int>(dims.size()), dims.data(), nullptr,
                         data, writable ? ARRAY_WRITEABLE : 0, nullptr));
  if (!array) return {};
  Py_INCREF(base);
  if (api.set_base_object(array.get(), base) != 0) return {};
  return array;
}

py::Ref make_dtype(PyObject* description) {
  py::Ref make = py::import_attribute("numpy", "dtype");
  if (!make) return {};
  return py::Ref::steal(PyObject_CallFunctionObjArgs(make.get(), description, nullptr));
}

namespace {

PyObject* g_dtypes[DTYPE_COUNT] = {};

}  // namespace

PyObject* dtype_of(Dtype dtype) {
  PyObject*& slot = g_dtypes[dtype_index(dtype)];
  if (slot != nullptr) return slot;
  const std::string_view name = dtype_name(dtype);
  py::Ref text = py::Ref::steal(
      PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  if (!text) return nullptr;
  py::Ref made = make_dtype(text.get());
  if (!made) return nullptr;
  py::Ref itemsize = py::getattr(made.get(), "itemsize");
  if (!itemsize) return nullptr;
  const std::size_t size = PyLong_AsSize_t(itemsize.get());
  if (size == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
  if (size != item_size(dtype)) {
    errors::raise(PyExc_ValueError, messages::NUMPY_ITEM_SIZE, name, size, item_size(dtype));
    return nullptr;
  }
  slot = made.release();
  return slot;
}

py::Ref new_array(PyObject* descr, std::span<const Intp> dims) {
  const Api* table = api();
  if (table == nullptr) {
    if (PyErr_Occurred()) return {};
    py::Ref empty = py::import_attribute("numpy", "empty");
    py::Ref shape = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(dims.size())));
    if (!empty || !shape) return {};
    for (std::size_t i = 0; i < dims.size(); ++i) {
      PyObject* extent = PyLong_FromSsize_t(dims[i]);
      if (extent == nullptr) return {};
      PyTuple_SetItem(shape.get(), static_cast<Py_ssize_t>(i), extent);  // steals it
    }
    return py::Ref::steal(PyObject_CallFunctionObjArgs(empty.get(), shape.get(), descr, nullptr));
  }
  Py_INCREF(descr);
  return py::Ref::steal(table->new_from_descr(table->ndarray, descr, static_cast<int>(dims.size()),
                                              dims.data(), nullptr, nullptr, 0, nullptr));
}

}  // namespace vamra::numpy_api
