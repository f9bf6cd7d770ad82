#include "py.hpp"

#include <string>

namespace vamra::py {

namespace {

// The UTF-8 of `text` (a str, or null after a failed call), or `fallback` when
// there is none; the failure is cleared.
std::string utf8_or(Ref text, const char* fallback) {
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return fallback;
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace

std::string type_name(PyObject* object) {
  return utf8_or(Ref::steal(PyType_GetName(Py_TYPE(object))), "object");
}

std::string str_of(PyObject* object) { return utf8_or(Ref::steal(PyObject_Str(object)), ""); }

Ref import(const char* name) {
  Ref key = Ref::steal(PyUnicode_InternFromString(name));
  if (!key) return {};
  Ref module = Ref::steal(PyImport_GetModule(key.get()));
  if (module && module.get() != Py_None) return module;
  if (PyErr_Occurred()) PyErr_Clear();
  return Ref::steal(PyImport_Import(key.get()));
}

Ref import_attribute(const char* module, const char* name) {
  Ref imported = import(module);
  return imported ? getattr(imported.get(), name) : Ref();
}

}  // namespace vamra::py
