// How the door fails. A step that can fail returns something falsy (false,
// an empty Ref) with a Python exception set. It raises that exception through
// one of the functions below, whose result converts to either:
//   return errors::raise(PyExc_TypeError, messages::STR_TO_VEC);
// A step that sees a failure CPython already raised returns its falsy value as
// it is. A condition the code treats as impossible is raised the same way, as
// the internal-failure exception (errors::internal); the door never throws.
#pragma once

#include <string>

#include "messages.hpp"
#include "py.hpp"
#include "vamra/error.hpp"

namespace vamra::errors {

// What a failed step returns once its exception is set: false, or an empty Ref.
struct Failed {
  constexpr operator bool() const { return false; }
  operator py::Ref() const { return {}; }
};

// Raises `type` with `message`.
Failed raise(PyObject* type, const char* message);
Failed raise(PyObject* type, const std::string& message);

// Raises `type` with `text` (one of messages::) filled in with `values`.
template <class... Values>
Failed raise(PyObject* type, const char* text, const Values&... values) {
  return raise(type, messages::format(text, values...));
}

// The fixed message of a codec error.
std::string message(const CodecError& error);

// Raises the codec error as ValueError with its fixed message (OutOfMemory
// as MemoryError).
Failed raise(const CodecError& error);

// Raises the internal-failure exception with `message`.
Failed internal(const char* message);

// The longest packet a bytes object or a buffer can hold: CPython sizes are
// signed. A larger size can only come from an absurd request (an alignment of
// 2**63), and is refused before anything is allocated.
inline constexpr std::size_t MAX_PACKET_SIZE = static_cast<std::size_t>(PY_SSIZE_T_MAX);

// Raises OverflowError for a packet of `size` bytes, more than MAX_PACKET_SIZE.
Failed packet_too_large(std::size_t size);

}  // namespace vamra::errors
