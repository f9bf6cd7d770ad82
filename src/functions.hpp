// The module's Python-visible functions, as CPython calls them. module.cpp
// registers them; each is defined in the file of its concern.
#pragma once

#include "py.hpp"

namespace vamra::api {

PyObject* get_packet_info_rs(PyObject* self, PyObject* args, PyObject* kwargs);  // packet_info.cpp
PyObject* dumps_rs(PyObject* self, PyObject* args, PyObject* kwargs);            // dumps.cpp
PyObject* dumps_quantized_rs(PyObject* self, PyObject* args,
                             PyObject* kwargs);                                // encode_tensors.cpp
PyObject* dumps_string_rs(PyObject* self, PyObject* args, PyObject* kwargs);   // encode_tensors.cpp
PyObject* encode_bundle_rs(PyObject* self, PyObject* args, PyObject* kwargs);  // dumps.cpp
PyObject* dump_to_buffer_rs(PyObject* self, PyObject* args, PyObject* kwargs);  // dumps.cpp
PyObject* dump_to_fd_rs(PyObject* self, PyObject* args, PyObject* kwargs);      // dumps.cpp
PyObject* loads_rs(PyObject* self, PyObject* args, PyObject* kwargs);           // loads.cpp
PyObject* shm_mutex_init(PyObject* self, PyObject* args, PyObject* kwargs);     // shm_mutex.cpp
PyObject* shm_mutex_lock(PyObject* self, PyObject* args, PyObject* kwargs);     // shm_mutex.cpp
PyObject* shm_mutex_unlock(PyObject* self, PyObject* args, PyObject* kwargs);   // shm_mutex.cpp
PyObject* shm_mutex_destroy(PyObject* self, PyObject* args, PyObject* kwargs);  // shm_mutex.cpp
PyObject* shm_mutex_size(PyObject* self, PyObject* unused);                     // shm_mutex.cpp

}  // namespace vamra::api
