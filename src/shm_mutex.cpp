// shm_mutex_*: a POSIX process-shared robust mutex living in a 64-byte slot
// of a caller's shared buffer. The module records nothing about the mutexes it
// sets up; every call names the buffer and the offset again.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <expected>
#include <string>

#include "buffer.hpp"
#include "errors.hpp"
#include "frame.hpp"
#include "functions.hpp"

namespace vamra::api {

namespace {

constexpr std::size_t SLOT_SIZE = 64;
// Required alignment of the mutex address. Fixed at 8 rather than taken from
// the platform so that an offset accepted on one machine is accepted on all.
constexpr std::size_t SLOT_ALIGNMENT = 8;
constexpr long POLL_INTERVAL_NS = 50'000;
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
// Fails, with the text of the internal failure it is reported as, for a
// negative value, NaN, or 2^64 seconds or more.
std::expected<Duration, const char*> duration_from_secs(double secs) {
  if (secs < 0.0) {
    return std::unexpected(messages::DURATION_NEGATIVE);
  }
  // 2^64 seconds or more, +inf and NaN (every comparison with NaN is false).
  if (!(secs < 18446744073709551616.0)) {
    return std::unexpected(messages::DURATION_TOO_BIG);
  }
  if (secs == 0.0) return Duration{};
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
  return Duration{static_cast<std::uint64_t>(total / NS_PER_SEC),
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

// now + d; fails, with the text of the internal failure it is reported as,
// when the sum leaves the clock's range.
std::expected<timespec, const char*> deadline_after(const timespec& now, const Duration& d) {
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
    return std::unexpected(messages::DEADLINE_OVERFLOW);
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
        Py_BEGIN_ALLOW_THREADS outcome = wait_for(slot.mutex, *deadline);
        Py_END_ALLOW_THREADS
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
