// NumPy's array constructor, reached through the function table NumPy
// publishes for extension modules: a capsule, attribute _ARRAY_API of
// numpy._core._multiarray_umath (numpy.core._multiarray_umath before NumPy 2).
//
// The table is NumPy's, not CPython's: calling through it uses no CPython
// function outside the limited API, so the modules stay on the stable ABI.
// NumPy keeps each entry's index and signature fixed within an ABI version;
// the table is used only when NumPy reports an ABI version this code knows
// (1.x or 2.x), and otherwise callers fall back to ordinary Python calls.
// Only the three entries declared here are used. Of NumPy's structures only
// the leading fields of the array object are read (ArrayFields, below), which
// NumPy's own inline accessors compile into every extension module; dtypes
// are made and inspected through Python.
#pragma once

#include <cstddef>
#include <span>

#include "py.hpp"
#include "vamra/dtype.hpp"

namespace vamra::numpy_api {

using Intp = Py_ssize_t;  // npy_intp

// The constructor's flag for an array whose memory may be written.
inline constexpr int ARRAY_WRITEABLE = 0x0400;

struct Api {
  PyTypeObject* ndarray;
  // PyArray_NewFromDescr: steals the reference to `descr`, also on failure.
  PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd, const Intp* dims,
                              const Intp* strides, void* data, int flags, PyObject* obj);
  // PyArray_SetBaseObject: steals the reference to `base`, also on failure.
  int (*set_base_object)(PyObject* array, PyObject* base);
};

// The leading fields of NumPy's array object (PyArrayObject_fields).
struct ArrayFields {
  PyObject ob_base;
  char* data;
  int nd;
  Intp* dimensions;
  Intp* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

inline constexpr int ARRAY_C_CONTIGUOUS = 0x0001;

// The fields of `object` when its type is exactly numpy.ndarray (not a
// subclass) and NumPy's table is usable, else nullptr. Never raises, and never
// imports NumPy (an object of its type means it is loaded already).
const ArrayFields* exact_array(PyObject* object);

// NumPy's table, read once. Imports NumPy until that succeeds: nullptr with
// the import's exception set when it fails; nullptr without an exception when
// NumPy offers no table this code knows.
const Api* api();

// A C-ordered array of `dims` over `data` (not copied) whose memory is kept
// alive by `base` (a new reference is taken), read-only unless `writable`.
// `descr` is a numpy.dtype of the data's element type.
py::Ref view(const Api& api, PyObject* descr, std::span<const Intp> dims, void* data, bool writable,
             PyObject* base);

// NumPy's dtype for element type `dtype`, numpy.dtype(its name), made on
// first use and kept for the life of the process (dtypes are immutable, and
// NumPy is never unloaded). Borrowed. A name NumPy does not know raises its
// own TypeError, and is tried again on the next use: a package may register
// "bfloat16" later. A type whose item size is not the packet's raises
// ValueError, as views are sized by the packet.
PyObject* dtype_of(Dtype dtype);

// numpy.dtype(description), or the exception numpy.dtype raised.
py::Ref make_dtype(PyObject* description);

// A new C-ordered array of `dims` that owns its (uninitialised) memory: made
// through the table, or by numpy.empty when the table is not usable.
py::Ref new_array(PyObject* descr, std::span<const Intp> dims);

}  // namespace vamra::numpy_api
