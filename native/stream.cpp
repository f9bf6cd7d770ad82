#include "stream.hpp"

#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <variant>

#include "errors.hpp"
#include "extract.hpp"
#include "numpy_api.hpp"
#include "options.hpp"
#include "vamra/bundle.hpp"
#include "vamra/checksum.hpp"
#include "vamra/sparse.hpp"

namespace vamra::stream {

namespace {

using namespace messages;

// The options every sparse component is written with.
constexpr EncodeOptions COMPONENT_OPTIONS{DEFAULT_ALIGNMENT, false, false};

// The length of the LZ4 frame `body` compresses to, found by compressing it a
// block at a time into scratch memory (with the interpreter lock released:
// the codec touches only the pinned array memory).
Result<std::size_t> measure_frame(ByteSpan body) {
  auto compressor = BodyCompressor::start(body);
  if (!compressor) return std::unexpected(compressor.error());
  std::unique_ptr<std::byte[]> scratch(new (std::nothrow) std::byte[compressor->max_piece()]);
  if (!scratch) return fail_compression(LZ4_ENCODE_FAILED);
  const MutableByteSpan piece{scratch.get(), compressor->max_piece()};
  std::size_t total = 0;
  py::AllowThreads unlocked;
  for (;;) {
    const auto n = compressor->next(piece);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return total;
    total += *n;
  }
}

class Planner {
 public:
  Planner(const Options& options, Stream& out) : options_(options), out_(out) {}

  // Plans one packet at nesting `depth`. `size` is its length, or, when
  // `unknown` is set, only a lower bound (a deferred body is in it).
  bool value(PyObject* object, std::size_t depth, std::size_t& size, bool& unknown) {
    if (depth > MAX_DECODE_DEPTH) return errors::raise(PyExc_ValueError, NESTING_TOO_DEEP);
    if (PyDict_Check(object)) return bundle(object, depth, size, unknown);
    if (options_.companion_types != nullptr) {
      const int companion = PyObject_IsInstance(object, options_.companion_types);
      if (companion < 0) return false;
      if (companion == 1) return finished_packet(object, size);
    }
    return leaf(object, depth, size, unknown);
  }

  std::size_t position() const { return position_; }

 private:
  // Appends `n` zero bytes to the arena, extending the last inline segment
  // when it ends there; returns their offset.
  std::size_t reserve(std::size_t n) {
    const std::size_t offset = out_.arena.size();
    out_.arena.resize(offset + n);
    position_ += n;
    if (!break_run_ && !out_.segments.empty() && out_.segments.back().kind == SegmentKind::Inline &&
        out_.segments.back().offset + out_.segments.back().length == offset) {
      out_.segments.back().length += n;
    } else {
      push(Segment{SegmentKind::Inline, offset, n});
    }
    return offset;
  }

  void push(const Segment& segment) {
    out_.segments.push_back(segment);
    break_run_ = false;
  }

  std::byte* at(std::size_t offset) {
    return reinterpret_cast<std::byte*>(out_.arena.data()) + offset;
  }

  // Where the arena bytes at `offset`, just reserved, lie.
  Place place_of(std::size_t offset) const {
    return {out_.segments.size() - 1, offset - out_.segments.back().offset};
  }

  // Where the next segment pushed will start.
  Place next_segment() const { return {out_.segments.size(), 0}; }

  void view(const std::byte* data, std::size_t length, PyObject* owner) {
    if (length == 0) return;  // an empty array has no body (and no view to lend)
    Segment segment{SegmentKind::View};
    segment.data = data;
    segment.length = length;
    segment.owner = owner;
    push(segment);
    position_ += length;
  }

  // Laid-out streams: the value whose length field sits at arena offset
  // `field` started at `start` and ends here. Its length is filled in once
  // every padding is known (padding after a value lies inside its length
  // field). The next value starts a segment of its own, and, unless this one
  // ends in a compressed body, padding may go here.
  void closed(std::size_t field, Place start) {
    if (!options_.layout) return;
    fields_.push_back({field, start, next_segment(), false});
    if (closes_paddable_) {
      // Values nested in this one end here too; the padding is this one's
      // alone (the outermost value ending here), not theirs.
      if (has_pad_at_ && pad_at_ == out_.segments.size()) fields_[pad_owner_].owns_padding = false;
      pad_at_ = out_.segments.size();
      has_pad_at_ = true;
      pad_owner_ = fields_.size() - 1;
      fields_.back().owns_padding = true;
    }
    break_run_ = true;
  }

  // Laid-out streams: pads at the last paddable place so that the byte
  // `ahead` bytes from here starts at a multiple of the alignment. Before the
  // first paddable place (a stream's first entry) nothing can be padded.
  bool align(std::size_t ahead) {
    const std::size_t alignment = options_.encode.alignment;
    if (!options_.layout || alignment <= 1 || !has_pad_at_) return true;
    const std::size_t pad = padding_for(position_ + ahead, alignment);
    if (pad == 0) return true;
    auto& pads = out_.pads;
    if (!pads.empty() && pads.back().first == pad_at_) {
      pads.back().second += pad;
    } else {
      pads.emplace_back(pad_at_, pad);
    }
    position_ += pad;
    return true;
  }

  // Laid-out streams: records a leaf packet that starts at `start` and spans
  // `length` bytes; `body` is where an uncompressed dense body starts.
  void record(Place start, std::size_t length, std::optional<Place> body) {
    if (!options_.layout) return;
    places_.push_back({start, body});
    out_.leaves.push_back(Leaf{0, length, 0});
  }

 public:
  // Laid-out streams: turns the recorded places into offsets and fills in the
  // length fields, now that every padding is known.
  bool resolve() {
    if (!options_.layout) return true;
    // Where each segment starts, and where the padding before it starts.
    std::vector<std::size_t> starts(out_.segments.size() + 1, 0);
    std::vector<std::size_t> padded(out_.segments.size() + 1, 0);
    std::size_t position = 0;
    std::size_t next_pad = 0;
    for (std::size_t i = 0; i <= out_.segments.size(); ++i) {
      padded[i] = position;
      while (next_pad < out_.pads.size() && out_.pads[next_pad].first == i) {
        position += out_.pads[next_pad++].second;
      }
      starts[i] = position;
      if (i == out_.segments.size()) break;
      const Segment& segment = out_.segments[i];
      position +=
          segment.kind == SegmentKind::Frame ? out_.deferred[segment.index].stored : segment.length;
    }
    const auto offset = [&](Place place) { return starts[place.segment] + place.offset; };
    for (std::size_t i = 0; i < out_.leaves.size(); ++i) {
      const auto& [start, body] = places_[i];
      out_.leaves[i].start = offset(start);
      if (body) out_.leaves[i].body = offset(*body);
    }
    for (const Field& field : fields_) {
      const std::size_t end = field.owns_padding ? offset(field.end) : padded[field.end.segment];
      const std::size_t length = end - offset(field.start);
      if (length > MAX_LENGTH_FIELD) {
        return errors::raise(PyExc_ValueError, LENGTH_FIELD_OVERFLOW, BUNDLE_VALUE_PACKET, length);
      }
      store_u32(at(field.offset), static_cast<std::uint32_t>(length));
    }
    return true;
  }

 private:
  bool bundle(PyObject* dict, std::size_t depth, std::size_t& size, bool& unknown) {
    const Py_ssize_t length = PyDict_Size(dict);
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) > MAX_BUNDLE_ENTRIES) {
      return errors::raise(PyExc_ValueError, BUNDLE_TOO_MANY_ENTRIES, length);
    }
    const std::size_t start = position_;
    // The codec writes the header; the entries are framed below, as segments.
    const auto header = BundleWriter::start({at(reserve(V4_HEADER_LEN)), V4_HEADER_LEN},
                                            static_cast<std::size_t>(length));
    if (!header) return errors::raise(header.error());
    size = V4_HEADER_LEN;
    const bool ok = extract::dict_entries(dict, length, [&](std::string_view key, PyObject* item) {
      return entry(key, item, depth, size, unknown);
    });
    if (!ok) return false;
    if (options_.layout) size = position_ - start;  // before the padding inside it
    closes_paddable_ = true;                        // bytes after the last entry are ignored
    return true;
  }

  // One bundle entry: its key, its value's length field and its value.
  bool entry(std::string_view key, PyObject* item, std::size_t depth, std::size_t& size,
             bool& unknown) {
    if (key.size() > MAX_LENGTH_FIELD) {
      return errors::raise(PyExc_ValueError, LENGTH_FIELD_OVERFLOW, BUNDLE_KEY, key.size());
    }
    // The codec frames the entry. The value's length field is filled in below
    // when planning tells the length, else left to the writer, which measures
    // the value it writes.
    const std::size_t head = bundle_entry_head_size(key.size());
    const std::size_t length_at = bundle_value_length_offset(key.size());
    const std::size_t start = reserve(length_at);
    const std::size_t field = out_.fields++;
    const std::size_t field_offset = out_.arena.size();
    out_.arena.resize(start + head);
    position_ += head - length_at;
    write_bundle_entry_head({at(start), head},
                            {reinterpret_cast<const std::byte*>(key.data()), key.size()}, 0);
    const std::size_t open = out_.segments.size();
    push(Segment{SegmentKind::Open, field_offset, head - length_at, nullptr, nullptr, field});
    const Place value_start = next_segment();
    std::size_t value_size = 0;
    bool value_unknown = false;
    if (!value(item, depth + 1, value_size, value_unknown)) return false;
    if (value_unknown) {
      Segment close{SegmentKind::Close};
      close.index = field;
      push(close);
      unknown = true;
    } else {
      if (value_size > MAX_LENGTH_FIELD) {
        return errors::raise(PyExc_ValueError, LENGTH_FIELD_OVERFLOW, BUNDLE_VALUE_PACKET,
                             value_size);
      }
      set_bundle_value_length(at(field_offset), value_size);
      out_.segments[open].kind = SegmentKind::Inline;
    }
    closed(field_offset, value_start);
    const auto next = checked_add(size, 8 + key.size() + value_size);
    if (!next) return errors::raise(next.error());
    size = *next;
    return true;
  }

  // A companion value, encoded by the package into a finished packet: bytes,
  // or in a laid-out stream any buffer (its memory is pinned, so it cannot
  // move, and may still be filled in before the stream is written).
  bool finished_packet(PyObject* object, std::size_t& size) {
    py::Ref packet =
        py::Ref::steal(PyObject_CallFunctionObjArgs(options_.encode_companion, object, nullptr));
    if (!packet) return false;
    const std::byte* data = nullptr;
    if (PyBytes_Check(packet.get())) {
      size = static_cast<std::size_t>(PyBytes_Size(packet.get()));
      data = reinterpret_cast<const std::byte*>(PyBytes_AsString(packet.get()));
    } else if (options_.layout && PyObject_CheckBuffer(packet.get())) {
      buffer::Pin pin;
      if (!pin.acquire(packet.get(), PyBUF_SIMPLE)) return false;
      size = pin.size();
      data = pin.data();
      out_.pins.push_back(std::move(pin));
    } else {
      return errors::raise(PyExc_TypeError, COMPANION_NOT_BYTES);
    }
    if (!align(0)) return false;
    const Place start = next_segment();
    view(data, size, packet.get());
    record(start, size, std::nullopt);
    out_.objects.push_back(std::move(packet));
    closes_paddable_ = true;
    return true;
  }

  // An array or a sparse matrix. The shared planner runs every check (with
  // compression off: compressing is this stream's business, not planning's).
  bool leaf(PyObject* object, std::size_t depth, std::size_t& size, bool& unknown) {
    auto planned = std::make_unique<plan::Plan>();
    EncodeOptions checked = options_.encode;
    checked.compress = false;
    if (!plan::value(object, checked, depth, *planned)) return false;
    if (const auto* dense = std::get_if<plan::DensePlan>(&planned->kind)) {
      if (!dense_packet(dense->array.view(), options_.encode, dense->array.owner.get(), size,
                        unknown, true)) {
        return false;
      }
    } else if (const auto* sparse = std::get_if<plan::SparsePlan>(&planned->kind)) {
      if (!sparse_packet(*sparse, size)) return false;
      if (!options_.layout) size = planned->size;
    } else {
      return errors::internal(DICT_AT_LEAF);
    }
    out_.plans.push_back(std::move(planned));
    return true;
  }

  bool sparse_packet(const plan::SparsePlan& sparse, std::size_t& size) {
    const std::size_t prefix = sparse_prefix_size(sparse.shape.size());
    // In a laid-out stream each component starts aligned, as an array would.
    EncodeOptions components = COMPONENT_OPTIONS;
    if (options_.layout) components.alignment = options_.encode.alignment;
    if (!align(prefix + 4)) return false;
    const std::size_t start_position = position_;
    const std::size_t prefix_at = reserve(prefix);
    const Place start = place_of(prefix_at);
    write_sparse_prefix(sparse.format, sparse.shape, {at(prefix_at), prefix});
    const auto views = sparse.views();
    for (std::size_t i = 0; i < 3; ++i) {
      if (i > 0 && !align(4)) return false;
      const std::size_t field = reserve(4);
      const Place component_start{place_of(field).segment, place_of(field).offset + 4};
      std::size_t length = 0;
      bool unknown = false;
      if (!dense_packet(views[i], components, sparse.components[i].owner.get(), length, unknown,
                        false)) {
        return false;
      }
      set_sparse_component_length(at(field), length);
      closed(field, component_start);
    }
    size = position_ - start_position;
    record(start, size, std::nullopt);
    closes_paddable_ = true;
    return true;
  }

  // Header, shape, exponent byte and padding inline; the body as a view of
  // the array (or its compressed frame); the footer inline. A leaf (not a
  // sparse component) is recorded as one.
  bool dense_packet(const DenseView& view_of, const EncodeOptions& encode, PyObject* owner,
                    std::size_t& size, bool& unknown, bool is_leaf) {
    const auto layout = dense_layout(view_of, encode.alignment);
    if (!layout) return errors::raise(layout.error());
    if (!encode.compress && !align(0)) return false;
    const std::size_t prefix = layout->prefix_len + layout->padding;
    const std::size_t prefix_at = reserve(prefix);
    const Place start = place_of(prefix_at);
    size = write_dense_prefix(view_of, *layout, encode, {at(prefix_at), prefix});
    const std::size_t footer = encode.check_integrity ? FOOTER_LEN : 0;
    if (encode.compress && (options_.defer_compression || options_.layout)) {
      Segment frame{SegmentKind::Frame};
      frame.index = out_.deferred.size();
      DeferredBody body{view_of, encode.alignment, encode.check_integrity, 0};
      if (options_.layout) {
        // Measured now, kept never: writing compresses it again.
        const auto measured = measure_frame(view_of.data);
        if (!measured) return errors::raise(measured.error());
        body.stored = *measured + footer;
        position_ += body.stored;
        size += body.stored;
      } else {
        size += footer;
        unknown = true;
      }
      out_.deferred.push_back(body);
      push(frame);
      if (is_leaf) record(start, size, std::nullopt);
      closes_paddable_ = false;  // a frame runs to its packet's end
      return true;
    }
    ByteSpan body = view_of.data;
    if (encode.compress) {
      auto compressed = compress_body(view_of, encode.alignment);
      if (!compressed) return errors::raise(compressed.error());
      body = compressed->frame;
      out_.frames.push_back(std::move(compressed->packet));
      owner = nullptr;
    }
    // An empty body has no segment: it "starts" where the prefix ends.
    const Place body_at =
        body.empty() ? Place{start.segment, start.offset + prefix} : next_segment();
    view(body.data(), body.size(), owner);
    if (encode.check_integrity) store_u64(at(reserve(FOOTER_LEN)), footer_hash(body));
    size += body.size() + footer;
    if (is_leaf) record(start, size, encode.compress ? std::nullopt : std::optional(body_at));
    closes_paddable_ = true;
    return true;
  }

  const Options& options_;
  Stream& out_;
  std::size_t position_ = 0;      // bytes planned so far, padding included
  bool break_run_ = false;        // the next arena bytes start a segment of their own
  bool has_pad_at_ = false;       // a paddable place has been planned
  std::size_t pad_at_ = 0;        // that place: the segment padding goes before
  bool closes_paddable_ = false;  // the value just planned may be followed by padding
  std::vector<std::pair<Place, std::optional<Place>>> places_;  // of the recorded leaves
  // A length field filled in by resolve(): its arena offset, the value's start and end.
  // The padding at a value's end lies inside its field only when it
  // `owns_padding`.
  struct Field {
    std::size_t offset;
    Place start;
    Place end;
    bool owns_padding;
  };
  std::vector<Field> fields_;
  std::size_t pad_owner_ = 0;  // the field whose value ends at the paddable place
};

}  // namespace

Result<CompressedBody> compress_body(const DenseView& view, std::size_t alignment) {
  const EncodeOptions options{alignment, false, true};
  const auto layout = dense_layout(view, alignment);
  if (!layout) return std::unexpected(layout.error());
  const auto bound = dense_required_size(view, options);
  if (!bound) return std::unexpected(bound.error());
  CompressedBody out{{std::unique_ptr<std::byte[]>(new (std::nothrow) std::byte[*bound]), *bound},
                     {}};
  if (!out.packet.data) return fail_compression(LZ4_ENCODE_FAILED);
  const auto written = encode_dense_into(view, {out.packet.data.get(), *bound}, options);
  if (!written) return std::unexpected(written.error());
  const std::size_t start = layout->prefix_len + layout->padding;
  out.frame = ByteSpan(out.packet.data.get() + start, *written - start);
  return out;
}

std::uint64_t footer_hash(ByteSpan body) { return checksum(body); }

bool build(PyObject* value, const Options& options, Stream& out) {
  if (!options::check_alignment(options.encode)) return false;
  Planner planner(options, out);
  std::size_t size = 0;
  bool unknown = false;
  if (!planner.value(value, 0, size, unknown)) return false;
  if (!planner.resolve()) return false;
  if (options.layout) size = planner.position();
  if (!unknown) out.size = size;
  return true;
}

namespace {

// A one-byte memoryview of a body: `length` bytes at `data`, which `owner`
// keeps alive. Made through a uint8 array over those bytes whose base is the
// owner, not through the owner's own buffer: NumPy exports no buffer for
// element types outside the buffer protocol's formats (bfloat16, whose
// export fails with "cannot include dtype 'E' in a buffer").
py::Ref byte_view(const std::byte* data, std::size_t length, PyObject* owner) {
  const numpy_api::Api* api = numpy_api::api();
  PyObject* uint8 = api != nullptr ? numpy_api::dtype_of(Dtype::UInt8) : nullptr;
  if (uint8 != nullptr) {
    const numpy_api::Intp dims[] = {static_cast<numpy_api::Intp>(length)};
    py::Ref bytes = numpy_api::view(*api, uint8, dims, const_cast<std::byte*>(data), false, owner);
    if (!bytes) return {};
    return py::Ref::steal(PyMemoryView_FromObject(bytes.get()));
  }
  if (PyErr_Occurred() != nullptr) return {};
  // NumPy offers no table this code knows: memoryview(owner).cast("B").
  py::Ref view = py::Ref::steal(PyMemoryView_FromObject(owner));
  if (!view) return {};
  py::Ref cast = py::getattr(view.get(), "cast");
  py::Ref format = py::Ref::steal(PyUnicode_FromString("B"));
  if (!cast || !format) return {};
  return py::Ref::steal(PyObject_CallFunctionObjArgs(cast.get(), format.get(), nullptr));
}

bool append(PyObject* list, py::Ref item) { return item && PyList_Append(list, item.get()) == 0; }

}  // namespace

py::Ref to_pieces(const Stream& stream) {
  py::Ref list = py::Ref::steal(PyList_New(0));
  if (!list) return {};
  // Runs of inline bytes are contiguous in the arena: each run becomes one piece.
  std::size_t run_start = 0;
  std::size_t run_length = 0;
  auto flush_run = [&]() {
    if (run_length == 0) return true;
    const bool ok = append(
        list.get(), py::Ref::steal(PyBytes_FromStringAndSize(stream.arena.data() + run_start,
                                                             static_cast<Py_ssize_t>(run_length))));
    run_length = 0;
    return ok;
  };
  for (const Segment& segment : stream.segments) {
    switch (segment.kind) {
      case SegmentKind::Inline:
        if (run_length != 0 && run_start + run_length == segment.offset) {
          run_length += segment.length;
        } else {
          if (!flush_run()) return {};
          run_start = segment.offset;
          run_length = segment.length;
        }
        break;
      case SegmentKind::View: {
        if (!flush_run()) return {};
        py::Ref piece;
        if (segment.owner == nullptr) {
          piece =
              py::Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(segment.data),
                                                       static_cast<Py_ssize_t>(segment.length)));
        } else if (PyBytes_Check(segment.owner)) {
          piece = py::Ref::borrow(segment.owner);
        } else {
          piece = byte_view(segment.data, segment.length, segment.owner);
        }
        if (!append(list.get(), std::move(piece))) return {};
        break;
      }
      default:
        return errors::internal(messages::DEFERRED_IN_PIECES);
    }
  }
  if (!flush_run()) return {};
  return list;
}

}  // namespace vamra::stream
