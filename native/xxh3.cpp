// xxh3_64: the XXH3-64 hash (seed 0) of a byte buffer, as packet footers use it.
#include <xxhash.h>

#if (defined(__x86_64__) || defined(__i386__)) && __has_include(<xxh_x86dispatch.h>)
#include <xxh_x86dispatch.h>  // the widest vector unit the processor offers
#endif

#include "buffer.hpp"
#include "functions.hpp"

namespace vamra::native {

PyObject* xxh3_64(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(XXH3_64, args, kwargs, [](const frame::Args& a) -> py::Ref {
    buffer::ByteBuffer input;
    if (!input.acquire(a[0])) return {};
    const auto bytes = input.bytes();
    return py::Ref::steal(PyLong_FromUnsignedLongLong(XXH3_64bits(bytes.data(), bytes.size())));
  });
}

}  // namespace vamra::native
