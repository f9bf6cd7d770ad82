// shm_mutex_*: a POSIX process-shared robust mutex living in a 64-byte slot
// of a caller's shared buffer. The module records nothing about the mutexes it
// sets up; every call names the buffer and the offset again.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

#include "buffer.hpp"
#include "duration.hpp"
#include "errors.hpp"
#include "frame.hpp"
#include "functions.hpp"

namespace vamra::api {

namespace {

using timing::deadline_after;
using timing::duration_from_secs;
using timing::format_duration;
using timing::reached;

constexpr std::size_t SLOT_SIZE = 64;
// Required alignment of the mutex address. Fixed at 8 rather than taken from
// the platform so that an offset accepted on one machine is accepted on all.
constexpr std::size_t SLOT_ALIGNMENT = 8;
constexpr long POLL_INTERVAL_NS = 50'000;

static_assert(sizeof(pthread_mutex_t) <= SLOT_SIZE, "the mutex must fit its slot");
static_assert(SLOT_ALIGNMENT % alignof(pthread_mutex_t) == 0,
              "the slot alignment must satisfy the mutex's own");

// ---------------------------------------------------------------------------
// The monotonic clock

timespec monotonic_now() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

// One poll interval on the monotonic clock; a signal only shortens the call,
// so the sleep resumes with what remains.
void sleep_poll_interval() noexcept {
  timespec remaining{0, POLL_INTERVAL_NS};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
  }
}

// ---------------------------------------------------------------------------
// The slot

// The view of `buffer` and the mutex at `offset` in it. The view is held
// until the slot goes, which keeps the mutex's memory mapped for the call.
struct Slot {
  buffer::ByteBuffer view;
  pthread_mutex_t* mutex = nullptr;
};

// Checks, in order: a writable buffer, room for the whole slot, an aligned
// mutex address. Raises ValueError (or the buffer's own errors) and returns
// false otherwise.
bool open_slot(PyObject* object, std::size_t offset, Slot& slot) {
  if (!slot.view.acquire(object)) return false;
  if (slot.view.readonly()) return errors::raise(PyExc_ValueError, messages::BUFFER_READ_ONLY);
  const auto bytes = slot.view.writable_bytes();
  // Written as a subtraction so that offsets near 2^64 cannot wrap around.
  if (offset > bytes.size() || bytes.size() - offset < SLOT_SIZE) {
    return errors::raise(PyExc_ValueError, messages::SLOT_TOO_SMALL, SLOT_SIZE, offset,
                         bytes.size());
  }
  std::byte* address = bytes.data() + offset;
  const auto numeric = reinterpret_cast<std::uintptr_t>(address);
  if (numeric % SLOT_ALIGNMENT != 0) {
    return errors::raise(PyExc_ValueError, messages::SLOT_MISALIGNED, SLOT_ALIGNMENT, offset,
                         messages::Hex{numeric});
  }
  slot.mutex = reinterpret_cast<pthread_mutex_t*>(address);
  return true;
}

// The slot named by a call's (buffer, offset) arguments.
bool open_slot(const frame::Args& args, Slot& slot) {
  std::size_t offset = 0;
  return args.get(1, offset, frame::to_size) && open_slot(args[0], offset, slot);
}

py::Ref none() { return py::Ref::borrow(Py_None); }

// Destroys a mutex attribute object on every path once it was initialised.
class MutexAttributes {
 public:
  int init() {
    const int result = pthread_mutexattr_init(&attributes_);
    live_ = result == 0;
    return result;
  }
  ~MutexAttributes() {
    if (live_) pthread_mutexattr_destroy(&attributes_);
  }
  pthread_mutexattr_t* get() { return &attributes_; }

 private:
  pthread_mutexattr_t attributes_{};
  bool live_ = false;
};

// How the wait for a busy mutex ended.
struct LockOutcome {
  int code = 0;  // pthread_mutex_trylock's last result, 0 on success
  bool timed_out = false;
};

// Polls a busy mutex until it is taken or `deadline` passes. Runs without the
// interpreter lock: it touches only the mutex and the clock, never a Python
// object, which is what lets another thread of this process reach its unlock.
LockOutcome wait_for(pthread_mutex_t* mutex, const timespec& deadline) noexcept {
  LockOutcome outcome;
  for (;;) {
    sleep_poll_interval();
    outcome.code = pthread_mutex_trylock(mutex);
    if (outcome.code != EBUSY) return outcome;
    if (reached(monotonic_now(), deadline)) {
      outcome.timed_out = true;
      return outcome;
    }
  }
}

}  // namespace

PyObject* shm_mutex_init(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(SHM_MUTEX_INIT, args, kwargs, [](const frame::Args& a) -> py::Ref {
    Slot slot;
    if (!open_slot(a, slot)) return {};
    MutexAttributes attributes;
    if (attributes.init() != 0) {
      return errors::raise(PyExc_RuntimeError, messages::MUTEXATTR_INIT_FAILED);
    }
    if (pthread_mutexattr_setpshared(attributes.get(), PTHREAD_PROCESS_SHARED) != 0) {
      return errors::raise(PyExc_RuntimeError, messages::MUTEXATTR_SETPSHARED_FAILED);
    }
    if (pthread_mutexattr_setrobust(attributes.get(), PTHREAD_MUTEX_ROBUST) != 0) {
      return errors::raise(PyExc_RuntimeError, messages::MUTEXATTR_SETROBUST_FAILED);
    }
    const int result = pthread_mutex_init(slot.mutex, attributes.get());
    if (result != 0) {
      return errors::raise(PyExc_RuntimeError, messages::CALL_FAILED, "pthread_mutex_init", result);
    }
    return none();
  });
}

PyObject* shm_mutex_lock(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(SHM_MUTEX_LOCK, args, kwargs, [](const frame::Args& a) -> py::Ref {
    std::size_t offset = 0;
    double timeout_secs = 0;
    if (!a.get(1, offset, frame::to_size) || !a.get(2, timeout_secs, frame::to_double)) return {};
    Slot slot;
    if (!open_slot(a[0], offset, slot)) return {};
    const auto timeout = duration_from_secs(timeout_secs);
    if (!timeout) return errors::internal(timeout.error());
    const auto deadline = deadline_after(monotonic_now(), *timeout);
    if (!deadline) return errors::internal(deadline.error());

    // The first attempt keeps the interpreter lock: an uncontended lock costs
    // one atomic operation and no thread switch.
    LockOutcome outcome{pthread_mutex_trylock(slot.mutex), false};
    if (outcome.code == EBUSY) {
      if (reached(monotonic_now(), *deadline)) {
        outcome.timed_out = true;
      } else {
        py::AllowThreads unlocked;
        outcome = wait_for(slot.mutex, *deadline);
      }
    }
    if (outcome.timed_out) {
      return errors::raise(PyExc_TimeoutError, messages::LOCK_TIMED_OUT, format_duration(*timeout));
    }
    if (outcome.code == EOWNERDEAD) {
      // The caller now holds a mutex whose previous owner died inside it; the
      // True result tells it to repair what the mutex protects.
      pthread_mutex_consistent(slot.mutex);
      return py::Ref::borrow(Py_True);
    }
    if (outcome.code != 0) {
      return errors::raise(PyExc_TimeoutError, messages::CALL_FAILED, "pthread_mutex_trylock",
                           outcome.code);
    }
    return py::Ref::borrow(Py_False);
  });
}

namespace {

// unlock and destroy: one platform call on the slot's mutex, whose error code
// is reported as RuntimeError "<what> failed: <code>".
template <int (*Operation)(pthread_mutex_t*), std::size_t N>
PyObject* on_slot(const frame::Function<N>& function, const char* what, PyObject* args,
                  PyObject* kwargs) {
  return frame::call(function, args, kwargs, [what](const frame::Args& a) -> py::Ref {
    Slot slot;
    if (!open_slot(a, slot)) return {};
    const int result = Operation(slot.mutex);
    if (result != 0) return errors::raise(PyExc_RuntimeError, messages::CALL_FAILED, what, result);
    return none();
  });
}

}  // namespace

PyObject* shm_mutex_unlock(PyObject*, PyObject* args, PyObject* kwargs) {
  return on_slot<pthread_mutex_unlock>(SHM_MUTEX_UNLOCK, "pthread_mutex_unlock", args, kwargs);
}

PyObject* shm_mutex_destroy(PyObject*, PyObject* args, PyObject* kwargs) {
  return on_slot<pthread_mutex_destroy>(SHM_MUTEX_DESTROY, "pthread_mutex_destroy", args, kwargs);
}

PyObject* shm_mutex_size(PyObject*, PyObject*) {
  return frame::run([]() -> py::Ref { return py::Ref::steal(PyLong_FromSize_t(SLOT_SIZE)); });
}

}  // namespace vamra::api
