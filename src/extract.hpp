// Reading Python values into codec inputs: NumPy arrays into DenseViews, and
// the shapes shared by arrays, sparse matrices and quantized tensors.
#pragma once

#include <cstddef>

#include "buffer.hpp"
#include "py.hpp"
#include "vamra/header.hpp"

namespace vamra::extract {

// A NumPy array read for encoding. It borrows the array's memory: `owner`
// keeps the array alive and `pin` (when its buffer export succeeded) keeps the
// memory from being freed or resized until the array is dropped.
struct Array {
  Shape shape;
  const std::byte* data = nullptr;
  std::size_t nbytes = 0;
  Dtype dtype = Dtype::Float32;
  py::Ref owner;
  buffer::Pin pin;

  DenseView view() const { return DenseView{{data, nbytes}, shape, dtype}; }
};

// Reads `object` as a NumPy array: dtype.name (one of the fifteen NumPy
// names, else ValueError "Unsupported dtype: {}"), flags.c_contiguous (else
// ValueError "Array must be C-contiguous"), nbytes, the data address and
// shape. Attribute errors pass unchanged.
bool numpy_array(PyObject* object, Array& out);

// True when `object`'s type is exactly numpy.ndarray (never imports NumPy:
// an object of that type means NumPy is loaded already).
bool is_exact_ndarray(PyObject* object);

// Converts a shape object: a sequence (not a str) of unsigned machine words,
// each at most 4294967295.
bool shape(PyObject* object, Shape& out);

// Reads attribute `flags.c_contiguous` of `object` as a flag.
bool c_contiguous(PyObject* object, bool& out);

// Converts a key to UTF-8 text: a str (else TypeError "'{}' object cannot be
// converted to 'PyString'"); unencodable text raises UnicodeEncodeError.
bool text(PyObject* object, std::string_view& out);

// Reads a sequence of byte values (a bytes object in practice) into `out`; a
// str is refused with TypeError "Can't extract `str` to `Vec`".
bool byte_list(PyObject* object, std::vector<std::byte>& out);

}  // namespace vamra::extract
