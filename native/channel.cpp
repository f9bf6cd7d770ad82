// The slots of a vamra channel (python/vamra/channel.py): every change to a
// slot record is made here, in one call that takes the segment's robust
// mutex, makes the change and lets the mutex go, with no Python code running
// in between. A signal handler that raises (Ctrl-C) therefore never finds the
// mutex held, and a slot claimed for a packet is either published or given
// back before the call returns, whatever the writer or a signal does.
//
// The segment's bytes come from another process and are checked before use:
// every call reads the header again and checks it against the buffer it was
// given, and every length it acts on against the slot it lies in. A header,
// record or mutex that does not make sense is a ValueError, never a read
// outside the buffer or a wait that cannot end.
//
// A slot goes FREE -> WRITING (claimed by a sender) -> READY (published with
// the next ticket) -> READING (leased to a receiver) -> FREE. A record is
// written field by field with its state last, so a process that dies halfway
// through a change leaves a record that is still one of those states; the
// next holder of the mutex repairs the ticket counter (repair below), and the
// package gives back the slots of owners that died (channel_owners and
// channel_release: whether a process still runs is the package's to judge).
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "buffer.hpp"
#include "errors.hpp"
#include "event.hpp"
#include "frame.hpp"
#include "functions.hpp"

// After Python.h (through the door's headers), which it needs.
#include <structmember.h>

namespace vamra::native {

namespace {

using namespace messages;

// The segment's layout (python/vamra/_channel_segment.py describes it).
constexpr std::uint64_t MAGIC = 0x6e686361726d6176;  // "vamrachn", little-endian
constexpr std::uint64_t LAYOUT = 1;
constexpr std::size_t HEADER = 64;
constexpr std::size_t MUTEX = 64;
constexpr std::size_t PUBLISHED = 128;
constexpr std::size_t FREED = 136;
constexpr std::size_t TABLE = 192;
constexpr std::size_t RECORD = 64;
constexpr std::size_t MAX_SLOTS = std::size_t{1} << 16;
constexpr std::size_t MIN_SLOT_BYTES = 64;
enum HeaderWord : std::size_t {
  H_MAGIC,
  H_LAYOUT,
  H_SLOTS,
  H_SLOT_BYTES,
  H_STRIDE,
  H_AREA,
  H_TICKET
};
enum Field : std::size_t { STATE, PID, START, TICKET, LENGTH, GEN };
enum State : std::uint64_t { FREE, WRITING, READY, READING };

constexpr std::int64_t NS_PER_SEC = 1'000'000'000;
// A live holder keeps the mutex for microseconds: a call whose deadline has
// already passed still waits this long for it, so that timeout=0 means "do
// not wait for a message or a slot", not "fail when a peer is mid-step".
constexpr std::int64_t LOCK_GRACE_NS = 5'000'000;
// Trylock rounds before sleeping on a busy mutex.
constexpr int LOCK_SPINS = 100;
// The longest one sleep on the mutex lasts: between sleeps the signal
// handlers run (in the main thread) and the deadline is looked at.
constexpr std::int64_t LOCK_SLICE_NS = 50'000'000;
// How long a mutex may stay held before its holder's existence is checked.
constexpr std::int64_t OWNER_CHECK_NS = 1'000'000'000;
// How long a step that must not be interrupted (giving a slot back) waits
// for the mutex before it leaves the slot to the handle's list of pending
// returns.
constexpr std::int64_t QUIET_WAIT_NS = 1'000'000'000;

std::int64_t now_ns() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * NS_PER_SEC + now.tv_nsec;
}

timespec to_timespec(std::int64_t ns) noexcept {
  return timespec{static_cast<time_t>(ns / NS_PER_SEC), static_cast<long>(ns % NS_PER_SEC)};
}

std::size_t page_size() noexcept {
  static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

// `value` rounded up to a multiple of `unit`, or nullopt on overflow.
std::optional<std::size_t> round_up(std::size_t value, std::size_t unit) noexcept {
  const std::size_t rest = value % unit;
  if (rest == 0) return value;
  if (value > SIZE_MAX - (unit - rest)) return std::nullopt;
  return value + (unit - rest);
}

struct Layout {
  std::size_t slots = 0;
  std::size_t slot_bytes = 0;
  std::size_t stride = 0;
  std::size_t area = 0;
};

std::uint64_t load_word(const std::byte* base, std::size_t offset) noexcept {
  // Another process may write the word at any moment: read once, atomically.
  return std::atomic_ref(*reinterpret_cast<std::uint64_t*>(const_cast<std::byte*>(base) + offset))
      .load(std::memory_order_relaxed);
}

// Checks the header at `base` (at least HEADER bytes, 8-aligned) against a
// segment of `size` bytes. Returns the message of what is wrong, or nullptr.
const char* read_layout(const std::byte* base, std::size_t size, Layout& out) noexcept {
  if (load_word(base, H_MAGIC * 8) != MAGIC || load_word(base, H_LAYOUT * 8) != LAYOUT) {
    return CHANNEL_NOT_CHANNEL;
  }
  const std::uint64_t slots = load_word(base, H_SLOTS * 8);
  const std::uint64_t slot_bytes = load_word(base, H_SLOT_BYTES * 8);
  const std::uint64_t stride = load_word(base, H_STRIDE * 8);
  const std::uint64_t area = load_word(base, H_AREA * 8);
  if (slots < 1 || slots > MAX_SLOTS || slot_bytes < MIN_SLOT_BYTES) return CHANNEL_BAD_LAYOUT;
  const auto want_stride = round_up(slot_bytes, page_size());
  const auto want_area = round_up(TABLE + slots * RECORD, page_size());
  if (!want_stride || !want_area || stride != *want_stride || area != *want_area || area > size ||
      stride == 0 || (size - area) / stride < slots || area + slots * stride != size) {
    return CHANNEL_BAD_LAYOUT;
  }
  out = Layout{slots, slot_bytes, stride, area};
  return nullptr;
}

// A segment as one call sees it: the buffer's export, held for the call (it
// keeps the memory mapped and makes close() refuse), and its checked layout.
struct Segment {
  buffer::ByteBuffer view;
  std::byte* base = nullptr;
  std::size_t size = 0;
  Layout layout;

  std::atomic_ref<std::uint64_t> word(std::size_t offset) const {
    return std::atomic_ref(*reinterpret_cast<std::uint64_t*>(base + offset));
  }
  std::uint64_t get(std::size_t offset) const {
    return word(offset).load(std::memory_order_relaxed);
  }
  void set(std::size_t offset, std::uint64_t value) const {
    word(offset).store(value, std::memory_order_relaxed);
  }
  static std::size_t field(std::size_t slot, Field field) {
    return TABLE + slot * RECORD + field * 8;
  }
  std::uint64_t get(std::size_t slot, Field f) const { return get(field(slot, f)); }
  void set(std::size_t slot, Field f, std::uint64_t value) const { set(field(slot, f), value); }
  pthread_mutex_t* mutex() const { return reinterpret_cast<pthread_mutex_t*>(base + MUTEX); }
  std::byte* data(std::size_t slot) const { return base + layout.area + slot * layout.stride; }
  void notify(std::size_t event) const { notify_event(base + event); }
};

bool check_layout(std::byte* base, std::size_t size, Layout& out) {
  if (reinterpret_cast<std::uintptr_t>(base) % 8 != 0) {
    return errors::raise(PyExc_ValueError, CHANNEL_MISALIGNED);
  }
  if (size < HEADER) return errors::raise(PyExc_ValueError, CHANNEL_NOT_CHANNEL, LAYOUT);
  const char* wrong = read_layout(base, size, out);
  if (wrong == CHANNEL_NOT_CHANNEL) return errors::raise(PyExc_ValueError, wrong, LAYOUT);
  if (wrong != nullptr) return errors::raise(PyExc_ValueError, wrong);
  return true;
}

bool open_segment(PyObject* object, Segment& segment) {
  if (!segment.view.acquire(object)) return false;
  if (segment.view.readonly()) return errors::raise(PyExc_ValueError, BUFFER_READ_ONLY);
  const auto bytes = segment.view.writable_bytes();
  segment.base = bytes.data();
  segment.size = bytes.size();
  return check_layout(segment.base, segment.size, segment.layout);
}

// ---------------------------------------------------------------------------
// The mutex

#ifdef __GLIBC__
// The C library's kind word of a robust process-shared mutex, as
// pthread_mutex_init writes it here: a mutex whose kind differs was not made
// by the channel (or was overwritten), and locking it could do anything.
int expected_kind() noexcept {
  static const int kind = [] {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_t probe;
    pthread_mutex_init(&probe, &attributes);
    const int made = probe.__data.__kind;
    pthread_mutex_destroy(&probe);
    pthread_mutexattr_destroy(&attributes);
    return made;
  }();
  return kind;
}

bool kind_ok(pthread_mutex_t* mutex) noexcept {
  return std::atomic_ref(mutex->__data.__kind).load(std::memory_order_relaxed) == expected_kind();
}

// The thread the mutex's lock word names as its holder, 0 for none. A robust
// mutex's holder is in the word itself, which the kernel reads too.
pid_t holder_of(pthread_mutex_t* mutex) noexcept {
  return static_cast<pid_t>(std::atomic_ref(mutex->__data.__lock).load(std::memory_order_relaxed) &
                            FUTEX_TID_MASK);
}
#else
bool kind_ok(pthread_mutex_t*) noexcept { return true; }
pid_t holder_of(pthread_mutex_t*) noexcept { return 0; }
#endif

// Whether the holder named by the mutex still exists. A holder that ended
// has its robust mutexes marked by the kernel, so a busy mutex naming no
// thread was written by something else.
bool holder_exists(pthread_mutex_t* mutex) noexcept {
  const pid_t holder = holder_of(mutex);
  return holder == 0 || kill(holder, 0) == 0 || errno != ESRCH;
}

enum class Taken { No, Yes, Recovered };

bool damaged_mutex(int code) { return errors::raise(PyExc_ValueError, CHANNEL_BAD_MUTEX, code); }

// Takes the segment's mutex, waiting until `deadline` (monotonic ns; at least
// LOCK_GRACE_NS). When `interruptible`, the signal handlers run between
// sleeps and one that raises ends the wait. Nothing is held when it returns
// Taken::No, with an exception set: TimeoutError, ValueError for a damaged
// mutex, or the handler's.
Taken lock(const Segment& segment, std::int64_t deadline, bool interruptible) {
  pthread_mutex_t* mutex = segment.mutex();
  if (!kind_ok(mutex)) {
    damaged_mutex(EINVAL);
    return Taken::No;
  }
  int code = pthread_mutex_trylock(mutex);
  for (int spin = 0; code == EBUSY && spin < LOCK_SPINS; ++spin) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
    code = pthread_mutex_trylock(mutex);
  }
  if (code == EBUSY) {
    const std::int64_t began = now_ns();
    const std::int64_t until = std::max(deadline, began + LOCK_GRACE_NS);
    std::int64_t check_holder = began + OWNER_CHECK_NS;
    for (;;) {
      const std::int64_t now = now_ns();
      if (now >= until) {
        errors::raise(PyExc_TimeoutError, CHANNEL_LOCK_TIMED_OUT);
        return Taken::No;
      }
      const timespec slice = to_timespec(std::min(until, now + LOCK_SLICE_NS));
      {
        const py::AllowThreads unlocked;
        code = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &slice);
      }
      if (code != ETIMEDOUT) break;
      if (now_ns() >= check_holder) {
        if (!holder_exists(mutex)) {
          errors::raise(PyExc_ValueError, CHANNEL_DEAD_HOLDER, holder_of(mutex));
          return Taken::No;
        }
        check_holder += OWNER_CHECK_NS;
      }
      if (interruptible && PyErr_CheckSignals() != 0) return Taken::No;
    }
  }
  if (code == 0) return Taken::Yes;
  if (code == EOWNERDEAD) {
    // The last holder died inside a step: the records are what it left.
    if (pthread_mutex_consistent(mutex) != 0) {
      pthread_mutex_unlock(mutex);
      damaged_mutex(EOWNERDEAD);
      return Taken::No;
    }
    return Taken::Recovered;
  }
  // EINVAL (not a mutex), ENOTRECOVERABLE, or anything else: no wait helps.
  damaged_mutex(code);
  return Taken::No;
}

// Mends the records after their last holder died holding the mutex: a state
// that is none of the four becomes FREE, and the ticket counter moves past
// every published ticket (a sender may have died between the two).
void repair(const Segment& s) {
  std::uint64_t next = s.get(H_TICKET * 8);
  for (std::size_t slot = 0; slot < s.layout.slots; ++slot) {
    const std::uint64_t state = s.get(slot, STATE);
    if (state > READING) {
      s.set(slot, STATE, FREE);
    } else if (state == READY) {
      const std::uint64_t ticket = s.get(slot, TICKET);
      if (ticket >= next && ticket != UINT64_MAX) next = ticket + 1;
    }
  }
  s.set(H_TICKET * 8, next);
}

// The mutex held by one call: let go on every path out, and the waiters
// told after a repair (they may now find what the dead holder left).
class Held {
 public:
  Held(const Segment& segment, Taken taken)
      : segment_(segment), recovered_(taken == Taken::Recovered) {
    if (recovered_) repair(segment_);
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    pthread_mutex_unlock(segment_.mutex());
    if (recovered_) {
      segment_.notify(PUBLISHED);
      segment_.notify(FREED);
    }
  }
  bool recovered() const { return recovered_; }

 private:
  const Segment& segment_;
  bool recovered_;
};

// ---------------------------------------------------------------------------
// Arguments

// A deadline argument: None (or not given) for none, else seconds on the
// monotonic clock (time.monotonic()).
bool deadline_from(PyObject* object, std::int64_t& out) {
  out = INT64_MAX;
  if (object == nullptr || object == Py_None) return true;
  double secs = 0;
  if (!frame::convert_arg("deadline", object, secs, frame::to_double)) return false;
  if (std::isnan(secs)) return errors::raise(PyExc_ValueError, CHANNEL_DEADLINE);
  if (secs >= 9e9) return true;  // centuries: no deadline
  out = secs <= 0 ? 0 : static_cast<std::int64_t>(secs * NS_PER_SEC);
  return true;
}

// A slot record as the package names one: (index, state, pid, start, generation).
struct Record {
  std::size_t index = 0;
  std::uint64_t state = 0;
  std::uint64_t pid = 0;
  std::uint64_t start = 0;
  std::uint64_t generation = 0;
};

bool record_from(PyObject* item, Record& out) {
  if (!PyTuple_Check(item) || PyTuple_Size(item) != 5) {
    return errors::raise(PyExc_TypeError, CHANNEL_RECORD);
  }
  std::size_t fields[5] = {};
  for (Py_ssize_t i = 0; i < 5; ++i) {
    if (!frame::to_size(PyTuple_GetItem(item, i), fields[i])) return false;
  }
  out = Record{fields[0], fields[1], fields[2], fields[3], fields[4]};
  return true;
}

py::Ref record_tuple(const Record& r) {
  return py::Ref::steal(Py_BuildValue(
      "(nKKKK)", static_cast<Py_ssize_t>(r.index), static_cast<unsigned long long>(r.state),
      static_cast<unsigned long long>(r.pid), static_cast<unsigned long long>(r.start),
      static_cast<unsigned long long>(r.generation)));
}

bool matches(const Segment& s, const Record& r) {
  return r.index < s.layout.slots && s.get(r.index, STATE) == r.state &&
         s.get(r.index, PID) == r.pid && s.get(r.index, START) == r.start &&
         s.get(r.index, GEN) == r.generation;
}

std::uint64_t own_pid() { return static_cast<std::uint64_t>(getpid()); }

// What a step that found nothing returns: the event's counter as it was
// before the records were looked at (a waiter sleeps while it still reads
// so), with bit 32 set when the step repaired the records after a holder
// died, so that the package looks for dead owners at once.
py::Ref nothing_found(std::uint32_t seen, bool recovered) {
  const std::uint64_t value = seen | (recovered ? std::uint64_t{1} << 32 : 0);
  return py::Ref::steal(PyLong_FromUnsignedLongLong(value));
}

std::uint32_t counter(const Segment& s, std::size_t event) {
  return std::atomic_ref(*reinterpret_cast<std::uint32_t*>(s.base + event))
      .load(std::memory_order_seq_cst);
}

// Gives back `record` (FREE if it still matches), waiting up to `wait_ns`
// (at least LOCK_GRACE_NS) for the mutex without running signal handlers:
// for paths that are already failing or cannot fail (a deallocator). When the mutex cannot be had,
// the record goes to `pending` (a list, or nullptr) for the handle to give back later. Keeps any
// exception already set.
void give_back_quietly(const Segment& s, const Record& record, PyObject* pending,
                       std::int64_t wait_ns = QUIET_WAIT_NS) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  const Taken taken = lock(s, now_ns() + wait_ns, false);
  if (taken == Taken::No) {
    PyErr_Clear();
    if (pending != nullptr) {
      py::Ref item = record_tuple(record);
      if (!item || PyList_Append(pending, item.get()) != 0) PyErr_Clear();
    }
  } else {
    bool freed = false;
    {
      const Held held(s, taken);
      if (matches(s, record)) {
        s.set(record.index, STATE, FREE);
        freed = true;
      }
    }
    if (freed) s.notify(FREED);
  }
  PyErr_Restore(type, value, traceback);
}

// ---------------------------------------------------------------------------
// Leases: a received packet's bytes, lent out until the lease goes

struct Lease {
  PyObject_HEAD Py_buffer segment;  // the export that keeps the segment mapped
  bool held;
  std::size_t offset;
  std::size_t length;
  Record record;
  PyObject* pending;
  PyObject* weakrefs;
};

void lease_dealloc(PyObject* self) {
  auto* lease = reinterpret_cast<Lease*>(self);
  PyTypeObject* type = Py_TYPE(self);
  if (lease->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  // A forked child drops its copies of its parent's leases without giving
  // back the parent's slots.
  if (lease->held && lease->record.pid == own_pid()) {
    Segment s;
    s.base = static_cast<std::byte*>(lease->segment.buf);
    s.size = static_cast<std::size_t>(lease->segment.len);
    // The header is read again: a peer may have written over it since.
    if (read_layout(s.base, s.size, s.layout) == nullptr) {
      give_back_quietly(s, lease->record, lease->pending);
    }
  }
  if (lease->held) PyBuffer_Release(&lease->segment);
  Py_XDECREF(lease->pending);
  auto* free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

int lease_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* lease = reinterpret_cast<Lease*>(self);
  if (!lease->held) {
    errors::raise(PyExc_BufferError, CHANNEL_LEASE_GONE);
    return -1;
  }
  auto* data = static_cast<std::byte*>(lease->segment.buf) + lease->offset;
  return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(lease->length), 1, flags);
}

PyMemberDef LEASE_MEMBERS[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Lease, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot LEASE_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(lease_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(lease_getbuffer)},
    {Py_tp_members, LEASE_MEMBERS},
    {Py_tp_doc,
     const_cast<char*>("The bytes of a received packet in a channel slot (read-only). The slot "
                       "returns to the senders when the lease and every view of it are gone.")},
    {0, nullptr},
};

PyType_Spec LEASE_TYPE = {
    "vamra._native.Lease", sizeof(Lease), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    LEASE_SLOTS,
};

PyTypeObject* lease_type() {
  static PyObject* type = nullptr;  // made once, kept for the life of the process
  if (type == nullptr) type = PyType_FromSpec(&LEASE_TYPE);
  return reinterpret_cast<PyTypeObject*>(type);
}

// A lease on `record`'s packet, which this process now reads; on failure the
// slot is given back at once.
py::Ref make_lease(PyObject* segment, const Segment& s, const Record& record, std::size_t length,
                   PyObject* pending) {
  PyTypeObject* type = lease_type();
  py::Ref object = type == nullptr ? py::Ref() : py::Ref::steal(PyType_GenericAlloc(type, 0));
  Py_buffer export_{};
  if (object && PyObject_GetBuffer(segment, &export_, PyBUF_WRITABLE) == 0) {
    auto* lease = reinterpret_cast<Lease*>(object.get());
    lease->segment = export_;
    lease->held = true;
    lease->offset = static_cast<std::size_t>(s.data(record.index) - s.base);
    lease->length = length;
    lease->record = record;
    Py_XINCREF(pending);
    lease->pending = pending;
    return object;
  }
  give_back_quietly(s, record, pending);
  return {};
}

// view.release(); false with its exception set when it fails (the writer
// kept an export of it).
bool release_view(PyObject* view) {
  py::Ref release = py::getattr(view, "release");
  return release && py::Ref::steal(PyObject_CallNoArgs(release.get()));
}

}  // namespace

// ---------------------------------------------------------------------------
// The steps

PyObject* channel_layout(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(CHANNEL_LAYOUT, args, kwargs, [](const frame::Args& a) -> py::Ref {
    std::size_t size = 0;
    if (!a.get(1, size, frame::to_size)) return {};
    buffer::ByteBuffer header;
    if (!header.acquire(a[0])) return {};
    const auto bytes = header.bytes();
    // Copied out: the header may lie anywhere in the caller's buffer.
    alignas(8) std::byte words[HEADER] = {};
    std::memcpy(words, bytes.data(), std::min(bytes.size(), HEADER));
    Layout layout;
    if (bytes.size() < HEADER) return errors::raise(PyExc_ValueError, CHANNEL_NOT_CHANNEL, LAYOUT);
    if (!check_layout(words, size, layout)) {
      // The header alone cannot tell a bad size from a bad header: the size
      // was checked against the header's own fields.
      return {};
    }
    return py::Ref::steal(Py_BuildValue(
        "(nnnn)", static_cast<Py_ssize_t>(layout.slots), static_cast<Py_ssize_t>(layout.slot_bytes),
        static_cast<Py_ssize_t>(layout.stride), static_cast<Py_ssize_t>(layout.area)));
  });
}

PyObject* channel_send(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(CHANNEL_SEND, args, kwargs, [](const frame::Args& a) -> py::Ref {
    std::size_t start = 0;
    std::int64_t deadline = 0;
    if (!a.get(3, start, frame::to_size) || !deadline_from(a[4], deadline)) return {};
    PyObject* write = a[1];
    PyObject* value = a[2];
    PyObject* pending = a[5] == Py_None ? nullptr : a[5];
    if (pending != nullptr && !PyList_Check(pending)) {
      return errors::raise(PyExc_TypeError, CHANNEL_PENDING);
    }
    Segment s;
    if (!open_segment(a[0], s)) return {};
    const bool interruptible = py::on_main_thread();

    // Claim a free slot.
    Record record;
    {
      const Taken taken = lock(s, deadline, interruptible);
      if (taken == Taken::No) return {};
      const Held held(s, taken);
      const std::uint32_t seen = counter(s, FREED);
      std::size_t slot = 0;
      while (slot < s.layout.slots && s.get(slot, STATE) != FREE) ++slot;
      if (slot == s.layout.slots) return nothing_found(seen, held.recovered());
      record = Record{slot, WRITING, own_pid(), start, s.get(slot, GEN) + 1};
      s.set(slot, PID, record.pid);
      s.set(slot, START, record.start);
      s.set(slot, GEN, record.generation);
      s.set(slot, STATE, WRITING);
    }

    // Write the packet, outside the mutex.
    std::size_t length = 0;
    {
      py::Ref area = py::Ref::steal(
          PyMemoryView_FromMemory(reinterpret_cast<char*>(s.data(record.index)),
                                  static_cast<Py_ssize_t>(s.layout.slot_bytes), PyBUF_WRITE));
      py::Ref written =
          area ? py::Ref::steal(PyObject_CallFunctionObjArgs(write, value, area.get(), nullptr))
               : py::Ref();
      // The view goes with the call: the slot is not the writer's to keep.
      bool ok = written && release_view(area.get()) && frame::to_size(written.get(), length);
      if (!written && area) {
        PyObject* type = nullptr;
        PyObject* error = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &error, &traceback);
        if (!release_view(area.get())) PyErr_Clear();
        PyErr_Restore(type, error, traceback);
      }
      if (ok && length > s.layout.slot_bytes) {
        ok = errors::raise(PyExc_ValueError, CHANNEL_BAD_WRITE, length, s.layout.slot_bytes);
      }
      if (!ok) {
        give_back_quietly(s, record, pending);
        return {};
      }
    }

    // Publish it. Interrupted or out of time while waiting for the mutex,
    // the slot goes back; past the deadline, only if that needs no wait.
    const Taken taken = lock(s, deadline, interruptible);
    if (taken == Taken::No) {
      const bool late = PyErr_ExceptionMatches(PyExc_TimeoutError) != 0;
      give_back_quietly(s, record, pending, late ? 0 : QUIET_WAIT_NS);
      return {};
    }
    {
      const Held held(s, taken);
      if (!matches(s, record)) {
        // Taken back by a peer that judged this process dead (its start time
        // as recorded no longer matches): the packet is dropped.
        return errors::raise(PyExc_RuntimeError, CHANNEL_SLOT_TAKEN, record.index);
      }
      const std::uint64_t ticket = s.get(H_TICKET * 8);
      s.set(record.index, LENGTH, length);
      s.set(record.index, TICKET, ticket);
      s.set(H_TICKET * 8, ticket + 1);
      // Last: until the state says so, no receiver looks at the slot.
      s.set(record.index, STATE, READY);
    }
    s.notify(PUBLISHED);
    return py::Ref::borrow(Py_None);
  });
}

PyObject* channel_take(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(CHANNEL_TAKE, args, kwargs, [](const frame::Args& a) -> py::Ref {
    std::size_t start = 0;
    std::int64_t deadline = 0;
    std::size_t copy_limit = 0;
    if (!a.get(1, start, frame::to_size) || !deadline_from(a[2], deadline) ||
        !a.get(3, copy_limit, frame::to_size)) {
      return {};
    }
    PyObject* pending = a[4] == Py_None ? nullptr : a[4];
    if (pending != nullptr && !PyList_Check(pending)) {
      return errors::raise(PyExc_TypeError, CHANNEL_PENDING);
    }
    Segment s;
    if (!open_segment(a[0], s)) return {};
    const bool interruptible = py::on_main_thread();

    enum class Found { Damaged, Copied, Leased } found = Found::Damaged;
    Record record;
    std::size_t length = 0;
    py::Ref copied;
    {
      const Taken taken = lock(s, deadline, interruptible);
      if (taken == Taken::No) return {};
      const Held held(s, taken);
      const std::uint32_t seen = counter(s, PUBLISHED);
      std::size_t best = s.layout.slots;
      std::uint64_t lowest = 0;
      for (std::size_t slot = 0; slot < s.layout.slots; ++slot) {
        if (s.get(slot, STATE) != READY) continue;
        const std::uint64_t ticket = s.get(slot, TICKET);
        if (best == s.layout.slots || ticket < lowest) {
          best = slot;
          lowest = ticket;
        }
      }
      if (best == s.layout.slots) return nothing_found(seen, held.recovered());
      const std::uint64_t stored = s.get(best, LENGTH);
      if (stored > s.layout.slot_bytes) {
        // Dropped: a length no packet in this slot can have.
        s.set(best, STATE, FREE);
        errors::raise(PyExc_ValueError, CHANNEL_BAD_LENGTH, best, stored, s.layout.slot_bytes);
      } else if (stored <= copy_limit) {
        // Small, and a copy is wanted: copied out here, and the slot is free
        // again in the same step.
        copied = py::Ref::steal(PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(s.data(best)), static_cast<Py_ssize_t>(stored)));
        if (!copied) return {};  // still READY: another receiver will take it
        s.set(best, STATE, FREE);
        found = Found::Copied;
      } else {
        record = Record{best, READING, own_pid(), start, s.get(best, GEN)};
        s.set(best, PID, record.pid);
        s.set(best, START, record.start);
        s.set(best, STATE, READING);
        length = static_cast<std::size_t>(stored);
        found = Found::Leased;
      }
    }
    if (found == Found::Leased) return make_lease(a[0], s, record, length, pending);
    s.notify(FREED);
    if (found == Found::Damaged) return {};
    return copied;
  });
}

PyObject* channel_owners(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(CHANNEL_OWNERS, args, kwargs, [](const frame::Args& a) -> py::Ref {
    std::int64_t deadline = 0;
    if (!deadline_from(a[1], deadline)) return {};
    Segment s;
    if (!open_segment(a[0], s)) return {};
    std::vector<Record> owners;
    bool mended = false;
    {
      const Taken taken = lock(s, deadline, py::on_main_thread());
      if (taken == Taken::No) return {};
      const Held held(s, taken);
      for (std::size_t slot = 0; slot < s.layout.slots; ++slot) {
        const std::uint64_t state = s.get(slot, STATE);
        if (state == WRITING || state == READING) {
          owners.push_back(
              Record{slot, state, s.get(slot, PID), s.get(slot, START), s.get(slot, GEN)});
        } else if (state != FREE && state != READY) {
          s.set(slot, STATE, FREE);
          mended = true;
        }
      }
    }
    if (mended) s.notify(FREED);
    py::Ref list = py::Ref::steal(PyList_New(0));
    if (!list) return {};
    for (const Record& record : owners) {
      py::Ref item = record_tuple(record);
      if (!item || PyList_Append(list.get(), item.get()) != 0) return {};
    }
    return list;
  });
}

PyObject* channel_release(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(CHANNEL_RELEASE, args, kwargs, [](const frame::Args& a) -> py::Ref {
    std::int64_t deadline = 0;
    if (!deadline_from(a[2], deadline)) return {};
    py::Ref items = py::Ref::steal(PySequence_List(a[1]));
    if (!items) return {};
    std::vector<Record> records(static_cast<std::size_t>(PyList_Size(items.get())));
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (!record_from(PyList_GetItem(items.get(), static_cast<Py_ssize_t>(i)), records[i])) {
        return {};
      }
    }
    Segment s;
    if (!open_segment(a[0], s)) return {};
    std::size_t freed = 0;
    {
      const Taken taken = lock(s, deadline, py::on_main_thread());
      if (taken == Taken::No) return {};
      const Held held(s, taken);
      for (const Record& record : records) {
        if ((record.state == WRITING || record.state == READING) && matches(s, record)) {
          s.set(record.index, STATE, FREE);
          ++freed;
        }
      }
    }
    if (freed != 0) s.notify(FREED);
    return py::Ref::steal(PyLong_FromSize_t(freed));
  });
}

}  // namespace vamra::native
