// Byte buffers taken from Python objects through the buffer protocol.
#pragma once

#include <cstddef>
#include <span>

#include "py.hpp"

namespace vamra::buffer {

// A byte-buffer argument: requested with PyBUF_FULL_RO, checked to hold
// one-byte unsigned items laid out as one C-contiguous run, and released
// exactly once (by the destructor, with the interpreter lock held).
class ByteBuffer {
 public:
  ByteBuffer() = default;
  // Moving hands the export over: only the destination releases it.
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { release(); }

  // Raises the exporter's own exception, or BufferError "shape is null",
  // "strides is null", "buffer contents are not compatible with u8", or
  // "buffer is not C-contiguous".
  bool acquire(PyObject* object);
  void release();

  std::span<const std::byte> bytes() const {
    return {static_cast<const std::byte*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }
  std::span<std::byte> writable_bytes() const {
    return {static_cast<std::byte*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }
  bool readonly() const { return view_.readonly != 0; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Pins the memory of an object that exports a simple contiguous buffer (a
// NumPy array), so that it cannot be freed or resized while the pin lives.
class Pin {
 public:
  Pin() = default;
  Pin(Pin&& other) noexcept;
  Pin& operator=(Pin&& other) noexcept;
  Pin(const Pin&) = delete;
  Pin& operator=(const Pin&) = delete;
  ~Pin() { release(); }

  // Requests a buffer with `flags` (PyBUF_SIMPLE or PyBUF_WRITABLE); on
  // failure the exporter's exception is left set.
  bool acquire(PyObject* object, int flags);
  void release();
  const std::byte* data() const { return static_cast<const std::byte*>(view_.buf); }
  std::byte* mutable_data() const { return static_cast<std::byte*>(view_.buf); }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Maps the pages of a fresh region about to be written in full (a new packet),
// in one request to the kernel, where each page would otherwise fault on its
// first write: for tens of MiB that is most of the cost of filling it. A
// region below a few MiB (usually recycled memory) is left alone, as is any
// failure (kernels before 5.14 lack the request): it only costs speed.
void prefault(std::byte* data, std::size_t size);

}  // namespace vamra::buffer
