// xxh3_64: the XXH3-64 hash (seed 0) of a byte buffer, as packet footers use it.
#include "buffer.hpp"
#include "functions.hpp"
#include "vamra/checksum.hpp"

namespace vamra::native {

PyObject* xxh3_64(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(XXH3_64, args, kwargs, [](const frame::Args& a) -> py::Ref {
    buffer::ByteBuffer input;
    if (!input.acquire(a[0])) return {};
    return py::Ref::steal(PyLong_FromUnsignedLongLong(checksum(input.bytes())));
  });
}

}  // namespace vamra::native
