// A packet planned as a sequence of segments instead of one buffer: small
// bytes the call creates (headers, shapes, padding, bundle framing, footers),
// coalesced into one arena, and views of the source arrays' own memory. The
// concatenation of the segments is exactly the packet vamra.dumps returns.
// Writers walk the segments (to a descriptor, or into a list of Python
// buffers) without ever holding the packet as a whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "buffer.hpp"
#include "plan.hpp"
#include "py.hpp"
#include "vamra/dense.hpp"
#include "vamra/header.hpp"

namespace vamra::stream {

enum class SegmentKind : std::uint8_t {
  Inline,  // bytes [offset, offset + length) of the arena
  View,    // `length` bytes at `data`, owned by `owner` (an array or a bytes object)
  Frame,   // deferred[index]: compressed when written, followed by its footer if any
  Open,    // a 4-byte length field of fields[index], known only once its value is written
  Close,   // the end of the value measured by fields[index]
};

struct Segment {
  SegmentKind kind;
  std::size_t offset = 0;  // Inline
  std::size_t length = 0;  // Inline, View
  const std::byte* data = nullptr;
  PyObject* owner = nullptr;  // View; kept alive by the stream's holders
  std::size_t index = 0;      // Frame, Open, Close
};

// A dense body compressed only when it is written, so that at most one
// compressed body is held at a time.
struct DeferredBody {
  DenseView view;
  std::size_t alignment;
  bool check_integrity;
  // Laid-out streams only: the frame's length plus the footer's, measured
  // while planning by compressing the body once without keeping it.
  std::size_t stored = 0;
};

// Where a laid-out stream's leaf packet lies: an array's, a sparse matrix's
// or a finished packet's (each packet a dict's entries do not frame further).
struct Leaf {
  std::size_t start = 0;   // offset of the packet from the stream's first byte
  std::size_t length = 0;  // its length, without the padding that may follow it
  std::size_t body = 0;    // offset of an uncompressed dense body; 0 for other packets
};

// A position in a laid-out stream while it is planned: bytes into a segment,
// resolved to an offset once every padding is known.
struct Place {
  std::size_t segment = 0;
  std::size_t offset = 0;
};

// A dense body compressed into one LZ4 frame, as the dense encoder writes it.
struct CompressedBody {
  OwnedBytes packet;  // the whole dense packet the frame was written in
  ByteSpan frame;     // the body: a range of `packet`
};

// Compresses a body through the codec's dense encoder. The frame is the
// encoder's own, so it matches dumps byte for byte. Pure: it may run without
// the interpreter lock while `view` stays valid.
Result<CompressedBody> compress_body(const DenseView& view, std::size_t alignment);

struct Stream {
  std::string arena;
  std::vector<Segment> segments;
  std::vector<DeferredBody> deferred;
  std::size_t fields = 0;  // number of Open/Close pairs
  // The packet length; empty when a deferred body makes it unknown until written.
  std::optional<std::size_t> size;
  // What keeps the borrowed memory alive and pinned: planned arrays and the
  // finished packets of companion values.
  std::vector<std::unique_ptr<plan::Plan>> plans;
  std::vector<OwnedBytes> frames;
  std::vector<py::Ref> objects;
  std::vector<buffer::Pin> pins;  // finished packets lent as buffers
  // Laid-out streams only: zero bytes written before a segment (segment
  // index, count; by increasing index), and the leaf packets in stream order.
  std::vector<std::pair<std::size_t, std::size_t>> pads;
  std::vector<Leaf> leaves;
};

struct Options {
  EncodeOptions encode;
  // Compress dense bodies when writing rather than while planning. Only a
  // writer that can patch length fields afterwards (a seekable descriptor)
  // may ask for it.
  bool defer_compression = false;
  // Values that are instances of `companion_types` are encoded by calling
  // `encode_companion(value)`, which returns the finished packet as bytes.
  PyObject* companion_types = nullptr;
  PyObject* encode_companion = nullptr;
  // Lay the stream out for files: every leaf packet (and every sparse
  // component) starts at a multiple of encode.alignment from the first byte,
  // which puts array bodies there too. The padding goes at the end of the
  // packet or dict before it, inside its length field, where every reader
  // ignores it (compressed bodies, which run to their packet's end, take
  // none). Compressed bodies are measured while planning, so every length is
  // known before anything is written, and where each leaf lies is recorded.
  // Companion encoders may return any buffer (a bytearray filled in later,
  // say), not only bytes.
  bool layout = false;
};

// XXH3-64 (seed 0) of a body, as packet footers store it.
std::uint64_t footer_hash(ByteSpan body);

// Plans `value` as vamra.dumps encodes it, running every check first: on
// failure a Python exception is set and nothing has been written anywhere.
bool build(PyObject* value, const Options& options, Stream& out);

// The stream as a list of Python buffers: bytes for arena runs and frames,
// one-byte memoryviews of the arrays for their bodies. Requires a stream
// built without deferred compression.
py::Ref to_pieces(const Stream& stream);

}  // namespace vamra::stream
