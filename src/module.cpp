// The module door: PyInit_vamra_rs, the method table and the module cell.
#include "functions.hpp"
#include "module_cell.hpp"

namespace vamra {

namespace {

#define VAMRA_KW(fn) door::keywords_handler(fn)

// In registration order, which is also the order of __all__.
PyMethodDef METHODS[] = {
    {"get_packet_info_rs", VAMRA_KW(api::get_packet_info_rs), METH_VARARGS | METH_KEYWORDS,
     "get_packet_info_rs(data)\n--\n\n"},
    {"dumps_rs", VAMRA_KW(api::dumps_rs), METH_VARARGS | METH_KEYWORDS,
     "dumps_rs(array, check_integrity=False, compress=False, alignment=64)\n--\n\n"},
    {"dumps_quantized_rs", VAMRA_KW(api::dumps_quantized_rs), METH_VARARGS | METH_KEYWORDS,
     "dumps_quantized_rs(qt, check_integrity=False, alignment=64)\n--\n\n"
     "Encode a `QuantizedTensor` (extracted field-by-field) via `vamra`."},
    {"dumps_string_rs", VAMRA_KW(api::dumps_string_rs), METH_VARARGS | METH_KEYWORDS,
     "dumps_string_rs(offsets, payload, count, check_integrity=False)\n--\n\n"
     "Encode a `StringTensor` from raw `offsets` ((count+1) u64 LE) + `payload`."},
    {"encode_bundle_rs", VAMRA_KW(api::encode_bundle_rs), METH_VARARGS | METH_KEYWORDS,
     "encode_bundle_rs(entries)\n--\n\n"
     "Frame already-encoded `(key, value_packet)` entries into a bundle packet,\n"
     "Python orchestrates the recursion; the native module keeps the wire frame."},
    {"dump_to_buffer_rs", VAMRA_KW(api::dump_to_buffer_rs), METH_VARARGS | METH_KEYWORDS,
     "dump_to_buffer_rs(array, buffer, check_integrity=False, compress=False, "
     "alignment=64)\n--\n\n"},
    {"dump_to_fd_rs", VAMRA_KW(api::dump_to_fd_rs), METH_VARARGS | METH_KEYWORDS,
     "dump_to_fd_rs(array, fd, check_integrity=False, compress=False, alignment=64)\n--\n\n"},
    {"loads_rs", VAMRA_KW(api::loads_rs), METH_VARARGS | METH_KEYWORDS, "loads_rs(data)\n--\n\n"},
    {"shm_mutex_init", VAMRA_KW(api::shm_mutex_init), METH_VARARGS | METH_KEYWORDS,
     "shm_mutex_init(buffer, offset)\n--\n\n"
     "Init a POSIX process-shared mutex at `offset` in a shm-backed buffer\n"
     "(needs >= 64 bytes there)."},
    {"shm_mutex_lock", VAMRA_KW(api::shm_mutex_lock), METH_VARARGS | METH_KEYWORDS,
     "shm_mutex_lock(buffer, offset, timeout_secs=5.0)\n--\n\n"
     "Lock a POSIX process-shared mutex. True if recovered from a dead owner."},
    {"shm_mutex_unlock", VAMRA_KW(api::shm_mutex_unlock), METH_VARARGS | METH_KEYWORDS,
     "shm_mutex_unlock(buffer, offset)\n--\n\n"
     "Unlock a POSIX process-shared mutex."},
    {"shm_mutex_destroy", VAMRA_KW(api::shm_mutex_destroy), METH_VARARGS | METH_KEYWORDS,
     "shm_mutex_destroy(buffer, offset)\n--\n\n"
     "Destroy a POSIX process-shared mutex."},
    {"shm_mutex_size", api::shm_mutex_size, METH_NOARGS,
     "shm_mutex_size()\n--\n\n"
     "Return the size in bytes needed for one POSIX process-shared mutex."},
    {nullptr, nullptr, 0, nullptr},
};

#undef VAMRA_KW

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "vamra_rs", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

door::ModuleCell g_cell;

}  // namespace

}  // namespace vamra

extern "C" PyMODINIT_FUNC PyInit_vamra_rs(void) {
  using namespace vamra;
  return g_cell.init(MODULE_DEF, METHODS, nullptr);
}
