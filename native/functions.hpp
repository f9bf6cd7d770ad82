// The functions of vamra._native: the one description of each (parameters,
// defaults, doc text), which drives the method table, argument binding and the
// text signature, and the handler CPython calls. module.cpp registers them in
// this order; each is defined in the file of its concern.
#pragma once

#include "frame.hpp"

namespace vamra::native {

// xxh3.cpp
inline constexpr frame::Function XXH3_64{
    "xxh3_64", {{"data"}}, "The XXH3-64 hash (seed 0) of a C-contiguous byte buffer, as an int."};
PyObject* xxh3_64(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace vamra::native
