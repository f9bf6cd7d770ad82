// loads: loads_rs's converter with the package's options: writable views of a
// writable buffer, and a dtype of the caller's choice for bfloat16 data.
#include "convert.hpp"
#include "functions.hpp"

namespace vamra::native {

PyObject* loads(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(LOADS, args, kwargs, [](const frame::Args& a) -> py::Ref {
    convert::Options options;
    if (!a.get(1, options.writable, frame::to_flag)) return {};
    if (a[2] != nullptr && a[2] != Py_None) options.bfloat16 = a[2];
    return convert::load(a[0], options);
  });
}

}  // namespace vamra::native
