// futex_wait and futex_wake: sleeping until another process says something
// changed in a shared buffer, on a Linux futex.
//
// An event is 8 bytes of a shared buffer at an 8-aligned offset: a 32-bit
// counter that every notification advances, then a 32-bit count of the
// threads asleep on it. A waiter reads the counter, looks at the shared state
// it waits on, and sleeps only while the counter still holds the value it
// read, so a notification between its look and its sleep is never lost. A
// notification makes no system call while nobody sleeps.
//
// The futex calls are made without FUTEX_PRIVATE_FLAG: the kernel then keys
// the wait on the page of the shared mapping rather than on this process's
// address, which is what lets a wake in one process reach a sleeper in another.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <optional>

#include "buffer.hpp"
#include "errors.hpp"
#include "event.hpp"
#include "frame.hpp"
#include "functions.hpp"

namespace vamra::native {

namespace {

constexpr std::size_t EVENT_SIZE = 8;
constexpr std::int64_t NS_PER_SEC = 1'000'000'000;
// The longest the main thread sleeps without running the signal handlers. A
// signal delivered to it cuts the sleep short at once; this bounds the delay
// for one that was delivered to another thread of the process.
constexpr std::int64_t SIGNAL_CHECK_NS = 100'000'000;
// Nothing sleeps longer than this in one system call (about 292 years fit an
// int64 of nanoseconds; this keeps the deadline arithmetic far from that).
constexpr double MAX_WAIT_SECS = 1e9;

std::int64_t now_ns() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * NS_PER_SEC + now.tv_nsec;
}

timespec to_timespec(std::int64_t ns) noexcept {
  return timespec{static_cast<time_t>(ns / NS_PER_SEC), static_cast<long>(ns % NS_PER_SEC)};
}

void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// The two words of an event, checked to lie whole and aligned in the buffer.
struct Event {
  buffer::ByteBuffer view;
  std::uint32_t* counter = nullptr;
  std::uint32_t* sleepers = nullptr;

  std::atomic_ref<std::uint32_t> count() const { return std::atomic_ref(*counter); }
  std::atomic_ref<std::uint32_t> asleep() const { return std::atomic_ref(*sleepers); }
};

bool open_event(const frame::Args& args, Event& event) {
  std::size_t offset = 0;
  if (!args.get(1, offset, frame::to_size) || !event.view.acquire(args[0])) return false;
  if (event.view.readonly()) return errors::raise(PyExc_ValueError, messages::BUFFER_READ_ONLY);
  const auto bytes = event.view.writable_bytes();
  if (offset > bytes.size() || bytes.size() - offset < EVENT_SIZE) {
    return errors::raise(PyExc_ValueError,
                         "An event needs 8 bytes at offset {}, buffer is {} bytes", offset,
                         bytes.size());
  }
  std::byte* address = bytes.data() + offset;
  if (reinterpret_cast<std::uintptr_t>(address) % EVENT_SIZE != 0) {
    return errors::raise(PyExc_ValueError, messages::EVENT_MISALIGNED);
  }
  event.counter = reinterpret_cast<std::uint32_t*>(address);
  event.sleepers = event.counter + 1;
  return true;
}

// A timeout argument: None for no limit, else seconds (not negative, not NaN).
bool timeout_from(PyObject* object, std::optional<double>& out) {
  if (object == Py_None) {
    out.reset();
    return true;
  }
  double secs = 0;
  if (!frame::convert_arg("timeout", object, secs, frame::to_double)) return false;
  if (std::isnan(secs) || secs < 0) {
    return errors::raise(PyExc_ValueError, messages::EVENT_TIMEOUT);
  }
  out = secs;
  return true;
}

std::int64_t deadline_in(double secs, std::int64_t from) {
  return from + static_cast<std::int64_t>(std::min(secs, MAX_WAIT_SECS) * NS_PER_SEC);
}

enum class Woke { Changed, TimedOut, Interrupted };

// Spins until the counter leaves `seen` or `until` passes. Runs without the
// interpreter lock.
bool spin(const Event& event, std::uint32_t seen, std::int64_t until) noexcept {
  for (unsigned round = 0;; ++round) {
    if (event.count().load(std::memory_order_acquire) != seen) return true;
    cpu_relax();
    if (round % 64 == 63 && now_ns() >= until) return false;
  }
}

// Sleeps while the counter holds `seen`, until `deadline` (absolute, on the
// monotonic clock) or, for the signal handlers' sake, `check`. Runs without
// the interpreter lock.
Woke sleep(const Event& event, std::uint32_t seen, std::int64_t deadline,
           std::int64_t check) noexcept {
  // Counted as asleep before the last look at the counter: a notifier that
  // advances the counter after that look sees the count and wakes us.
  event.asleep().fetch_add(1, std::memory_order_seq_cst);
  Woke woke = Woke::Changed;
  for (;;) {
    if (event.count().load(std::memory_order_seq_cst) != seen) break;
    const std::int64_t now = now_ns();
    if (now >= deadline) {
      woke = Woke::TimedOut;
      break;
    }
    if (now >= check) {
      woke = Woke::Interrupted;
      break;
    }
    // FUTEX_WAIT_BITSET takes an absolute time on the monotonic clock, so a
    // wait resumed after a spurious wake keeps the same end.
    const timespec until = to_timespec(std::min(deadline, check));
    const long result = syscall(SYS_futex, event.counter, FUTEX_WAIT_BITSET, seen, &until, nullptr,
                                FUTEX_BITSET_MATCH_ANY);
    if (result != 0 && errno == EINTR) {
      woke = Woke::Interrupted;
      break;
    }
    // Woken, timed out, or the counter had already moved (EAGAIN): the loop
    // looks again.
  }
  event.asleep().fetch_sub(1, std::memory_order_seq_cst);
  return woke;
}

}  // namespace

PyObject* futex_wait(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(FUTEX_WAIT_FUNCTION, args, kwargs, [](const frame::Args& a) -> py::Ref {
    std::uint32_t seen = 0;
    std::optional<double> timeout;
    double spin_secs = 0;
    if (!a.get(2, seen, frame::to_u32) || !timeout_from(a[3], timeout) ||
        !a.get(4, spin_secs, frame::to_double)) {
      return {};
    }
    if (std::isnan(spin_secs) || spin_secs < 0) {
      return errors::raise(PyExc_ValueError, messages::EVENT_SPIN);
    }
    Event event;
    if (!open_event(a, event)) return {};
    if (event.count().load(std::memory_order_acquire) != seen) {
      return py::Ref::borrow(Py_True);
    }
    const std::int64_t start = now_ns();
    const std::int64_t deadline = timeout ? deadline_in(*timeout, start) : INT64_MAX;
    if (deadline <= start) return py::Ref::borrow(Py_False);

    const bool interruptible = py::on_main_thread();
    const std::int64_t spin_until =
        spin_secs > 0 ? std::min(deadline, deadline_in(spin_secs, start)) : 0;
    for (bool first = true;; first = false) {
      Woke woke = Woke::Changed;
      {
        // One release of the interpreter lock for the spin and the sleep.
        py::AllowThreads unlocked;
        if (!(first && spin_until > 0 && spin(event, seen, spin_until))) {
          const std::int64_t check = interruptible ? now_ns() + SIGNAL_CHECK_NS : INT64_MAX;
          woke = sleep(event, seen, deadline, check);
        }
      }
      if (woke == Woke::Changed) return py::Ref::borrow(Py_True);
      if (woke == Woke::TimedOut) return py::Ref::borrow(Py_False);
      // A signal cut the sleep short, or it is time to look for one: the
      // handlers run as they do for Python's own blocking calls; one that
      // raises ends the wait, otherwise it resumes with the time that remains.
      if (PyErr_CheckSignals() != 0) return {};
    }
  });
}

void notify_event(std::byte* address) noexcept {
  auto* counter = reinterpret_cast<std::uint32_t*>(address);
  std::atomic_ref(*counter).fetch_add(1, std::memory_order_seq_cst);
  if (std::atomic_ref(counter[1]).load(std::memory_order_seq_cst) != 0) {
    syscall(SYS_futex, counter, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
  }
}

PyObject* futex_wake(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(FUTEX_WAKE_FUNCTION, args, kwargs, [](const frame::Args& a) -> py::Ref {
    Event event;
    if (!open_event(a, event)) return {};
    event.count().fetch_add(1, std::memory_order_seq_cst);
    long woken = 0;
    if (event.asleep().load(std::memory_order_seq_cst) != 0) {
      woken = syscall(SYS_futex, event.counter, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
      if (woken < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return {};
      }
    }
    return py::Ref::steal(PyLong_FromLong(woken));
  });
}

}  // namespace vamra::native
