#include "buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "errors.hpp"

namespace vamra::buffer {

namespace {

bool is_u8_format(const char* format) {
  if (format == nullptr) return true;
  if (*format == '@' || *format == '=') ++format;
  return (format[0] == 'B' || format[0] == 'c') && format[1] == '\0';
}

}  // namespace

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept { *this = std::move(other); }

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    release();
    view_ = other.view_;
    held_ = std::exchange(other.held_, false);
    // Simple exporters (bytes, bytearray) point shape and strides at the
    // view's own len and itemsize fields.
    if (view_.shape == &other.view_.len) view_.shape = &view_.len;
    if (view_.strides == &other.view_.itemsize) view_.strides = &view_.itemsize;
  }
  return *this;
}

bool ByteBuffer::acquire(PyObject* object) {
  if (PyObject_GetBuffer(object, &view_, PyBUF_FULL_RO) != 0) return false;
  held_ = true;
  const char* problem = nullptr;
  if (view_.shape == nullptr) {
    problem = messages::SHAPE_IS_NULL;
  } else if (view_.strides == nullptr) {
    problem = messages::STRIDES_IS_NULL;
  } else if (view_.itemsize != 1 || !is_u8_format(view_.format)) {
    problem = messages::NOT_U8;
  } else if (!PyBuffer_IsContiguous(&view_, 'C')) {
    // The bytes are used as one run from the start address; a strided export
    // would be read or written out of place.
    problem = messages::NOT_C_CONTIGUOUS_BUFFER;
  }
  if (problem != nullptr) {
    release();
    return errors::raise(PyExc_BufferError, problem);
  }
  return true;
}

void ByteBuffer::release() {
  if (held_) {
    held_ = false;
    PyBuffer_Release(&view_);
  }
}

Pin::Pin(Pin&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}

Pin& Pin::operator=(Pin&& other) noexcept {
  if (this != &other) {
    release();
    view_ = other.view_;
    held_ = std::exchange(other.held_, false);
  }
  return *this;
}

bool Pin::acquire(PyObject* object, int flags) {
  release();
  if (PyObject_GetBuffer(object, &view_, flags) != 0) return false;
  held_ = true;
  return true;
}

void Pin::release() {
  if (held_) {
    held_ = false;
    PyBuffer_Release(&view_);
  }
}

void prefault(std::byte* data, std::size_t size) {
#if defined(__linux__)
  // Allocations this large are fresh mappings in every allocator the
  // interpreter runs on, never recycled pages.
  constexpr std::size_t LARGE = 16u << 20;
  constexpr int POPULATE_WRITE = 23;  // MADV_POPULATE_WRITE, Linux 5.14
  if (size < LARGE) return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = (reinterpret_cast<std::uintptr_t>(data) + page - 1) / page * page;
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) / page * page;
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, POPULATE_WRITE);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace vamra::buffer
