// vamra._native: the package's internal native functions, beside the fixed
// thirteen of vamra_rs. It is built from the same door (calling frame, owned
// references, byte buffers, error mapping, extraction and planning) and shares
// vamra_rs's InternalFailure class.
//
// Adding a function:
//   1. Describe it in native/functions.hpp: a frame::Function constant with its
//      name, parameters (required ones first; a default is a bool, a
//      std::size_t or a double) and doc text, and declare its handler. The
//      description is all the binding, the text signature and the method
//      table use.
//   2. Write the handler in a file of its own concern in native/ (add the file
//      to the vamra_native target in CMakeLists.txt): it runs its body through
//      frame::call(DESCRIPTION, args, kwargs, body), where body receives the
//      bound frame::Args and returns a py::Ref.
//   3. Add {DESCRIPTION, handler} to METHODS below.
//   4. Declare it in native/_native.pyi (tests/test_module.py checks the stub
//      against the description) and test it in tests/test_native.py.
// Functions here are internal (the package wraps them): no `_rs` suffix.
#include "functions.hpp"
#include "module_cell.hpp"

namespace vamra::native {

namespace {

// In registration order, which is also the order of __all__.
constexpr door::Method METHODS[] = {
    {XXH3_64, xxh3_64},
    {PIECES, pieces},
    {WRITE, write},
    {WRITE_VALUE, write_value},
    {LAYOUT_PLAN, layout_plan},
    {LAYOUT_DIGESTS, layout_digests},
    {LAYOUT_WRITE, layout_write},
    {START_WRITEBACK, start_writeback},
    {PREALLOCATE, preallocate},
    {INDEX, index},
    {DESCRIBE, describe},
    {VERIFY, verify},
    {EXTENT, extent},
    {LOADS, loads},
    {VIEWS, views},
    {ADDRESSES, addresses},
    {FUTEX_WAIT_FUNCTION, futex_wait},
    {FUTEX_WAKE_FUNCTION, futex_wake},
    {CHANNEL_LAYOUT, channel_layout},
    {CHANNEL_SEND, channel_send},
    {CHANNEL_TAKE, channel_take},
    {CHANNEL_OWNERS, channel_owners},
    {CHANNEL_RELEASE, channel_release},
    {STRINGS_FROM_LIST, strings_from_list},
    {STRINGS_TO_LIST, strings_to_list},
    {CHECK_SPARSE, check_sparse},
    {DLPACK_ARRAY, dlpack_array},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "vamra._native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

door::ModuleCell g_cell;

bool share_internal_failure() { return frame::adopt_internal_failure_type("vamra_rs"); }

}  // namespace

}  // namespace vamra::native

extern "C" PyMODINIT_FUNC PyInit__native(void) {
  using namespace vamra::native;
  return g_cell.init(MODULE_DEF, METHODS, share_internal_failure);
}
