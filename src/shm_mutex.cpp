// shm_mutex_*: a POSIX process-shared robust mutex living in a 64-byte slot
// of a caller's shared buffer. Every call names the buffer and the offset
// again; the module remembers only the mutexes this process holds, to keep
// their memory alive (held_mutexes.hpp).
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "buffer.hpp"
#include "errors.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "held_mutexes.hpp"

namespace vamra::api {

namespace {

constexpr std::size_t SLOT_SIZE = 64;
// Required alignment of the mutex address. Fixed at 8 rather than taken from
// the platform so that an offset accepted on one machine is accepted on all.
constexpr std::size_t SLOT_ALIGNMENT = 8;
constexpr long POLL_INTERVAL_NS = 50'000;
// How long a wait may go without running the signal handlers. A signal
// interrupts the poll's sleep and is handled at once; this catches one that
// arrived between two sleeps, or was delivered to another thread.
constexpr long SIGNAL_CHECK_INTERVAL_NS = 100'000'000;
constexpr std::uint64_t NS_PER_SEC = 1'000'000'000;

static_assert(sizeof(pthread_mutex_t) <= SLOT_SIZE, "the mutex must fit its slot");
static_assert(SLOT_ALIGNMENT % alignof(pthread_mutex_t) == 0,
              "the slot alignment must satisfy the mutex's own");

// ---------------------------------------------------------------------------
// Durations

struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;
};

// Float seconds to whole nanoseconds, rounded to nearest with ties to even.
// The double is split into an integer mantissa and a power of two so that the
// product with 10^9 is exact in 128 bits and only the final shift rounds.
Duration duration_from_secs(double secs) {
  if (secs < 0.0) {
    throw py::InternalFailure("cannot convert float seconds to Duration: value is negative");
  }
  // 2^64 seconds or more, +inf and NaN (every comparison with NaN is false).
  if (!(secs < 18446744073709551616.0)) {
    throw py::InternalFailure(
        "cannot convert float seconds to Duration: value is either too big or NaN");
  }
  if (secs == 0.0) return {};
  int exponent = 0;
  const double fraction = std::frexp(secs, &exponent);  // secs = fraction * 2^exponent
  // fraction in [0.5, 1): 53 significant bits as an integer mantissa.
  const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  const int shift = exponent - 53;  // secs = mantissa * 2^shift
  using U128 = unsigned __int128;
  U128 scaled = static_cast<U128>(mantissa) * NS_PER_SEC;  // < 2^83
  U128 total = 0;
  if (shift >= 0) {
    // secs < 2^64 bounds this below 2^94.
    total = scaled << shift;
  } else if (-shift < 128) {
    const int right = -shift;
    total = scaled >> right;
    const U128 remainder = scaled - (total << right);
    const U128 half = static_cast<U128>(1) << (right - 1);
    if (remainder > half || (remainder == half && (total & 1) != 0)) ++total;
  }  // else: far below half a nanosecond, so zero.
  return {static_cast<std::uint64_t>(total / NS_PER_SEC),
          static_cast<std::uint32_t>(total % NS_PER_SEC)};
}

// "<integer>[.<fraction without trailing zeros>]<suffix>"; no rounding.
std::string format_part(std::uint64_t integer, std::uint32_t fraction, int digits,
                        const char* suffix) {
  std::string out = std::to_string(integer);
  if (fraction != 0) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*" PRIu32, digits, fraction);
    std::string decimals(text);
    while (!decimals.empty() && decimals.back() == '0') decimals.pop_back();
    out += '.';
    out += decimals;
  }
  return out + suffix;
}

// The timeout as the lock's message shows it: "5s", "1.5ms", "100µs", "0ns".
std::string format_duration(const Duration& d) {
  if (d.secs != 0) return format_part(d.secs, d.nanos, 9, "s");
  if (d.nanos >= 1'000'000) return format_part(d.nanos / 1'000'000, d.nanos % 1'000'000, 6, "ms");
  if (d.nanos >= 1'000) return format_part(d.nanos / 1'000, d.nanos % 1'000, 3, "\u00b5s");
  return format_part(d.nanos, 0, 0, "ns");
}

// ---------------------------------------------------------------------------
// The monotonic clock

timespec monotonic_now() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

// now + d, or an internal failure when the sum leaves the clock's range.
timespec deadline_after(const timespec& now, const Duration& d) {
  constexpr std::int64_t MAX_SECS = INT64_MAX;
  const auto base = static_cast<std::int64_t>(now.tv_sec);
  std::int64_t secs = 0;
  bool overflow = d.secs > static_cast<std::uint64_t>(MAX_SECS) ||
                  __builtin_add_overflow(base, static_cast<std::int64_t>(d.secs), &secs);
  long nanos = now.tv_nsec + static_cast<long>(d.nanos);
  if (!overflow && nanos >= static_cast<long>(NS_PER_SEC)) {
    nanos -= static_cast<long>(NS_PER_SEC);
    overflow = __builtin_add_overflow(secs, 1, &secs);
  }
  // time_t is 64 bits on the platforms this builds for; the check keeps a
  // narrower one honest.
  if (overflow || static_cast<std::int64_t>(static_cast<time_t>(secs)) != secs) {
    throw py::InternalFailure("overflow when adding duration to instant");
  }
  timespec deadline{};
  deadline.tv_sec = static_cast<time_t>(secs);
  deadline.tv_nsec = nanos;
  return deadline;
}

bool reached(const timespec& now, const timespec& deadline) noexcept {
  return now.tv_sec != deadline.tv_sec ? now.tv_sec > deadline.tv_sec
                                       : now.tv_nsec >= deadline.tv_nsec;
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
  if (slot.view.readonly()) {
    errors::value_error("Buffer is read-only");
    return false;
  }
  const auto bytes = slot.view.writable_bytes();
  // Written as a subtraction so that offsets near 2^64 cannot wrap around.
  if (offset > bytes.size() || bytes.size() - offset < SLOT_SIZE) {
    errors::value_error("Insufficient space: need " + std::to_string(SLOT_SIZE) +
                        " bytes at offset " + std::to_string(offset) + ", buffer is " +
                        std::to_string(bytes.size()) + " bytes");
    return false;
  }
  std::byte* address = bytes.data() + offset;
  const auto numeric = reinterpret_cast<std::uintptr_t>(address);
  if (numeric % SLOT_ALIGNMENT != 0) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "Mutex address must be %zu-byte aligned: offset %zu gives address 0x%" PRIxPTR,
                  SLOT_ALIGNMENT, offset, numeric);
    errors::value_error(text);
    return false;
  }
  slot.mutex = reinterpret_cast<pthread_mutex_t*>(address);
  return true;
}

// The slot named by a call's (buffer, offset) arguments.
bool open_slot(const frame::Args& args, Slot& slot) {
  std::size_t offset = 0;
  return args.get(1, offset, frame::to_size) && open_slot(args[0], offset, slot);
}

py::Ref runtime_error(const std::string& message) {
  PyErr_SetString(PyExc_RuntimeError, message.c_str());
  return {};
}

py::Ref timeout_error(const std::string& message) {
  PyErr_SetString(PyExc_TimeoutError, message.c_str());
  return {};
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
  timespec check = monotonic_now();
  check.tv_nsec += SIGNAL_CHECK_INTERVAL_NS;
  if (check.tv_nsec >= static_cast<long>(NS_PER_SEC)) {
    check.tv_nsec -= static_cast<long>(NS_PER_SEC);
    ++check.tv_sec;
  }
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

// True when the calling thread is the one that runs Python's signal handlers
// (the main thread). Only that thread's wait is worth breaking off for them;
// any other would take the interpreter lock back for nothing, and a daemon
// thread that does so while the interpreter shuts down is ended on the spot.
bool runs_signal_handlers() {
  py::Ref threading = py::import("threading");
  py::Ref main = threading
                     ? py::Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr))
                     : py::Ref{};
  py::Ref ident = main ? py::getattr(main.get(), "ident") : py::Ref{};
  const unsigned long id = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  if (PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return false;
  }
  return id == PyThread_get_thread_ident();
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
    if (!interruptible) interruptible = runs_signal_handlers();
    if (*interruptible && PyErr_CheckSignals() != 0) return std::nullopt;
    {
      const py::WithoutInterpreterLock unlocked;
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

std::string failed(const char* what, int code) {
  return std::string(what) + " failed: " + std::to_string(code);
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
      return runtime_error(failed("pthread_mutex_init", EBUSY));
    }
    MutexAttributes attributes;
    if (attributes.init() != 0) return runtime_error("pthread_mutexattr_init failed");
    if (pthread_mutexattr_setpshared(attributes.get(), PTHREAD_PROCESS_SHARED) != 0) {
      return runtime_error("pthread_mutexattr_setpshared failed");
    }
    if (pthread_mutexattr_setrobust(attributes.get(), PTHREAD_MUTEX_ROBUST) != 0) {
      return runtime_error("pthread_mutexattr_setrobust failed");
    }
    const int result = pthread_mutex_init(slot.mutex, attributes.get());
    if (result != 0) return runtime_error(failed("pthread_mutex_init", result));
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
    const Duration timeout = duration_from_secs(timeout_secs);
    const timespec deadline = deadline_after(monotonic_now(), timeout);
    held::Pending pending;
    if (!held::prepare(pending)) return {};

    const auto outcome = take(slot.mutex, deadline);
    if (!outcome) return {};
    if (outcome->timed_out) {
      return timeout_error("Mutex lock timed out after " + format_duration(timeout));
    }
    if (outcome->code != 0 && outcome->code != EOWNERDEAD) {
      return timeout_error("pthread_mutex_trylock failed: " + std::to_string(outcome->code));
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
    if (result != 0) return runtime_error(failed("pthread_mutex_unlock", result));
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
      return runtime_error(failed("pthread_mutex_destroy", EBUSY));
    }
    const int result = pthread_mutex_destroy(slot.mutex);
    if (result != 0) return runtime_error(failed("pthread_mutex_destroy", result));
    return none();
  });
}

PyObject* shm_mutex_size(PyObject*, PyObject*) {
  return frame::run([]() -> py::Ref { return py::Ref::steal(PyLong_FromSize_t(SLOT_SIZE)); });
}

}  // namespace vamra::api
