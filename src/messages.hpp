// Every text the door raises, in one place. The texts are part of the modules'
// contract (callers and tests match them exactly), so each is written once. A
// "{}" in a text stands for a value, filled in by messages::format in order.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

namespace vamra::messages {

// ---------------------------------------------------------------------------
// Argument binding (TypeError). "{}" first is the function's name.

inline constexpr const char* TOO_MANY_POSITIONAL_RANGE =
    "{}() takes from {} to {} positional arguments but {} {} given";
inline constexpr const char* TOO_MANY_POSITIONAL =
    "{}() takes {} positional arguments but {} {} given";
inline constexpr const char* UNEXPECTED_KEYWORD = "{}() got an unexpected keyword argument '{}'";
inline constexpr const char* MULTIPLE_VALUES = "{}() got multiple values for argument '{}'";
inline constexpr const char* MISSING_REQUIRED = "{}() missing {} required positional {}: {}";
// A conversion's TypeError, rewrapped with the parameter's name.
inline constexpr const char* ARGUMENT_ERROR = "argument '{}': {}";

// ---------------------------------------------------------------------------
// Conversions

// TypeError, with an object's type name and what it could not become
// ("PyBool", "PyString", "PyBytes", "PyTuple", "Sequence").
inline constexpr const char* CANNOT_CONVERT = "'{}' object cannot be converted to '{}'";
// TypeError: a str where a sequence of values is expected.
inline constexpr const char* STR_TO_VEC = "Can't extract `str` to `Vec`";
// OverflowError: an integer outside its parameter's range.
inline constexpr const char* OUT_OF_RANGE = "out of range integral type conversion attempted";

// ---------------------------------------------------------------------------
// Byte buffers (BufferError, ValueError)

inline constexpr const char* SHAPE_IS_NULL = "shape is null";
inline constexpr const char* STRIDES_IS_NULL = "strides is null";
inline constexpr const char* NOT_U8 = "buffer contents are not compatible with u8";
inline constexpr const char* NOT_C_CONTIGUOUS_BUFFER = "buffer is not C-contiguous";
inline constexpr const char* BUFFER_READ_ONLY = "Buffer is read-only";

// ---------------------------------------------------------------------------
// Encoding (ValueError unless said otherwise)

inline constexpr const char* POWER_OF_TWO = "Alignment must be a power of two";
inline constexpr const char* UNSUPPORTED_DTYPE = "Unsupported dtype: {}";
inline constexpr const char* ARRAY_NOT_CONTIGUOUS = "Array must be C-contiguous";
// dump_to_fd_rs's own check, spelled with a capital C.
inline constexpr const char* FD_ARRAY_NOT_CONTIGUOUS = "Array must be C-Contiguous";
// TypeError: an array-like whose memory cannot be taken from its buffer export.
inline constexpr const char* NO_BUFFER_EXPORT =
    "'{}' object does not expose its memory through the buffer protocol";
inline constexpr const char* NBYTES_MISMATCH =
    "Array memory of {} bytes does not match its nbytes of {}";
inline constexpr const char* DIMENSION_TOO_LARGE =
    "Dimension {} exceeds the wire-format limit of 4294967295 (each dimension is stored as a "
    "32-bit integer)";
inline constexpr const char* UNKNOWN_SPARSE_FORMAT = "Unknown sparse format";
inline constexpr const char* NESTING_TOO_DEEP =
    "Nesting exceeds the maximum depth of 64 levels below the top-level packet";
inline constexpr const char* BUNDLE_TOO_MANY_ENTRIES =
    "Bundle has {} entries; the wire format encodes the entry count in a single byte, so at most "
    "255 entries are supported";
// A key or packet (named by one of the three texts below) longer than a
// 32-bit length field can say.
inline constexpr const char* LENGTH_FIELD_OVERFLOW =
    "{} of {} bytes does not fit the 32-bit length field of the wire format";
inline constexpr const char* BUNDLE_KEY = "A bundle key";
inline constexpr const char* BUNDLE_VALUE_PACKET = "A bundle value packet";
inline constexpr const char* SPARSE_COMPONENT_PACKET = "A sparse component packet";
inline constexpr const char* ENTRY_NOT_A_PAIR =
    "expected tuple of length 2, but got tuple of length {}";
inline constexpr const char* OFFSETS_NOT_U64 = "offsets length must be a multiple of 8";
// OverflowError: a packet longer than any Python object can be (its length,
// then that limit).
inline constexpr const char* PACKET_TOO_LARGE =
    "Packet of {} bytes exceeds the largest possible object size of {} bytes";
// OSError from dump_to_fd_rs.
inline constexpr const char* WRITE_INCOMPLETE = "failed to write whole buffer";
inline constexpr const char* OS_ERROR = "{} (os error {})";

// vamra._native's files functions: the streaming writer and packet ranges.
inline constexpr const char* COMPANION_NOT_BYTES = "a companion encoder must return bytes";
inline constexpr const char* COMPANION_ENCODER_REQUIRED =
    "argument 'encode_companion': a callable is required with companion_types";
inline constexpr const char* PIECES_NOT_A_SEQUENCE =
    "argument 'pieces': a sequence of buffers is required";
inline constexpr const char* PACKET_RANGE_OUTSIDE = "Packet range lies outside the buffer";
inline constexpr const char* NOT_A_BUNDLE = "Packet is not a bundle";
// vamra._native's views at offsets from a table of contents.
inline constexpr const char* VIEW_ITEMS_NOT_TRIPLES =
    "argument 'items': a sequence of (offset, dtype code, shape) tuples is required";
inline constexpr const char* VIEW_OUTSIDE_BUFFER = "Tensor data lies outside the packet";
inline constexpr const char* NUMPY_TABLE_MISSING = "NumPy's C API table is not usable";
inline constexpr const char* ADDRESSES_NOT_A_SEQUENCE = "argument 'arrays': a sequence is required";
// vamra._native's laid-out streams (the files writer).
inline constexpr const char* NOT_A_LAYOUT_PLAN =
    "argument 'plan': a plan from layout_plan is required";
inline constexpr const char* RANGES_NOT_PAIRS =
    "argument 'ranges': a sequence of (start, end) tuples is required";
inline constexpr const char* RANGES_OUT_OF_ORDER =
    "ranges must be sorted, must not overlap and must lie within the stream";
inline constexpr const char* CHUNK_MUST_BE_POSITIVE = "argument 'chunk': must be at least 1";
inline constexpr const char* NOT_A_DESTINATION =
    "argument 'destination': a file descriptor, a callable or None is required";
// vamra._native's string conversions.
inline constexpr const char* ITEMS_NOT_LIST = "argument 'items': a list or tuple is required";
inline constexpr const char* OFFSETS_NOT_UINT64 =
    "offsets must be a C-contiguous array of unsigned 64-bit integers";
inline constexpr const char* OFFSETS_OUT_OF_ORDER =
    "offsets must not decrease and must end within the payload";
// vamra._native's DLPack reader.
inline constexpr const char* DLPACK_NOT_A_CAPSULE =
    "argument 'capsule': a DLPack capsule from __dlpack__() is required, not '{}'";
inline constexpr const char* DLPACK_NOT_A_DLTENSOR =
    "argument 'capsule': a DLPack capsule is named 'dltensor' or 'dltensor_versioned', not '{}'";
inline constexpr const char* DLPACK_CONSUMED = "the DLPack capsule was consumed already";
inline constexpr const char* DLPACK_VERSION =
    "DLPack {}.{} is not supported: this reader knows major version 1";
// TypeError: the tensor's memory is not the CPU's (device name, type, id).
inline constexpr const char* DLPACK_DEVICE =
    "a DLPack tensor on device {} (device type {}, id {}): copy it to the CPU first";
// ValueError (type code name, code, bits, lanes).
inline constexpr const char* DLPACK_DTYPE =
    "Unsupported dtype: DLPack {} (type code {}) of {} bits in {} lanes";
inline constexpr const char* DLPACK_SHAPE = "a DLPack tensor has an invalid shape: {}";
inline constexpr const char* DLPACK_NO_DATA = "a DLPack tensor of {} elements has no data";
inline constexpr const char* DLPACK_NO_NUMPY_TABLE =
    "the installed NumPy offers no array constructor table this reader knows";

// ---------------------------------------------------------------------------
// Decoding and inspection

inline constexpr const char* SCIPY_REQUIRED = "scipy is required for sparse deserialization";
inline constexpr const char* TOO_SHORT_FOR_SHAPE = "Packet too short to contain shape";
// vamra._native's loader options.
inline constexpr const char* WRITABLE_NEEDS_WRITABLE_BUFFER =
    "writable views need a writable buffer, and this '{}' object's buffer is read-only";
// NumPy's type for an element type has another size (only a type registered
// under a packet name by some package could).
inline constexpr const char* NUMPY_ITEM_SIZE =
    "NumPy's dtype '{}' has {} bytes per element, not the packet's {}";
// NumPy's own text for a byte run that is not a whole number of elements.
inline constexpr const char* PARTIAL_ELEMENT = "buffer size must be a multiple of element size";
inline constexpr const char* BFLOAT16_DTYPE_SIZE =
    "the dtype given for bfloat16 must be 2 bytes with no sub-array shape, not {}";

// Codec errors (ValueError): the message of each ErrorKind, in the enum's
// order. "{}" is the carried byte in decimal; a Compression error's message is
// the text it carries.
inline constexpr const char* CODEC_ERRORS[] = {
    /* TooShort */ "Packet too short",
    /* InvalidMagic */ "Invalid vamra packet",
    /* UnsupportedVersion */ "Unsupported protocol version: {}",
    /* UnknownDtype */ "Unsupported or unknown dtype code: {}",
    /* TooManyDimensions */ "Packet exceeds maximum dimensions",
    /* TooManyElements */ "Packet exceeds maximum elements",
    /* IntegrityMismatch */ "Integrity check failed: XXH3 mismatch",
    /* TooManyBundleEntries */
    "Bundle has too many entries; the wire format encodes the entry count in a single byte, so at "
    "most 255 entries are supported",
    /* Compression */ nullptr,
    /* BufferTooSmall */ "Buffer too small",
    /* Malformed */ "Malformed vamra packet",
    /* OutOfMemory */ "Out of memory",  // raised as MemoryError
};

// ---------------------------------------------------------------------------
// The shared-memory mutex

inline constexpr const char* SLOT_TOO_SMALL =
    "Insufficient space: need {} bytes at offset {}, buffer is {} bytes";
inline constexpr const char* SLOT_MISALIGNED =
    "Mutex address must be {}-byte aligned: offset {} gives address 0x{}";
// RuntimeError: a platform call that failed (the attribute calls' codes are
// not shown; CALL_FAILED names the call, then its error code).
inline constexpr const char* MUTEXATTR_INIT_FAILED = "pthread_mutexattr_init failed";
inline constexpr const char* MUTEXATTR_SETPSHARED_FAILED = "pthread_mutexattr_setpshared failed";
inline constexpr const char* MUTEXATTR_SETROBUST_FAILED = "pthread_mutexattr_setrobust failed";
inline constexpr const char* CALL_FAILED = "{} failed: {}";
inline constexpr const char* ATFORK_FAILED = "pthread_atfork failed";
// TimeoutError, with the timeout as "5s", "1.5ms", "100µs".
inline constexpr const char* LOCK_TIMED_OUT = "Mutex lock timed out after {}";
// Internal failures: a timeout the clock cannot represent.
inline constexpr const char* DURATION_NEGATIVE =
    "cannot convert float seconds to Duration: value is negative";
inline constexpr const char* DURATION_TOO_BIG =
    "cannot convert float seconds to Duration: value is either too big or NaN";
inline constexpr const char* DEADLINE_OVERFLOW = "overflow when adding duration to instant";

// ---------------------------------------------------------------------------
// Events in shared memory (vamra._native.futex_wait / futex_wake)

inline constexpr const char* EVENT_MISALIGNED = "An event must lie at an 8-byte aligned address";
inline constexpr const char* EVENT_TIMEOUT = "timeout must be None or a non-negative number";
inline constexpr const char* EVENT_SPIN = "spin must be a non-negative number";

// ---------------------------------------------------------------------------
// The channel's slots (vamra._native.channel_*)

inline constexpr const char* CHANNEL_NOT_CHANNEL = "not a vamra channel of layout {}";
inline constexpr const char* CHANNEL_BAD_LAYOUT =
    "damaged vamra channel: its header gives an inconsistent layout";
inline constexpr const char* CHANNEL_MISALIGNED =
    "a channel segment must start at an 8-byte aligned address";
inline constexpr const char* CHANNEL_BAD_MUTEX =
    "damaged vamra channel: its mutex is unusable ({})";
inline constexpr const char* CHANNEL_DEAD_HOLDER =
    "damaged vamra channel: its mutex names holder {}, which does not exist";
inline constexpr const char* CHANNEL_LOCK_TIMED_OUT = "the channel's mutex stayed held";
inline constexpr const char* CHANNEL_BAD_LENGTH =
    "damaged vamra channel: slot {} holds a packet of {} bytes, more than its {}; dropped";
inline constexpr const char* CHANNEL_SLOT_TAKEN = "slot {} was taken from this sender";
inline constexpr const char* CHANNEL_BAD_WRITE =
    "a slot writer returned {} bytes for a slot of {} bytes";
inline constexpr const char* CHANNEL_DEADLINE = "deadline must be None or a number, not NaN";
inline constexpr const char* CHANNEL_RECORD =
    "a slot record is a tuple (index, state, pid, start, generation)";
inline constexpr const char* CHANNEL_LEASE_GONE = "the slot of this lease was given back";
inline constexpr const char* CHANNEL_PENDING = "pending must be a list or None";

// ---------------------------------------------------------------------------
// Module creation and internal failures

inline constexpr const char* NO_SUB_INTERPRETERS =
    "{} does not support sub-interpreters: it can be imported only in the interpreter that first "
    "imported it";
inline constexpr const char* INTERNAL_FAILURE_NAME = "vamra_rs.InternalFailure";
inline constexpr const char* INTERNAL_FAILURE_DOC =
    "An internal failure of vamra_rs: a condition its code treats as impossible.\n\n"
    "Derived directly from BaseException so that `except Exception` does not hide it.";
inline constexpr const char* INTERNAL_FAILURE_GENERIC =
    "vamra_rs reached a state it treats as impossible";
inline constexpr const char* NO_EXCEPTION_SET = "function failed without setting an exception";
inline constexpr const char* DICT_CHANGED_SIZE = "dictionary changed size during iteration";
inline constexpr const char* DICT_KEYS_CHANGED = "dictionary keys changed during iteration";
inline constexpr const char* PLAN_SIZE_MISMATCH =
    "a planned packet did not encode to its planned size";
inline constexpr const char* WRONG_ARRAY_SIZE = "numpy.empty returned an array of the wrong size";
inline constexpr const char* FD_IS_MINUS_ONE = "fd != -1";
inline constexpr const char* DEFAULT_MISMATCH = "a parameter's default does not fit its conversion";
inline constexpr const char* DICT_AT_LEAF = "a dictionary reached the leaf planner";
inline constexpr const char* DEFERRED_IN_PIECES = "a deferred segment reached the piece list";
inline constexpr const char* FRAME_LENGTH_CHANGED =
    "a laid-out stream did not write the length it was planned with";
inline constexpr const char* LENGTH_FIELD_IN_LAYOUT =
    "a laid-out stream holds a measured length field";

// ---------------------------------------------------------------------------
// Filling in values

// An unsigned value shown in lowercase hexadecimal without a prefix.
struct Hex {
  std::uintptr_t value;
};

namespace detail {
inline std::string text_of(std::string_view text) { return std::string(text); }
inline std::string text_of(const char* text) { return text; }
inline std::string text_of(const std::string& text) { return text; }
template <std::integral T>
std::string text_of(T value) {
  return std::to_string(value);
}
std::string text_of(Hex value);
void fill(std::string& out, std::string_view& rest, const std::string& value);
}  // namespace detail

// `text` with each "{}" replaced by the next of `values` (texts, integers, Hex).
template <class... Values>
std::string format(std::string_view text, const Values&... values) {
  std::string out;
  (detail::fill(out, text, detail::text_of(values)), ...);
  out += text;
  return out;
}

}  // namespace vamra::messages
