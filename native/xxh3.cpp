// xxh3_64: the XXH3-64 hash (seed 0) of a byte buffer, as packet footers use it.
#include <xxhash.h>

#if (defined(__x86_64__) || defined(__i386__)) && __has_include(<xxh_x86dispatch.h>)
#include <xxh_x86dispatch.h>  // the widest vector unit the processor offers
#endif

#include "buffer.hpp"
#include "frame.hpp"
#include "functions.hpp"

namespace vamra::native {

PyObject* xxh3_64(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* PARAMS[] = {"data"};
  return frame::call("xxh3_64", PARAMS, 1, args, kwargs, [](PyObject** bound) -> py::Ref {
    buffer::ByteBuffer input;
    if (!input.acquire(bound[0])) return {};
    const auto bytes = input.bytes();
    return py::Ref::steal(PyLong_FromUnsignedLongLong(XXH3_64bits(bytes.data(), bytes.size())));
  });
}

}  // namespace vamra::native
