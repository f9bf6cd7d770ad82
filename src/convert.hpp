// Packets back into Python values: the one converter behind loads_rs and the
// package's own loader. Uncompressed dense data becomes NumPy views of the
// caller's object (read-only unless asked otherwise); everything else is
// copied into new objects.
#pragma once

#include "py.hpp"

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
};

// Decodes the packet held in the byte buffer of `data` and converts it: an
// array, a sparse matrix, a dict, a QuantizedTensor or a StringTensor, or None
// for kinds that are not converted (ragged and fixed-record packets, and
// anything that holds one). The buffer is held for the call only; views keep
// `data` alive through NumPy's own reference. Raises the buffer, codec and
// NumPy errors loads_rs documents.
py::Ref load(PyObject* data, const Options& options = {});

}  // namespace vamra::convert
