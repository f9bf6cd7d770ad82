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
    {{"data"}, {"offset"}, {"length"}, {"depth", std::size_t{0}}},
    "Checks the packet at data[offset:offset + length], found `depth` bundle levels below\n"
    "the top, as loading it would: every bound, checksum and nesting limit, and every\n"
    "compressed body decompressed (into scratch memory, then dropped). Raises ValueError\n"
    "on damage."};
PyObject* verify(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function EXTENT{
    "extent",
    {{"data"}, {"offset"}, {"length"}},
    "The length of the packet starting at data[offset], read from its framing (bodies are\n"
    "not read), looking at no more than `length` bytes. A result larger than `length` is how\n"
    "many bytes must be there to tell; None when the framing does not tell (a damaged\n"
    "header), so the packet runs to the end of its input."};
PyObject* extent(PyObject* self, PyObject* args, PyObject* kwargs);

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

inline constexpr frame::Function ADDRESSES{
    "addresses",
    {{"arrays"}},
    "The address of each array's data (an int each), read from NumPy's fields or from\n"
    "the buffer the object exports."};
PyObject* addresses(PyObject* self, PyObject* args, PyObject* kwargs);

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

// channel.cpp: the steps of a channel's slots, each made under the segment's
// robust mutex within one call.
inline constexpr frame::Function CHANNEL_LAYOUT{
    "channel_layout",
    {{"header"}, {"size"}},
    "(slots, slot_bytes, stride, area) of the channel whose header (its first 64 bytes) is\n"
    "given, checked against a segment of `size` bytes. Raises ValueError otherwise."};
PyObject* channel_layout(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function CHANNEL_SEND{
    "channel_send",
    {{"segment"}, {"write"}, {"value"}, {"start"}, {"deadline", nullptr}, {"pending", nullptr}},
    "Claims a free slot, calls write(value, area) with a writable view of it (which returns\n"
    "the packet's length) and publishes the packet; on any failure the slot is given back\n"
    "(to the list `pending` when the mutex cannot be had). None when sent; when no slot is\n"
    "free, the 'freed' event's counter as read before looking (bit 32: the records were\n"
    "repaired after a holder died). `start` is this process's start time, for the record;\n"
    "`deadline` (time.monotonic() seconds, None: none) bounds the wait for the mutex."};
PyObject* channel_send(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function CHANNEL_TAKE{
    "channel_take",
    {{"segment"},
     {"start"},
     {"deadline", nullptr},
     {"copy_limit", std::size_t{0}},
     {"pending", nullptr}},
    "Takes the oldest published packet: as bytes, freeing its slot at once, when it is at\n"
    "most `copy_limit` bytes; else as a Lease, a read-only buffer whose slot returns to\n"
    "the senders when the lease and its views are gone (to the list `pending` when the\n"
    "mutex cannot be had then). When none is published, the 'published' event's counter,\n"
    "as channel_send returns it. A packet whose recorded length cannot be is dropped\n"
    "(ValueError)."};
PyObject* channel_take(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function CHANNEL_OWNERS{
    "channel_owners",
    {{"segment"}, {"deadline", nullptr}},
    "The records of the slots being written or read: a list of (index, state, pid, start,\n"
    "generation). Records in no known state are freed on the way."};
PyObject* channel_owners(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr frame::Function CHANNEL_RELEASE{
    "channel_release",
    {{"segment"}, {"records"}, {"deadline", nullptr}},
    "Frees each slot whose record is still exactly one of `records` (as channel_owners gives\n"
    "them) and being written or read; returns how many were freed."};
PyObject* channel_release(PyObject* self, PyObject* args, PyObject* kwargs);

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

// sparse.cpp
inline constexpr frame::Function CHECK_SPARSE{
    "check_sparse",
    {{"format"}, {"shape"}, {"data"}, {"first"}, {"second"}},
    "Checks that the arrays of a sparse matrix of `format` ('coo', 'csr' or 'csc') and `shape`\n"
    "(data, row, col or data, indices, indptr) index inside it, as readers of packets do:\n"
    "integer index arrays, indptr from 0 to nnz never decreasing, every index in range.\n"
    "Raises ValueError on any breach."};
PyObject* check_sparse(PyObject* self, PyObject* args, PyObject* kwargs);

// dlpack.cpp
inline constexpr frame::Function DLPACK_ARRAY{
    "dlpack_array",
    {{"capsule"}, {"bfloat16", nullptr}},
    "A read-only array over the memory of a CPU tensor's DLPack capsule (from __dlpack__,\n"
    "unversioned or version 1), with its strides; the capsule is consumed, and the array\n"
    "keeps the tensor alive. `bfloat16` (a dtype of 2 bytes) is used for bfloat16 data\n"
    "instead of NumPy's type of that name. TypeError for another device, ValueError for an\n"
    "element type without a wire code."};
PyObject* dlpack_array(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace vamra::native
