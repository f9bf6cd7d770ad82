// What both extension modules do when they are imported: refuse a second
// interpreter, make the module once per process, and add its functions.
#pragma once

#include <atomic>
#include <cstdint>

#include "py.hpp"

namespace vamra::door {

// A METH_VARARGS | METH_KEYWORDS handler in the type a method table stores.
using KeywordsHandler = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);
inline PyCFunction keywords_handler(KeywordsHandler handler) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(handler));
}

// One extension module's process-wide cell: the module once it was made, and
// the interpreter that first imported it. Each module keeps one in static
// storage and never empties it.
class ModuleCell {
 public:
  // The body of a PyInit function. Records the importing interpreter (a later
  // import from another interpreter raises ImportError), returns the module
  // already made when there is one, or else runs `prepare` (may be null),
  // creates the module from `definition` and adds `methods` (ended by an entry
  // with a null name) in order, each named in __all__, and then the attribute
  // InternalFailure. Returns a new reference, or null with an exception set.
  PyObject* init(PyModuleDef& definition, PyMethodDef* methods, bool (*prepare)()) noexcept;

 private:
  PyObject* module_ = nullptr;
  std::atomic<std::int64_t> interpreter_{-1};
};

}  // namespace vamra::door
