#include "stream.hpp"

#include <cstring>
#include <new>
#include <string_view>
#include <variant>

#include "errors.hpp"
#include "extract.hpp"
#include "options.hpp"
#include "vamra/bundle.hpp"
#include "vamra/checksum.hpp"
#include "vamra/sparse.hpp"

namespace vamra::stream {

namespace {

using namespace messages;

// The options every sparse component is written with.
constexpr EncodeOptions COMPONENT_OPTIONS{DEFAULT_ALIGNMENT, false, false};

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

 private:
  // Appends `n` zero bytes to the arena, extending the last inline segment
  // when it ends there; returns their offset.
  std::size_t reserve(std::size_t n) {
    const std::size_t offset = out_.arena.size();
    out_.arena.resize(offset + n);
    if (!out_.segments.empty() && out_.segments.back().kind == SegmentKind::Inline &&
        out_.segments.back().offset + out_.segments.back().length == offset) {
      out_.segments.back().length += n;
    } else {
      out_.segments.push_back(Segment{SegmentKind::Inline, offset, n});
    }
    return offset;
  }

  std::byte* at(std::size_t offset) {
    return reinterpret_cast<std::byte*>(out_.arena.data()) + offset;
  }

  void view(const std::byte* data, std::size_t length, PyObject* owner) {
    if (length == 0) return;  // an empty array has no body (and no view to lend)
    Segment segment{SegmentKind::View};
    segment.data = data;
    segment.length = length;
    segment.owner = owner;
    out_.segments.push_back(segment);
  }

  bool bundle(PyObject* dict, std::size_t depth, std::size_t& size, bool& unknown) {
    const Py_ssize_t length = PyDict_Size(dict);
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) > MAX_BUNDLE_ENTRIES) {
      return errors::raise(PyExc_ValueError, BUNDLE_TOO_MANY_ENTRIES, length);
    }
    // The codec writes the header; the entries are framed below, as segments.
    const auto header = BundleWriter::start({at(reserve(V4_HEADER_LEN)), V4_HEADER_LEN},
                                            static_cast<std::size_t>(length));
    if (!header) return errors::raise(header.error());
    size = V4_HEADER_LEN;
    return extract::dict_entries(dict, length, [&](std::string_view key, PyObject* item) {
      return entry(key, item, depth, size, unknown);
    });
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
    write_bundle_entry_head({at(start), head},
                            {reinterpret_cast<const std::byte*>(key.data()), key.size()}, 0);
    const std::size_t open = out_.segments.size();
    out_.segments.push_back(
        Segment{SegmentKind::Open, field_offset, head - length_at, nullptr, nullptr, field});
    std::size_t value_size = 0;
    bool value_unknown = false;
    if (!value(item, depth + 1, value_size, value_unknown)) return false;
    if (value_unknown) {
      Segment close{SegmentKind::Close};
      close.index = field;
      out_.segments.push_back(close);
      unknown = true;
    } else {
      if (value_size > MAX_LENGTH_FIELD) {
        return errors::raise(PyExc_ValueError, LENGTH_FIELD_OVERFLOW, BUNDLE_VALUE_PACKET,
                             value_size);
      }
      set_bundle_value_length(at(field_offset), value_size);
      out_.segments[open].kind = SegmentKind::Inline;
    }
    const auto next = checked_add(size, 8 + key.size() + value_size);
    if (!next) return errors::raise(next.error());
    size = *next;
    return true;
  }

  // A companion value, encoded by the package into a finished packet.
  bool finished_packet(PyObject* object, std::size_t& size) {
    py::Ref packet =
        py::Ref::steal(PyObject_CallFunctionObjArgs(options_.encode_companion, object, nullptr));
    if (!packet) return false;
    if (!PyBytes_Check(packet.get())) return errors::raise(PyExc_TypeError, COMPANION_NOT_BYTES);
    size = static_cast<std::size_t>(PyBytes_Size(packet.get()));
    view(reinterpret_cast<const std::byte*>(PyBytes_AsString(packet.get())), size, packet.get());
    out_.objects.push_back(std::move(packet));
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
                        unknown)) {
        return false;
      }
    } else if (const auto* sparse = std::get_if<plan::SparsePlan>(&planned->kind)) {
      sparse_packet(*sparse);
      size = planned->size;
    } else {
      return errors::internal(DICT_AT_LEAF);
    }
    out_.plans.push_back(std::move(planned));
    return true;
  }

  void sparse_packet(const plan::SparsePlan& sparse) {
    const std::size_t prefix = sparse_prefix_size(sparse.shape.size());
    write_sparse_prefix(sparse.format, sparse.shape, {at(reserve(prefix)), prefix});
    const auto views = sparse.views();
    for (std::size_t i = 0; i < 3; ++i) {
      const std::size_t field = reserve(4);
      std::size_t length = 0;
      bool unknown = false;
      dense_packet(views[i], COMPONENT_OPTIONS, sparse.components[i].owner.get(), length, unknown);
      set_sparse_component_length(at(field), length);
    }
  }

  // Header, shape, exponent byte and padding inline; the body as a view of
  // the array (or its compressed frame); the footer inline.
  bool dense_packet(const DenseView& view_of, const EncodeOptions& encode, PyObject* owner,
                    std::size_t& size, bool& unknown) {
    const auto layout = dense_layout(view_of, encode.alignment);
    if (!layout) return errors::raise(layout.error());
    const std::size_t prefix = layout->prefix_len + layout->padding;
    size = write_dense_prefix(view_of, *layout, encode, {at(reserve(prefix)), prefix});
    const std::size_t footer = encode.check_integrity ? FOOTER_LEN : 0;
    if (encode.compress && options_.defer_compression) {
      Segment frame{SegmentKind::Frame};
      frame.index = out_.deferred.size();
      out_.deferred.push_back(DeferredBody{view_of, encode.alignment, encode.check_integrity});
      out_.segments.push_back(frame);
      size += footer;
      unknown = true;
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
    view(body.data(), body.size(), owner);
    if (encode.check_integrity) store_u64(at(reserve(FOOTER_LEN)), footer_hash(body));
    size += body.size() + footer;
    return true;
  }

  const Options& options_;
  Stream& out_;
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
  if (!unknown) out.size = size;
  return true;
}

namespace {

// memoryview(owner.reshape(-1).view("u1")): a byte view of an array whose
// element type NumPy cannot describe in a buffer export (ml_dtypes' bfloat16).
py::Ref uint8_view(PyObject* owner) {
  py::Ref reshape = py::getattr(owner, "reshape");
  py::Ref flat_shape = py::Ref::steal(PyLong_FromLong(-1));
  if (!reshape || !flat_shape) return {};
  py::Ref flat =
      py::Ref::steal(PyObject_CallFunctionObjArgs(reshape.get(), flat_shape.get(), nullptr));
  if (!flat) return {};
  py::Ref view = py::getattr(flat.get(), "view");
  py::Ref code = py::Ref::steal(PyUnicode_FromString("u1"));
  if (!view || !code) return {};
  py::Ref bytes = py::Ref::steal(PyObject_CallFunctionObjArgs(view.get(), code.get(), nullptr));
  if (!bytes) return {};
  return py::Ref::steal(PyMemoryView_FromObject(bytes.get()));
}

// memoryview(owner).cast("B"): the owner's bytes, one-dimensional.
py::Ref byte_view(PyObject* owner) {
  py::Ref view = py::Ref::steal(PyMemoryView_FromObject(owner));
  if (!view) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_BufferError) &&
        !PyErr_ExceptionMatches(PyExc_TypeError)) {
      return {};
    }
    // The export named an element type a buffer cannot carry: the same bytes
    // through a uint8 view, or the export's own error when there is none.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    view = uint8_view(owner);
    if (!view) {
      PyErr_Clear();
      PyErr_Restore(type, value, traceback);
      return {};
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
  }
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
          piece = byte_view(segment.owner);
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
