// The one mapping from codec errors to Python exceptions.
#pragma once

#include <string>

#include "py.hpp"
#include "vamra/error.hpp"

namespace vamra::errors {

// The fixed message of a codec error.
std::string message(const CodecError& error);

// Raises the codec error as ValueError with its fixed message (OutOfMemory as
// MemoryError). Returns an empty Ref so bodies can `return errors::raise(e);`.
py::Ref raise(const CodecError& error);

// Raises ValueError with `message`; returns an empty Ref.
py::Ref value_error(const std::string& message);

// Raises ValueError for a key or packet of `length` bytes that a 32-bit
// length field of the wire format cannot carry; `what` names it.
py::Ref length_field_overflow(const char* what, std::size_t length);

// The longest packet a bytes object or a buffer can hold: CPython sizes are
// signed. A larger size can only come from an absurd request (an alignment of
// 2**63), and is refused before anything is allocated.
inline constexpr std::size_t MAX_PACKET_SIZE = static_cast<std::size_t>(PY_SSIZE_T_MAX);

// Raises OverflowError for a packet of `size` bytes, more than
// MAX_PACKET_SIZE; returns an empty Ref.
py::Ref packet_too_large(std::size_t size);

}  // namespace vamra::errors
