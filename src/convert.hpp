// Packets back into Python values: the one converter behind loads_rs and the
// package's own loader. Uncompressed dense data becomes NumPy views of the
// caller's object (read-only unless asked otherwise); everything else is
// copied into new objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "py.hpp"
#include "vamra/dtype.hpp"

namespace vamra::convert {

// How views are made. The defaults are loads_rs's.
struct Options {
  // Views of dense data stay writable. The source must export a writable
  // buffer (ValueError otherwise), such as a copy-on-write mapping.
  bool writable = false;
  // Borrowed; when set, the NumPy dtype (or anything numpy.dtype accepts) that
  // bfloat16 data is given, instead of NumPy's type of that name. It must have
  // an item size of 2 and no sub-array shape (ValueError otherwise).
  PyObject* bfloat16 = nullptr;
  // A view whose address is not a multiple of its element size (up to 16
  // bytes) is replaced by an aligned copy: some kernels fault on such memory.
  bool aligned = false;
};

// The dtype `dtype` data is given under `options`: NumPy's type of its name,
// or for bfloat16 the caller's dtype, made and checked (2 bytes, no sub-array
// shape: ValueError otherwise) once and kept in `chosen`. Borrowed; nullptr
// with an exception set on failure.
PyObject* dtype_for(Dtype dtype, const Options& options, py::Ref& chosen);

// Whether `data` is aligned for elements of `item_size` bytes, as `aligned`
// asks (alignment beyond 16 bytes is never needed).
inline bool is_aligned(const void* data, std::size_t item_size) {
  const std::size_t need = item_size < 16 ? item_size : 16;
  return need <= 1 || reinterpret_cast<std::uintptr_t>(data) % need == 0;
}

// A new array of `dims` holding a copy of the `nbytes` at `data`.
py::Ref copy_of(const void* data, std::size_t nbytes, PyObject* descr,
                std::span<const Py_ssize_t> dims);

// Decodes the packet held in the byte buffer of `data` and converts it: an
// array, a sparse matrix, a dict, a QuantizedTensor or a StringTensor, or None
// for kinds that are not converted (ragged and fixed-record packets, and
// anything that holds one). The buffer is held for the call only; views keep
// `data` alive through NumPy's own reference. Raises the buffer, codec and
// NumPy errors loads_rs documents.
py::Ref load(PyObject* data, const Options& options = {});

}  // namespace vamra::convert
