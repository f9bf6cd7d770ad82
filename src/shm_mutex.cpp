// shm_mutex_*: a POSIX process-shared robust mutex living in a 64-byte slot
// of a caller's shared buffer. Every call names the buffer and the offset
// again; the module remembers only the mutexes this process holds, to keep
// their memory alive (held_mutexes.hpp).
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

#include "buffer.hpp"
#include "duration.hpp"
#include "errors.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "held_mutexes.hpp"

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
// How long a wait may go without running the signal handlers. A signal
// interrupts the poll's sleep and is handled at once; this catches one that
// arrived between two sleeps, or was delivered to another thread.
constexpr std::uint32_t SIGNAL_CHECK_INTERVAL_NS = 100'000'000;

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

// Sleeps one poll interval on the monotonic clock. When a signal cuts the
// sleep short, returns false if `interruptible`, else sleeps what remains.
bool sleep_poll_interval(bool interruptible) noexcept {
  timespec remaining{0, POLL_INTERVAL_NS};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
    if (interruptible) return false;
  }
  return true;
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

// How a wait for a busy mutex ended.
struct LockOutcome {
  int code = 0;              // pthread_mutex_trylock's last result, 0 on success
  bool timed_out = false;    // the deadline passed with the mutex still busy
  bool interrupted = false;  // stopped for the signal handlers; no attempt pending
};

// Polls a busy mutex until it is taken or `deadline` passes. When
// `interruptible`, it also stops when the signal handlers are due: a signal
// cut a sleep short, or SIGNAL_CHECK_INTERVAL_NS went by. Runs without the
// interpreter lock: it touches only the mutex and the clock, never a Python
// object, which is what lets another thread of this process reach its unlock.
LockOutcome wait_for(pthread_mutex_t* mutex, const timespec& deadline,
                     bool interruptible) noexcept {
  const timespec check =
      deadline_after(monotonic_now(), timing::Duration{0, SIGNAL_CHECK_INTERVAL_NS})
          .value_or(deadline);
  LockOutcome outcome;
  for (;;) {
    if (!sleep_poll_interval(interruptible)) {
      outcome.interrupted = true;
      return outcome;
    }
    outcome.code = pthread_mutex_trylock(mutex);
    if (outcome.code != EBUSY) return outcome;
    const timespec now = monotonic_now();
    if (reached(now, deadline)) {
      outcome.timed_out = true;
      return outcome;
    }
    if (interruptible && reached(now, check)) {
      outcome.interrupted = true;
      return outcome;
    }
  }
}

// Takes `mutex`, waiting until `deadline`. The first attempt keeps the
// interpreter lock: an uncontended lock costs one atomic operation and no
// thread switch. In the main thread the signal handlers run between waits,
// as for Python's own blocking calls; when one raises, the wait ends with
// nothing taken and that exception set (returned as nullopt).
std::optional<LockOutcome> take(pthread_mutex_t* mutex, const timespec& deadline) {
  LockOutcome outcome{pthread_mutex_trylock(mutex), false, false};
  if (outcome.code != EBUSY) return outcome;
  std::optional<bool> interruptible;
  for (;;) {
    if (reached(monotonic_now(), deadline)) {
      outcome.timed_out = true;
      return outcome;
    }
    if (!interruptible) interruptible = py::on_main_thread();
    if (*interruptible && PyErr_CheckSignals() != 0) return std::nullopt;
    {
      const py::AllowThreads unlocked;
      outcome = wait_for(mutex, deadline, *interruptible);
    }
    if (!outcome.interrupted) return outcome;
  }
}

// What end_hold found.
enum class HoldEnd {
  None,     // no thread of this process holds the mutex, as far as the records tell
  Ended,    // one did (or its record was stale); the mutex is free and unrecorded now
  Busy,     // another thread of this process, or another process, holds it
  Unknown,  // the mutex refuses both unlock and lock (destroyed while held): record kept
};

// Before the slot is destroyed or initialised again: the C library's list of a
// thread's robust mutexes runs through the mutex's own bytes, so a mutex
// still on such a list must be unlocked first. The caller's own hold is ended
// by unlocking; a record naming another thread is checked by trying the mutex.
HoldEnd end_hold(pthread_mutex_t* mutex) {
  const auto owner = held::owner(mutex);
  if (!owner) return HoldEnd::None;
  if (pthread_equal(*owner, pthread_self()) != 0 && pthread_mutex_unlock(mutex) == 0) {
    held::forget(mutex);
    return HoldEnd::Ended;
  }
  switch (pthread_mutex_trylock(mutex)) {
    case EOWNERDEAD:
      // Its owner died holding it: nothing left to protect in a mutex about to go.
      pthread_mutex_consistent(mutex);
      [[fallthrough]];
    case 0:
      if (pthread_mutex_unlock(mutex) != 0) return HoldEnd::Unknown;
      held::forget(mutex);
      return HoldEnd::Ended;
    case EBUSY:
      return HoldEnd::Busy;
    default:
      return HoldEnd::Unknown;
  }
}

}  // namespace

PyObject* shm_mutex_init(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(SHM_MUTEX_INIT, args, kwargs, [](const frame::Args& a) -> py::Ref {
    Slot slot;
    if (!open_slot(a, slot)) return {};
    // Initialising a mutex that a thread of this process holds would cut it
    // out of that thread's list of robust mutexes.
    const HoldEnd end = end_hold(slot.mutex);
    if (end == HoldEnd::Busy || end == HoldEnd::Unknown) {
      return errors::raise(PyExc_RuntimeError, messages::CALL_FAILED, "pthread_mutex_init", EBUSY);
    }
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
    held::Pending pending;
    if (!held::prepare(pending)) return {};

    const auto outcome = take(slot.mutex, *deadline);
    if (!outcome) return {};
    if (outcome->timed_out) {
      return errors::raise(PyExc_TimeoutError, messages::LOCK_TIMED_OUT, format_duration(*timeout));
    }
    if (outcome->code != 0 && outcome->code != EOWNERDEAD) {
      return errors::raise(PyExc_TimeoutError, messages::CALL_FAILED, "pthread_mutex_trylock",
                           outcome->code);
    }
    held::record(pending, slot.mutex, std::move(slot.view));
    if (outcome->code == EOWNERDEAD) {
      // The caller now holds a mutex whose previous owner died inside it; the
      // True result tells it to repair what the mutex protects.
      pthread_mutex_consistent(slot.mutex);
      return py::Ref::borrow(Py_True);
    }
    return py::Ref::borrow(Py_False);
  });
}

PyObject* shm_mutex_unlock(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(SHM_MUTEX_UNLOCK, args, kwargs, [](const frame::Args& a) -> py::Ref {
    Slot slot;
    if (!open_slot(a, slot)) return {};
    const int result = pthread_mutex_unlock(slot.mutex);
    if (result != 0) {
      return errors::raise(PyExc_RuntimeError, messages::CALL_FAILED, "pthread_mutex_unlock",
                           result);
    }
    // The calling thread held it, so no other record of it can be current.
    held::forget(slot.mutex);
    return none();
  });
}

PyObject* shm_mutex_destroy(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(SHM_MUTEX_DESTROY, args, kwargs, [](const frame::Args& a) -> py::Ref {
    Slot slot;
    if (!open_slot(a, slot)) return {};
    // A mutex the caller holds is unlocked first; one that another thread of
    // this process holds is refused as POSIX allows, since destroying it
    // would leave that thread unable to unlock it.
    if (end_hold(slot.mutex) == HoldEnd::Busy) {
      return errors::raise(PyExc_RuntimeError, messages::CALL_FAILED, "pthread_mutex_destroy",
                           EBUSY);
    }
    const int result = pthread_mutex_destroy(slot.mutex);
    if (result != 0) {
      return errors::raise(PyExc_RuntimeError, messages::CALL_FAILED, "pthread_mutex_destroy",
                           result);
    }
    return none();
  });
}

PyObject* shm_mutex_size(PyObject*, PyObject*) {
  return frame::run([]() -> py::Ref { return py::Ref::steal(PyLong_FromSize_t(SLOT_SIZE)); });
}

}  // namespace vamra::api
