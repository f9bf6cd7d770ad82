#include "held_mutexes.hpp"

#include <algorithm>
#include <atomic>
#include <iterator>

#include "errors.hpp"

namespace vamra::held {

namespace {

// Never destroyed: at interpreter shutdown and process exit the exports must
// stay held (see the header), and nothing may call into Python after it.
std::list<Hold>& holds() {
  static auto* records = new std::list<Hold>();
  return *records;
}

// Records no longer in use, kept for the next lock so that the uncontended
// lock and unlock allocate nothing.
std::list<Hold>& spares() {
  static auto* records = new std::list<Hold>();
  return *records;
}

// Set in a forked child (by the C library's fork handler, which may not call
// into Python); the records are then its parent's.
std::atomic<bool> g_forked{false};

void note_fork() noexcept { g_forked.store(true, std::memory_order_relaxed); }

// Releases the parent's records in a forked child. The child's copies of the
// exporters get their exports back; the mutexes are left as they are.
void drop_inherited() noexcept {
  if (!g_forked.load(std::memory_order_relaxed)) return;
  g_forked.store(false, std::memory_order_relaxed);
  std::list<Hold> inherited;
  inherited.swap(holds());  // released as it goes, after the records are consistent
}

PyObject* after_fork_in_child(PyObject*, PyObject*) {
  drop_inherited();
  Py_RETURN_NONE;
}

PyMethodDef AFTER_FORK_IN_CHILD = {"_vamra_rs_after_fork_in_child", after_fork_in_child,
                                   METH_NOARGS, nullptr};

// pthread_atfork marks every fork, Python's own or not; os.register_at_fork
// lets a child made by os.fork() release the records at once, so that it can
// close the memory without calling this module first.
bool watch_forks() {
  static bool watching = false;
  if (watching) return true;
  py::Ref os = py::import("os");
  if (!os) return false;
  py::Ref register_at_fork = py::getattr(os.get(), "register_at_fork");
  if (!register_at_fork) return false;
  py::Ref hook = py::Ref::steal(PyCFunction_New(&AFTER_FORK_IN_CHILD, nullptr));
  if (!hook) return false;
  py::Ref args = py::Ref::steal(PyTuple_New(0));
  py::Ref kwargs = py::Ref::steal(PyDict_New());
  if (!args || !kwargs || PyDict_SetItemString(kwargs.get(), "after_in_child", hook.get()) != 0) {
    return false;
  }
  py::Ref result = py::Ref::steal(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get()));
  if (!result) return false;
  if (pthread_atfork(nullptr, nullptr, note_fork) != 0) {
    return errors::raise(PyExc_RuntimeError, messages::ATFORK_FAILED);
  }
  watching = true;
  return true;
}

std::list<Hold>::iterator find(const pthread_mutex_t* mutex) {
  drop_inherited();
  auto& records = holds();
  return std::find_if(records.begin(), records.end(),
                      [mutex](const Hold& hold) { return hold.mutex == mutex; });
}

}  // namespace

bool prepare(Pending& out) {
  if (!watch_forks()) return false;
  if (!spares().empty()) {
    out.splice(out.end(), spares(), spares().begin());
    return true;
  }
  try {
    out.emplace_back();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

void record(Pending& pending, const pthread_mutex_t* mutex, buffer::ByteBuffer&& view) noexcept {
  const auto found = find(mutex);
  if (found != holds().end()) {
    // Taken over: the new export holds the same memory, so the old one can go.
    found->owner = pthread_self();
    found->view = std::move(view);
    return;
  }
  Hold& hold = pending.back();
  hold.mutex = mutex;
  hold.owner = pthread_self();
  hold.view = std::move(view);
  holds().splice(holds().end(), pending, std::prev(pending.end()));
}

std::optional<pthread_t> owner(const pthread_mutex_t* mutex) noexcept {
  const auto found = find(mutex);
  if (found == holds().end()) return std::nullopt;
  return found->owner;
}

void forget(const pthread_mutex_t* mutex) noexcept {
  const auto found = find(mutex);
  if (found == holds().end()) return;
  // Moved out first: releasing the export may run Python code (an exporter's
  // release hook) that calls back into this module.
  buffer::ByteBuffer view = std::move(found->view);
  spares().splice(spares().end(), holds(), found);
}

}  // namespace vamra::held
