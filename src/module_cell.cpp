#include "module_cell.hpp"

namespace vamra::door {

bool ModuleCell::add_functions(PyObject* module, const char* module_name,
                               std::span<const Method> methods) {
  // Built once: function objects of a failed earlier attempt may still point
  // into it. The docstrings are all made before a pointer into them is taken.
  if (table_.empty()) {
    for (const Method& method : methods) docstrings_.push_back(frame::docstring(method.signature));
  }
  for (std::size_t i = table_.size(); i < methods.size(); ++i) {
    const Method& method = methods[i];
    PyMethodDef def{method.signature.function, nullptr, 0, docstrings_[i].c_str()};
    if (method.keywords != nullptr) {
      def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method.keywords));
      def.ml_flags = METH_VARARGS | METH_KEYWORDS;
    } else {
      def.ml_meth = method.no_args;
      def.ml_flags = METH_NOARGS;
    }
    table_.push_back(def);
  }

  py::Ref name = py::Ref::steal(PyUnicode_FromString(module_name));
  if (!name) return false;
  py::Ref all = py::Ref::steal(PyList_New(0));
  if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  for (PyMethodDef& def : table_) {
    py::Ref function = py::Ref::steal(PyCMethod_New(&def, module, name.get(), nullptr));
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

PyObject* ModuleCell::init(PyModuleDef& definition, std::span<const Method> methods,
                           bool (*prepare)()) noexcept {
  PyInterpreterState* state = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(state);
  if (id == -1 && PyErr_Occurred()) return nullptr;
  std::int64_t expected = -1;
  if (!interpreter_.compare_exchange_strong(expected, id) && expected != id) {
    return frame::run([&]() -> py::Ref {
      return errors::raise(PyExc_ImportError, messages::NO_SUB_INTERPRETERS, definition.m_name);
    });
  }
  if (module_ != nullptr) {
    Py_INCREF(module_);
    return module_;
  }
  return frame::run([&]() -> py::Ref {
    if (prepare != nullptr && !prepare()) return {};
    py::Ref module = py::Ref::steal(PyModule_Create(&definition));
    if (!module || !add_functions(module.get(), definition.m_name, methods)) return {};
    module_ = module.get();
    Py_INCREF(module_);  // the cell's own reference
    return module;
  });
}

}  // namespace vamra::door
