// Reading Python values into codec inputs: NumPy arrays into DenseViews, SciPy
// matrices into their format, shape and components, dictionaries into keyed
// entries, and the shapes shared by arrays, sparse matrices and quantized
// tensors.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "buffer.hpp"
#include "py.hpp"
#include "vamra/header.hpp"
#include "vamra/sparse.hpp"

namespace vamra::extract {

// A NumPy array read for encoding. It borrows the array's memory: `owner`
// keeps the array alive, and for arrays read through their attributes `pin`
// holds the buffer export their memory was taken from (NumPy's own arrays are
// read from their fields, which is where that export takes it from too).
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
// shape. Attribute errors pass unchanged. An object whose type is exactly
// numpy.ndarray is read from its fields, with the same results and errors.
bool numpy_array(PyObject* object, Array& out);

// A SciPy sparse matrix read for encoding: its format, shape and three
// components (data, then row and col for COO, indices and indptr otherwise).
struct SparseMatrix {
  SparseFormat format = SparseFormat::Coo;
  Shape shape;
  std::array<Array, 3> components;

  std::array<DenseView, 3> views() const {
    return {components[0].view(), components[1].view(), components[2].view()};
  }
};

// The format a matrix's `format` text names ("coo", "csr", "csc"), if any.
std::optional<SparseFormat> sparse_format(std::string_view name);

// Reads `matrix` as a sparse matrix in `format`: its `shape`, then each
// component attribute, given to numpy.ascontiguousarray first when its
// flags.c_contiguous is false, then read as a NumPy array. Errors pass
// unchanged.
bool sparse_matrix(PyObject* matrix, SparseFormat format, SparseMatrix& out);

// Reads `dict`, which held `length` entries when the caller sized it, entry by
// entry: each key as text (see `text`) is handed with its value to
// `visit(std::string_view key, PyObject* value) -> bool`. Both stay alive for
// the visit, which may run Python code; a dictionary that changes size or
// keys meanwhile is an internal failure.
template <class Visit>
bool dict_entries(PyObject* dict, Py_ssize_t length, Visit&& visit);

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

// The length of a sequence of values: a str is refused with TypeError "Can't
// extract `str` to `Vec`", a non-sequence with TypeError "'{}' object cannot be
// converted to 'Sequence'".
bool sequence_length(PyObject* object, Py_ssize_t& out);

// Reads a sequence of byte values (a bytes object in practice) into `out`; a
// str is refused with TypeError "Can't extract `str` to `Vec`".
bool byte_list(PyObject* object, std::vector<std::byte>& out);

namespace detail {
// Raises the internal failure when `dict` no longer holds `length` entries, or
// more than `length` were produced from it.
bool unchanged(PyObject* dict, Py_ssize_t length, Py_ssize_t produced);
}  // namespace detail

template <class Visit>
bool dict_entries(PyObject* dict, Py_ssize_t length, Visit&& visit) {
  Py_ssize_t pos = 0;
  Py_ssize_t produced = 0;
  for (;;) {
    if (!detail::unchanged(dict, length, produced)) return false;
    PyObject* borrowed_key = nullptr;
    PyObject* borrowed_value = nullptr;
    if (!PyDict_Next(dict, &pos, &borrowed_key, &borrowed_value)) return true;
    ++produced;
    // The visit runs Python code that may change the dictionary.
    py::Ref key = py::Ref::borrow(borrowed_key);
    py::Ref value = py::Ref::borrow(borrowed_value);
    std::string_view key_text;
    if (!text(key.get(), key_text) || !visit(key_text, value.get())) return false;
  }
}

}  // namespace vamra::extract
