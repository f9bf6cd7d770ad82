// PyInit__native: the package's internal native functions.
#include "files.hpp"
#include "frame.hpp"

namespace vamra {

namespace {

#define VAMRA_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef METHODS[] = {
    {"pieces", VAMRA_KW(api::pieces), METH_VARARGS | METH_KEYWORDS,
     "pieces(value, check_integrity=False, compress=False, alignment=64, companion_types=None, "
     "encode_companion=None)\n--\n\n"},
    {"write", VAMRA_KW(api::write), METH_VARARGS | METH_KEYWORDS, "write(fd, pieces)\n--\n\n"},
    {"write_value", VAMRA_KW(api::write_value), METH_VARARGS | METH_KEYWORDS,
     "write_value(fd, value, check_integrity=False, compress=False, alignment=64, "
     "companion_types=None, encode_companion=None)\n--\n\n"},
    {"index", VAMRA_KW(api::index), METH_VARARGS | METH_KEYWORDS,
     "index(data, offset=0, length=None)\n--\n\n"},
    {"describe", VAMRA_KW(api::describe), METH_VARARGS | METH_KEYWORDS,
     "describe(data, offset=0, length=None)\n--\n\n"},
    {"verify", VAMRA_KW(api::verify), METH_VARARGS | METH_KEYWORDS,
     "verify(data, offset=0, length=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#undef VAMRA_KW

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "vamra._native", "", 0, METHODS, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace vamra

extern "C" PyMODINIT_FUNC PyInit__native(void) { return PyModule_Create(&vamra::MODULE_DEF); }
