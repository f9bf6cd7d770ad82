// The functions of vamra._native, as CPython calls them. module.cpp registers
// them; each is defined in the file of its concern.
#pragma once

#include "py.hpp"

namespace vamra::native {

PyObject* xxh3_64(PyObject* self, PyObject* args, PyObject* kwargs);  // xxh3.cpp

}  // namespace vamra::native
