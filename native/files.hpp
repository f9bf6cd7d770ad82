// The module functions behind files: writing packets as streams of pieces,
// and reading the framing of packets in place. module.cpp registers them.
#pragma once

#include "py.hpp"

namespace vamra::api {

PyObject* pieces(PyObject* self, PyObject* args, PyObject* kwargs);       // writer.cpp
PyObject* write(PyObject* self, PyObject* args, PyObject* kwargs);        // writer.cpp
PyObject* write_value(PyObject* self, PyObject* args, PyObject* kwargs);  // writer.cpp
PyObject* index(PyObject* self, PyObject* args, PyObject* kwargs);        // index.cpp
PyObject* describe(PyObject* self, PyObject* args, PyObject* kwargs);     // index.cpp
PyObject* verify(PyObject* self, PyObject* args, PyObject* kwargs);       // index.cpp

}  // namespace vamra::api
