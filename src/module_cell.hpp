// What both extension modules do when they are imported: refuse a second
// interpreter, make the module once per process, and add its functions, each
// registered from its one description.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "frame.hpp"

namespace vamra::door {

// A handler that takes an argument tuple and a keyword dictionary.
using KeywordsHandler = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);
// A handler for a function without parameters (its second argument is unused).
using NoArgsHandler = PyObject* (*)(PyObject* self, PyObject* unused);

// One entry of a module's method table: a function's description and its
// handler. A function with parameters binds them itself (METH_VARARGS |
// METH_KEYWORDS); one without takes none (METH_NOARGS).
struct Method {
  frame::Signature signature;
  KeywordsHandler keywords = nullptr;
  NoArgsHandler no_args = nullptr;

  template <std::size_t N>
    requires(N > 0)
  constexpr Method(const frame::Function<N>& function, KeywordsHandler handler)
      : signature(function.signature()), keywords(handler) {}
  constexpr Method(const frame::Function<0>& function, NoArgsHandler handler)
      : signature(function.signature()), no_args(handler) {}
};

// One extension module's process-wide cell: the module once it was made, and
// the interpreter that first imported it. Each module keeps one in static
// storage and never empties it.
class ModuleCell {
 public:
  // The body of a PyInit function. Records the importing interpreter (a later
  // import from another interpreter raises ImportError), returns the module
  // already made when there is one, or else runs `prepare` (may be null),
  // creates the module from `definition` and adds `methods` in order, each
  // named in __all__, and then the attribute InternalFailure. Returns a new
  // reference, or null with an exception set.
  PyObject* init(PyModuleDef& definition, std::span<const Method> methods,
                 bool (*prepare)()) noexcept;

 private:
  bool add_functions(PyObject* module, const char* module_name, std::span<const Method> methods);

  PyObject* module_ = nullptr;
  std::atomic<std::int64_t> interpreter_{-1};
  // The method table CPython keeps pointers into, with the docstrings it
  // points to: filled once, when the module is first made.
  std::vector<std::string> docstrings_;
  std::vector<PyMethodDef> table_;
};

}  // namespace vamra::door
