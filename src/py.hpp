// Owned Python references, and the few CPython calls every part of the door makes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace vamra::py {

// An owned reference. `steal` takes over a new reference (nullptr allowed:
// that is how a failed CPython call is carried); `borrow` adds one. Whatever
// path a function leaves by, the destructor releases what it holds.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* object) {
    Ref ref;
    ref.object_ = object;
    return ref;
  }
  static Ref borrow(PyObject* object) {
    Py_XINCREF(object);
    return steal(object);
  }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (for returning it to the interpreter).
  PyObject* release() { return std::exchange(object_, nullptr); }
  void reset() {
    PyObject* old = std::exchange(object_, nullptr);
    Py_XDECREF(old);
  }

 private:
  PyObject* object_ = nullptr;
};

// Releases the interpreter lock for its lifetime, around blocking work that
// touches no Python object; the lock is taken back on every path out.
//
// A thread that asks for the lock once the interpreter has begun to shut down
// is ended on the spot by CPython, through an unwinding that C++ frames do not
// survive (the process aborts). So a thread that left before the shutdown
// began (a daemon thread still blocked when the program ends) does not come
// back: it waits for the process to end. The thread that runs the shutdown
// (it held the lock when it left) takes it back as usual.
class AllowThreads {
 public:
  AllowThreads() : left_during_shutdown_(!Py_IsInitialized()), state_(PyEval_SaveThread()) {}
  ~AllowThreads() {
    if (!left_during_shutdown_ && !Py_IsInitialized()) {
      for (;;) pause();
    }
    PyEval_RestoreThread(state_);
  }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  bool left_during_shutdown_;
  PyThreadState* state_;
};

// Attribute lookup by C name; an empty Ref means the lookup raised. The name's
// str is made once and kept, rather than made and hashed again on every call,
// which was much of what a small call cost.
Ref getattr(PyObject* object, const char* name);

// Imports a module as an import statement does: a module already in
// sys.modules is taken from there (the import machinery's own first step,
// without the cost of a call into it); anything else, None entries included,
// goes through the full import machinery with its usual errors.
Ref import(const char* name);

// Attribute `name` of module `module`, imported as `import` does.
Ref import_attribute(const char* module, const char* name);

// True when the calling thread is the interpreter's main thread, the one that
// runs Python's signal handlers: only its blocking waits are worth breaking
// off for them; any other would take the interpreter lock back for nothing,
// and a daemon thread that does so while the interpreter shuts down is ended
// on the spot. The main thread is looked up once per process (after a fork,
// the thread that forked is the child's main thread). Call with the
// interpreter lock held; never raises.
bool on_main_thread();

// The type name of an object, for messages ("int", "list").
std::string type_name(PyObject* object);

// str(object) as UTF-8, or an empty string when that fails (the failure is cleared).
std::string str_of(PyObject* object);

}  // namespace vamra::py
