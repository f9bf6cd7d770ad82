// The codec's one error type. Every codec operation returns its result or
// exactly one CodecError by value; nothing in the codec throws, aborts or
// prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <iterator>
#include <string_view>

namespace vamra {

// The kinds, in their fixed order (the Python layer maps each to a message).
// New kinds are appended, so every older kind keeps its index.
enum class ErrorKind : std::uint8_t {
  TooShort,              // the input ends before a field that must be read
  InvalidMagic,          // the first four bytes are not "VMRA"
  UnsupportedVersion,    // the version byte is neither 3 nor 4 (carries it)
  UnknownDtype,          // no such element type, or none with a dense item size (carries the code)
  TooManyDimensions,     // more than MAX_NDIM shape entries
  TooManyElements,       // the shape's product overflows or exceeds MAX_ELEMENTS
  IntegrityMismatch,     // the XXH3-64 footer differs from the covered bytes
  TooManyBundleEntries,  // a bundle of more than 255 entries was asked for
  Compression,           // LZ4 failed, or a compressed body needs the owning path (carries a text)
  BufferTooSmall,        // the caller's output buffer is shorter than the packet
  Malformed,             // any other inconsistency in the input or the request
  OutOfMemory,           // the memory for an owned result could not be allocated
};

// The enumerators' own names, in enum order.
inline constexpr std::string_view ERROR_KIND_NAMES[] = {
    "TooShort",          "InvalidMagic",    "UnsupportedVersion", "UnknownDtype",
    "TooManyDimensions", "TooManyElements", "IntegrityMismatch",  "TooManyBundleEntries",
    "Compression",       "BufferTooSmall",  "Malformed",          "OutOfMemory"};
static_assert(std::size(ERROR_KIND_NAMES) == static_cast<std::size_t>(ErrorKind::OutOfMemory) + 1,
              "every kind has a name");

// The enumerator's own name ("TooShort", ...), for diagnostics and tests;
// "unknown" for a value outside the enum.
constexpr std::string_view name(ErrorKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  return index < std::size(ERROR_KIND_NAMES) ? ERROR_KIND_NAMES[index] : "unknown";
}

// A small value: the kind plus at most one byte or one static text.
struct CodecError {
  ErrorKind kind;
  std::uint8_t byte = 0;       // UnsupportedVersion, UnknownDtype
  const char* text = nullptr;  // Compression

  friend constexpr bool operator==(const CodecError& a, const CodecError& b) {
    if (a.kind != b.kind || a.byte != b.byte) return false;
    if (a.text == b.text) return true;
    if (a.text == nullptr || b.text == nullptr) return false;
    const char* x = a.text;
    const char* y = b.text;
    while (*x != '\0' && *x == *y) {
      ++x;
      ++y;
    }
    return *x == *y;
  }
};

template <class T>
using Result = std::expected<T, CodecError>;

// Builds the failing side of a Result.
constexpr std::unexpected<CodecError> fail(ErrorKind kind, std::uint8_t byte = 0) {
  return std::unexpected(CodecError{kind, byte, nullptr});
}

constexpr std::unexpected<CodecError> fail_compression(const char* text) {
  return std::unexpected(CodecError{ErrorKind::Compression, 0, text});
}

// The fixed texts carried by Compression errors.
inline constexpr const char* LZ4_ENCODE_FAILED = "LZ4 frame encode failed";
inline constexpr const char* LZ4_FINISH_FAILED = "LZ4 frame finish failed";
inline constexpr const char* LZ4_DECOMPRESS_FAILED = "LZ4 frame decompression failed";
inline constexpr const char* NEEDS_OWNING_PATH =
    "compressed dense bodies require an owning decode path";
// A frame whose decompressed length differs from what the packet's shape declares.
inline constexpr const char* LZ4_SIZE_MISMATCH =
    "LZ4 frame does not decompress to the size the packet declares";

}  // namespace vamra
