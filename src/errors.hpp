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

}  // namespace vamra::errors
