// The module's Python-visible functions: the one description of each
// (parameters, defaults, doc text), which drives the method table, argument
// binding and the text signature, and the handler CPython calls. module.cpp
// registers them in this order; each is defined in the file of its concern.
#pragma once

#include "frame.hpp"
#include "vamra/header.hpp"

namespace vamra::api {

// Parameters several functions share.
inline constexpr frame::Param CHECK_INTEGRITY{"check_integrity", false};
inline constexpr frame::Param COMPRESS{"compress", false};
inline constexpr frame::Param ALIGNMENT{"alignment", DEFAULT_ALIGNMENT};

// packet_info.cpp
inline constexpr frame::Function GET_PACKET_INFO_RS{"get_packet_info_rs", {{"data"}}};
PyObject* get_packet_info_rs(PyObject* self, PyObject* args, PyObject* kwargs);

// dumps.cpp
inline constexpr frame::Function DUMPS_RS{"dumps_rs",
                                          {{"array"}, CHECK_INTEGRITY, COMPRESS, ALIGNMENT}};
PyObject* dumps_rs(PyObject* self, PyObject* args, PyObject* kwargs);

// encode_tensors.cpp
inline constexpr frame::Function DUMPS_QUANTIZED_RS{
    "dumps_quantized_rs",
    {{"qt"}, CHECK_INTEGRITY, ALIGNMENT},
    "Encode a `QuantizedTensor` (extracted field-by-field) via `vamra`."};
PyObject* dumps_quantized_rs(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function DUMPS_STRING_RS{
    "dumps_string_rs",
    {{"offsets"}, {"payload"}, {"count"}, CHECK_INTEGRITY},
    "Encode a `StringTensor` from raw `offsets` ((count+1) u64 LE) + `payload`."};
PyObject* dumps_string_rs(PyObject* self, PyObject* args, PyObject* kwargs);

// dumps.cpp
inline constexpr frame::Function ENCODE_BUNDLE_RS{
    "encode_bundle_rs",
    {{"entries"}},
    "Frame already-encoded `(key, value_packet)` entries into a bundle packet,\n"
    "Python orchestrates the recursion; the native module keeps the wire frame."};
PyObject* encode_bundle_rs(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function DUMP_TO_BUFFER_RS{
    "dump_to_buffer_rs", {{"array"}, {"buffer"}, CHECK_INTEGRITY, COMPRESS, ALIGNMENT}};
PyObject* dump_to_buffer_rs(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function DUMP_TO_FD_RS{
    "dump_to_fd_rs", {{"array"}, {"fd"}, CHECK_INTEGRITY, COMPRESS, ALIGNMENT}};
PyObject* dump_to_fd_rs(PyObject* self, PyObject* args, PyObject* kwargs);

// loads.cpp
inline constexpr frame::Function LOADS_RS{"loads_rs", {{"data"}}};
PyObject* loads_rs(PyObject* self, PyObject* args, PyObject* kwargs);

// shm_mutex.cpp
inline constexpr frame::Function SHM_MUTEX_INIT{
    "shm_mutex_init",
    {{"buffer"}, {"offset"}},
    "Init a POSIX process-shared mutex at `offset` in a shm-backed buffer\n"
    "(needs >= 64 bytes there)."};
PyObject* shm_mutex_init(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function SHM_MUTEX_LOCK{
    "shm_mutex_lock",
    {{"buffer"}, {"offset"}, {"timeout_secs", 5.0}},
    "Lock a POSIX process-shared mutex. True if recovered from a dead owner."};
PyObject* shm_mutex_lock(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function SHM_MUTEX_UNLOCK{
    "shm_mutex_unlock", {{"buffer"}, {"offset"}}, "Unlock a POSIX process-shared mutex."};
PyObject* shm_mutex_unlock(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function SHM_MUTEX_DESTROY{
    "shm_mutex_destroy", {{"buffer"}, {"offset"}}, "Destroy a POSIX process-shared mutex."};
PyObject* shm_mutex_destroy(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function SHM_MUTEX_SIZE{
    "shm_mutex_size", "Return the size in bytes needed for one POSIX process-shared mutex."};
PyObject* shm_mutex_size(PyObject* self, PyObject* unused);

}  // namespace vamra::api
