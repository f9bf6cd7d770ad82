// The module door: PyInit_vamra_rs, the method table and the module cell.
#include "functions.hpp"
#include "module_cell.hpp"

namespace vamra {

namespace {

// In registration order, which is also the order of __all__.
constexpr door::Method METHODS[] = {
    {api::GET_PACKET_INFO_RS, api::get_packet_info_rs},
    {api::DUMPS_RS, api::dumps_rs},
    {api::DUMPS_QUANTIZED_RS, api::dumps_quantized_rs},
    {api::DUMPS_STRING_RS, api::dumps_string_rs},
    {api::ENCODE_BUNDLE_RS, api::encode_bundle_rs},
    {api::DUMP_TO_BUFFER_RS, api::dump_to_buffer_rs},
    {api::DUMP_TO_FD_RS, api::dump_to_fd_rs},
    {api::LOADS_RS, api::loads_rs},
    {api::SHM_MUTEX_INIT, api::shm_mutex_init},
    {api::SHM_MUTEX_LOCK, api::shm_mutex_lock},
    {api::SHM_MUTEX_UNLOCK, api::shm_mutex_unlock},
    {api::SHM_MUTEX_DESTROY, api::shm_mutex_destroy},
    {api::SHM_MUTEX_SIZE, api::shm_mutex_size},
};

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
