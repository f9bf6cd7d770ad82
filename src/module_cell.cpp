#include "module_cell.hpp"

#include "frame.hpp"

namespace vamra::door {

namespace {

// Adds every method to `module` and lists it in __all__.
bool add_functions(PyObject* module, const char* module_name, PyMethodDef* methods) {
  py::Ref name = py::Ref::steal(PyUnicode_FromString(module_name));
  if (!name) return false;
  py::Ref all = py::Ref::steal(PyList_New(0));
  if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  for (PyMethodDef* def = methods; def->ml_name != nullptr; ++def) {
    py::Ref function = py::Ref::steal(PyCMethod_New(def, module, name.get(), nullptr));
    if (!function) return false;
    py::Ref function_name = py::getattr(function.get(), "__name__");
    if (!function_name || PyList_Append(all.get(), function_name.get()) != 0 ||
        PyObject_SetAttr(module, function_name.get(), function.get()) != 0) {
      return false;
    }
  }
  // Not in __all__: the class of the internal-failure exception, for callers
  // that want to name it.
  PyObject* failure = frame::internal_failure_type();
  return failure != nullptr && PyObject_SetAttrString(module, "InternalFailure", failure) == 0;
}

}  // namespace

PyObject* ModuleCell::init(PyModuleDef& definition, PyMethodDef* methods,
                           bool (*prepare)()) noexcept {
  PyInterpreterState* state = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(state);
  if (id == -1 && PyErr_Occurred()) return nullptr;
  std::int64_t expected = -1;
  if (!interpreter_.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_Format(PyExc_ImportError,
                 "%s does not support sub-interpreters: it can be imported only in the "
                 "interpreter that first imported it",
                 definition.m_name);
    return nullptr;
  }
  if (module_ != nullptr) {
    Py_INCREF(module_);
    return module_;
  }
  if (prepare != nullptr && !prepare()) return nullptr;
  py::Ref module = py::Ref::steal(PyModule_Create(&definition));
  if (!module || !add_functions(module.get(), definition.m_name, methods)) return nullptr;
  module_ = module.get();
  Py_INCREF(module_);  // the cell's own reference
  return module.release();
}

}  // namespace vamra::door
