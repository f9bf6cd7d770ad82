#include "numpy_api.hpp"

#include <cstdint>

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

py::Ref empty(const Api& api, PyObject* descr, std::span<const Intp> dims) {
  Py_INCREF(descr);
  return py::Ref::steal(api.new_from_descr(api.ndarray, descr, static_cast<int>(dims.size()),
                                           dims.data(), nullptr, nullptr, 0, nullptr));
}

}  // namespace vamra::numpy_api
