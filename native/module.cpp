// vamra._native: the package's internal native functions, beside the fixed
// thirteen of vamra_rs. It is built from the same door (calling frame, owned
// references, byte buffers, error mapping, extraction and planning) and shares
// vamra_rs's InternalFailure class.
//
// Adding a function:
//   1. Write it in a file of its own concern in native/ (add the file to the
//      vamra_native target in CMakeLists.txt), as a handler that runs its body
//      through frame::call, and declare it in native/functions.hpp.
//   2. Add its entry to METHODS below: name, handler, flags, and a docstring
//      that starts with its text signature, "name(a, b=1)\n--\n\n".
//   3. Declare it in native/_native.pyi and test it in tests/test_native.py.
// Functions here are internal (the package wraps them): no `_rs` suffix.
#include "frame.hpp"
#include "functions.hpp"
#include "module_cell.hpp"

namespace vamra::native {

namespace {

// In registration order, which is also the order of __all__.
PyMethodDef METHODS[] = {
    {"xxh3_64", door::keywords_handler(xxh3_64), METH_VARARGS | METH_KEYWORDS,
     "xxh3_64(data)\n--\n\n"
     "The XXH3-64 hash (seed 0) of a C-contiguous byte buffer, as an int."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "vamra._native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

door::ModuleCell g_cell;

bool share_internal_failure() { return frame::adopt_internal_failure_type("vamra_rs"); }

}  // namespace

}  // namespace vamra::native

extern "C" PyMODINIT_FUNC PyInit__native(void) {
  using namespace vamra::native;
  return g_cell.init(MODULE_DEF, METHODS, share_internal_failure);
}
