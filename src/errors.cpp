#include "errors.hpp"

#include <iterator>

#include "frame.hpp"

namespace vamra::errors {

Failed raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return {};
}

Failed raise(PyObject* type, const std::string& message) { return raise(type, message.c_str()); }

std::string message(const CodecError& error) {
  using messages::CODEC_ERRORS;
  static_assert(std::size(CODEC_ERRORS) == std::size(ERROR_KIND_NAMES),
                "one message per error kind");
  if (error.kind == ErrorKind::Compression) return error.text != nullptr ? error.text : "";
  const auto kind = static_cast<std::size_t>(error.kind);
  const char* text = kind < std::size(CODEC_ERRORS) ? CODEC_ERRORS[kind] : nullptr;
  if (text == nullptr) text = CODEC_ERRORS[static_cast<std::size_t>(ErrorKind::Malformed)];
  return messages::format(text, unsigned{error.byte});
}

Failed raise(const CodecError& error) {
  if (error.kind == ErrorKind::OutOfMemory) {
    PyErr_NoMemory();
    return {};
  }
  return raise(PyExc_ValueError, message(error));
}

Failed internal(const char* message) {
  frame::raise_internal_failure(message);
  return {};
}

Failed packet_too_large(std::size_t size) {
  return raise(PyExc_OverflowError, messages::PACKET_TOO_LARGE, size, MAX_PACKET_SIZE);
}

}  // namespace vamra::errors
