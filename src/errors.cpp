#include "errors.hpp"

namespace vamra::errors {

std::string message(const CodecError& error) {
  switch (error.kind) {
    case ErrorKind::TooShort:
      return "Packet too short";
    case ErrorKind::InvalidMagic:
      return "Invalid vamra packet";
    case ErrorKind::UnsupportedVersion:
      return "Unsupported protocol version: " + std::to_string(error.byte);
    case ErrorKind::UnknownDtype:
      return "Unsupported or unknown dtype code: " + std::to_string(error.byte);
    case ErrorKind::TooManyDimensions:
      return "Packet exceeds maximum dimensions";
    case ErrorKind::TooManyElements:
      return "Packet exceeds maximum elements";
    case ErrorKind::IntegrityMismatch:
      return "Integrity check failed: XXH3 mismatch";
    case ErrorKind::TooManyBundleEntries:
      return "Bundle has too many entries; the wire format encodes the entry count in a single "
             "byte, so at most 255 entries are supported";
    case ErrorKind::Compression:
      return error.text != nullptr ? error.text : "";
    case ErrorKind::BufferTooSmall:
      return "Buffer too small";
    case ErrorKind::Malformed:
      return "Malformed vamra packet";
    case ErrorKind::OutOfMemory:
      return "Out of memory";
  }
  return "Malformed vamra packet";
}

py::Ref raise(const CodecError& error) {
  if (error.kind == ErrorKind::OutOfMemory) {
    PyErr_NoMemory();
    return {};
  }
  return value_error(message(error));
}

py::Ref value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return {};
}

py::Ref length_field_overflow(const char* what, std::size_t length) {
  return value_error(std::string(what) + " of " + std::to_string(length) +
                     " bytes does not fit the 32-bit length field of the wire format");
}

py::Ref packet_too_large(std::size_t size) {
  PyErr_SetString(PyExc_OverflowError, ("Packet of " + std::to_string(size) +
                                        " bytes exceeds the largest possible object size of " +
                                        std::to_string(MAX_PACKET_SIZE) + " bytes")
                                           .c_str());
  return {};
}

}  // namespace vamra::errors
