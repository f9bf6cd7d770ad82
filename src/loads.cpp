// loads_rs: packets back into Python values through the shared converter, with
// its defaults: read-only views, bfloat16 data by NumPy's type of that name.
#include "convert.hpp"
#include "frame.hpp"
#include "functions.hpp"

namespace vamra::api {

PyObject* loads_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(LOADS_RS, args, kwargs,
                     [](const frame::Args& a) -> py::Ref { return convert::load(a[0]); });
}

}  // namespace vamra::api
