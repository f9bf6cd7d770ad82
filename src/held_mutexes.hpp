// The mutexes this process holds, each with the buffer export that keeps its
// memory alive.
//
// While a thread holds a robust mutex, the C library links the mutex's own
// bytes into that thread's list of held robust mutexes: locking or unlocking
// another robust mutex writes into them, and when the thread ends the kernel
// walks the list to mark each mutex's owner dead. So the memory must outlive
// the hold, whatever becomes of the Python object it came from. A successful
// shm_mutex_lock keeps the export it was made through until shm_mutex_unlock
// or shm_mutex_destroy ends the hold. Meanwhile the exporter refuses to free
// or resize the memory (close() and resize raise BufferError), and a process
// that ends while holding a mutex, however it ends, keeps the memory mapped
// until the kernel has marked the owner dead: the records are never released
// at interpreter shutdown.
//
// A forked child holds none of its parent's mutexes: its copies of the
// records are released right after os.fork() (or at its first mutex call
// after a fork made outside Python), without touching the mutexes.
//
// Every function runs with the interpreter lock held, which also guards the
// records.
#pragma once

#include <pthread.h>

#include <list>
#include <optional>

#include "buffer.hpp"

namespace vamra::held {

struct Hold {
  const pthread_mutex_t* mutex = nullptr;
  pthread_t owner{};
  buffer::ByteBuffer view;
};

// A record allocated before the lock attempt, so that keeping it cannot fail
// once the mutex is taken.
using Pending = std::list<Hold>;

// Prepares `out` and, on first use, starts watching for forks. Raises and
// returns false when that fails.
bool prepare(Pending& out);

// Records that the calling thread holds `mutex`, keeping `view`'s export.
// Replaces an earlier record of the same address: the mutex was free to take,
// so whoever that record named no longer holds it.
void record(Pending& pending, const pthread_mutex_t* mutex, buffer::ByteBuffer&& view) noexcept;

// The thread that the record of `mutex` names, if there is a record.
std::optional<pthread_t> owner(const pthread_mutex_t* mutex) noexcept;

// Drops the record of `mutex`, releasing its export; for when no thread of
// this process holds the mutex any more.
void forget(const pthread_mutex_t* mutex) noexcept;

}  // namespace vamra::held
