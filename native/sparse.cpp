// check_sparse: the codec's check of a sparse matrix's arrays, for the
// package's readers that build SciPy matrices from arrays they did not decode
// from one packet (the Dask family receives the three arrays and the shape
// separately).
#include "vamra/sparse.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "extract.hpp"
#include "frame.hpp"
#include "functions.hpp"

namespace vamra::native {

namespace {

// The matrix shape: a sequence of non-negative ints, kept at any count (the
// check refuses all but two) and at any size a machine word holds, as shapes
// that did not come from a packet's 32-bit fields may be larger.
bool shape_of(PyObject* object, std::vector<std::uint64_t>& out) {
  Py_ssize_t length = 0;
  if (!extract::sequence_length(object, length)) return false;
  out.resize(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    py::Ref item = py::Ref::steal(PySequence_GetItem(object, i));
    if (!item) return false;
    std::size_t extent = 0;
    if (!frame::to_size(item.get(), extent)) return false;
    out[static_cast<std::size_t>(i)] = extent;
  }
  return true;
}

}  // namespace

PyObject* check_sparse(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(CHECK_SPARSE, args, kwargs, [](const frame::Args& a) -> py::Ref {
    std::string_view name;
    if (!extract::text(a[0], name)) return {};
    const auto format = extract::sparse_format(name);
    if (!format) return errors::raise(PyExc_ValueError, messages::UNKNOWN_SPARSE_FORMAT);
    std::vector<std::uint64_t> shape;
    if (!shape_of(a[1], shape)) return {};
    extract::Array arrays[3];
    SparseArray views[3];
    for (std::size_t i = 0; i < 3; ++i) {
      if (!extract::numpy_array(a[2 + i], arrays[i])) return {};
      // Each array is one-dimensional, as SciPy keeps them.
      if (arrays[i].shape.size() != 1) return errors::raise(CodecError{ErrorKind::Malformed});
      views[i] = {{arrays[i].data, arrays[i].nbytes}, arrays[i].dtype};
    }
    const auto checked = vamra::check_sparse(*format, shape, views);
    if (!checked) return errors::raise(checked.error());
    return py::Ref::borrow(Py_None);
  });
}

}  // namespace vamra::native
