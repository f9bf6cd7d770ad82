#include "py.hpp"

#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vamra::py {

namespace {

// The UTF-8 of `text` (a str, or null after a failed call), or `fallback` when
// there is none; the failure is cleared.
std::string utf8_or(Ref text, const char* fallback) {
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return fallback;
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// The attribute names looked up so far, each with its interned str (kept for
// the life of the process), in open addressing on the name's text (FNV-1a).
// The door looks up a few dozen names, far below the capacity.
constexpr std::size_t NAME_CAPACITY = 256;
std::string g_names[NAME_CAPACITY];
PyObject* g_name_objects[NAME_CAPACITY] = {};

}  // namespace

Ref getattr(PyObject* object, const char* name) {
  const std::string_view text(name);
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  for (std::size_t probe = 0; probe < NAME_CAPACITY; ++probe) {
    const std::size_t i = (hash + probe) % NAME_CAPACITY;
    if (g_name_objects[i] == nullptr) {
      PyObject* key = PyUnicode_InternFromString(name);
      if (key == nullptr) return {};
      g_names[i].assign(text);
      g_name_objects[i] = key;
    }
    if (g_names[i] == text) return Ref::steal(PyObject_GetAttr(object, g_name_objects[i]));
  }
  return Ref::steal(PyObject_GetAttrString(object, name));  // the table is full
}

std::string type_name(PyObject* object) {
  return utf8_or(Ref::steal(PyType_GetName(Py_TYPE(object))), "object");
}

std::string str_of(PyObject* object) { return utf8_or(Ref::steal(PyObject_Str(object)), ""); }

Ref import(const char* name) {
  Ref key = Ref::steal(PyUnicode_InternFromString(name));
  if (!key) return {};
  Ref module = Ref::steal(PyImport_GetModule(key.get()));
  if (module && module.get() != Py_None) return module;
  if (PyErr_Occurred()) PyErr_Clear();
  return Ref::steal(PyImport_Import(key.get()));
}

Ref import_attribute(const char* module, const char* name) {
  Ref imported = import(module);
  return imported ? getattr(imported.get(), name) : Ref();
}

namespace {

// The main thread's identity and the process it was looked up in. Read and
// written with the interpreter lock held.
pid_t g_main_pid = 0;
unsigned long g_main_thread = 0;

}  // namespace

bool on_main_thread() {
  const pid_t pid = getpid();
  if (pid != g_main_pid) {
    Ref threading = import("threading");
    Ref main = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr))
                         : Ref{};
    Ref ident = main ? getattr(main.get(), "ident") : Ref{};
    const unsigned long id = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred() != nullptr) {
      PyErr_Clear();
      return false;
    }
    g_main_pid = pid;
    g_main_thread = id;
  }
  return g_main_thread == PyThread_get_thread_ident();
}

}  // namespace vamra::py
