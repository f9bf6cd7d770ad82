// The functions of vamra._native: the one description of each (parameters,
// defaults, doc text), which drives the method table, argument binding and the
// text signature, and the handler CPython calls. module.cpp registers them in
// this order; each is defined in the file of its concern.
#pragma once

#include "frame.hpp"

namespace vamra::native {

// xxh3.cpp
inline constexpr frame::Function XXH3_64{
    "xxh3_64", {{"data"}}, "The XXH3-64 hash (seed 0) of a C-contiguous byte buffer, as an int."};
PyObject* xxh3_64(PyObject* self, PyObject* args, PyObject* kwargs);

// writer.cpp
inline constexpr frame::Function PIECES{
    "pieces",
    {{"value"},
     {"companion_types"},
     {"encode_companion"},
     {"check_integrity", false},
     {"compress", false},
     {"alignment", std::size_t{64}}},
    "The packet dumps would return for `value`, as a list of buffers: bytes for headers,\n"
    "framing and footers, one-byte memoryviews of the arrays for their bodies. Values that\n"
    "are instances of `companion_types` (None for none) are encoded by\n"
    "`encode_companion(value)`, which returns their packet."};
PyObject* pieces(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function WRITE{
    "write",
    {{"fd"}, {"pieces"}},
    "Writes a sequence of buffers to a file descriptor with vectored writes, the\n"
    "interpreter lock released while it blocks; returns the number of bytes written."};
PyObject* write(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function WRITE_VALUE{
    "write_value",
    {{"fd"},
     {"value"},
     {"companion_types"},
     {"encode_companion"},
     {"check_integrity", false},
     {"compress", false},
     {"alignment", std::size_t{64}}},
    "Streams the packet of `value` to a file descriptor (as `pieces` plans it); compressed\n"
    "bodies are compressed one at a time as they are written. Returns the bytes written."};
PyObject* write_value(PyObject* self, PyObject* args, PyObject* kwargs);

// layout.cpp
inline constexpr frame::Function LAYOUT_PLAN{
    "layout_plan",
    {{"value"},
     {"companion_types"},
     {"encode_companion"},
     {"check_integrity", false},
     {"compress", false},
     {"alignment", std::size_t{64}}},
    "Plans the packet of `value` laid out for a file: every leaf packet (and sparse\n"
    "component) starts at a multiple of `alignment`, padded at the end of the value before\n"
    "it, and compressed bodies are measured now. Companion encoders may return any buffer.\n"
    "Returns (plan, size, leaves): leaves are (start, length, body) per leaf packet in\n"
    "stream order, body being where an uncompressed dense body starts (else 0)."};
PyObject* layout_plan(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function LAYOUT_DIGESTS{
    "layout_digests",
    {{"plan"}, {"ranges"}},
    "The XXH3-64 (seed 0) of each (start, end) range of a planned stream's bytes; the\n"
    "ranges are sorted and disjoint."};
PyObject* layout_digests(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function LAYOUT_WRITE{
    "layout_write",
    {{"plan"}, {"destination"}, {"chunk", std::size_t{8} << 20}},
    "Writes a planned stream: to a file descriptor (int; returns the bytes written), to a\n"
    "callable given buffers of at most `chunk` bytes (returns the size), or into a new bytes\n"
    "object (None; returns it). Compressed bodies are compressed a block at a time."};
PyObject* layout_write(PyObject* self, PyObject* args, PyObject* kwargs);

// writer.cpp
inline constexpr frame::Function START_WRITEBACK{
    "start_writeback",
    {{"fd"}, {"offset", std::size_t{0}}, {"length", std::size_t{0}}},
    "Starts writing the dirty pages of a file's byte range (to its end when `length` is 0)\n"
    "to the device without waiting for it (sync_file_range), the interpreter lock released.\n"
    "Returns False where the system or the file does not support it, else True."};
PyObject* start_writeback(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function PREALLOCATE{
    "preallocate",
    {{"fd"}, {"size"}},
    "Allocates a file's first `size` bytes on the device before they are written\n"
    "(fallocate), so that writing them reserves nothing more. Returns False where the\n"
    "system or the file system does not support it; a full disk raises OSError."};
PyObject* preallocate(PyObject* self, PyObject* args, PyObject* kwargs);

// index.cpp
inline constexpr frame::Function INDEX{
    "index",
    {{"data"}, {"offset"}, {"length"}},
    "The entries of the bundle packet at data[offset:offset + length], read from its\n"
    "framing alone: a list of (key, offset, length, is_bundle), offsets into `data`."};
PyObject* index(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function DESCRIBE{
    "describe",
    {{"data"}, {"offset"}, {"length"}},
    "What the header of the packet at data[offset:offset + length] says: kind, dtype,\n"
    "shape, sizes and whether it carries a checksum. Bodies are not read."};
PyObject* describe(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function VERIFY{
    "verify",
    {{"data"}, {"offset"}, {"length"}},
    "Checks the packet at data[offset:offset + length]: every bound and every checksum,\n"
    "without decompressing anything. Raises ValueError on damage."};
PyObject* verify(PyObject* self, PyObject* args, PyObject* kwargs);

// loads.cpp
inline constexpr frame::Function LOADS{
    "loads",
    {{"data"}, {"writable", false}, {"bfloat16", nullptr}, {"aligned", false}},
    "loads_rs with options: `writable` leaves views of a writable buffer writable;\n"
    "`bfloat16` (a dtype, or anything numpy.dtype accepts, of 2 bytes) is used for bfloat16\n"
    "data instead of NumPy's type of that name; `aligned` replaces views whose address is\n"
    "not a multiple of their element size by aligned copies."};
PyObject* loads(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function VIEWS{
    "views",
    {{"data"}, {"items"}, {"writable", false}, {"bfloat16", nullptr}, {"aligned", false}},
    "Arrays over the byte buffer `data`, one per (offset, wire dtype code, shape) of\n"
    "`items`, checked to lie inside it; options as for `loads`."};
PyObject* views(PyObject* self, PyObject* args, PyObject* kwargs);

// futex.cpp (the constants are not named FUTEX_WAIT/FUTEX_WAKE: <linux/futex.h>
// defines those as macros)
inline constexpr frame::Function FUTEX_WAIT_FUNCTION{
    "futex_wait",
    {{"buffer"}, {"offset"}, {"seen"}, {"timeout"}, {"spin", 0.0}},
    "Waits until the event at buffer[offset:offset + 8] (a 32-bit counter, then a 32-bit\n"
    "count of sleepers) no longer counts `seen`, or `timeout` seconds pass (None: no limit).\n"
    "Spins up to `spin` seconds before sleeping. Works across processes that share the\n"
    "buffer's mapping. True when the counter moved, False on timeout."};
PyObject* futex_wait(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function FUTEX_WAKE_FUNCTION{
    "futex_wake",
    {{"buffer"}, {"offset"}},
    "Advances the counter of the event at buffer[offset:offset + 8] and wakes every\n"
    "thread asleep on it, in any process; returns how many were woken."};
PyObject* futex_wake(PyObject* self, PyObject* args, PyObject* kwargs);

// strings.cpp
inline constexpr frame::Function STRINGS_FROM_LIST{
    "strings_from_list",
    {{"items"}},
    "The offsets table (a uint64 array) and payload (bytes) of a StringTensor of `items`:\n"
    "str items as UTF-8, bytes-like items as they are."};
PyObject* strings_from_list(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function STRINGS_TO_LIST{
    "strings_to_list",
    {{"offsets"}, {"payload"}},
    "The elements of a StringTensor's offsets table and payload as a list of str (UTF-8,\n"
    "strict)."};
PyObject* strings_to_list(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace vamra::native
