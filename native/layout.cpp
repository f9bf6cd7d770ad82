// Laid-out streams, the way files are written: planned once with every length
// known before the first byte goes out (layout_plan), hashed over ranges of
// their bytes (layout_digests), then written to a descriptor, to a Python
// callable or into a new bytes object (layout_write). Between the calls the
// package fills in what depends on where things lie (its table of contents),
// in a buffer the plan lends out.
//
// Every writer walks the same sequence of pieces: arena bytes, zero padding,
// views of array memory and, for compressed bodies, the LZ4 frame a block at
// a time (compressed again as it is written: only one block is ever held).
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "buffer.hpp"
#include "errors.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "numpy_api.hpp"
#include "stream.hpp"
#include "vamra/checksum.hpp"
#include "vamra/dense.hpp"
#include "writer.hpp"

namespace vamra::native {

namespace {

using stream::SegmentKind;

constexpr const char* CAPSULE_NAME = "vamra._native.layout";

// Zero padding is written from here, a piece at a time.
constexpr std::size_t ZERO_PIECE = 64 * 1024;
alignas(64) const std::byte ZEROS[ZERO_PIECE] = {};

// Receives a laid-out stream's bytes in order. `owner` is the object that
// keeps a view's memory alive (nullptr for arena bytes and padding, which the
// plan keeps). A `transient` piece (a block of a frame, a footer) is
// overwritten once put() returns. False with a Python exception set stops the
// walk.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool put(ByteSpan bytes, PyObject* owner, bool transient) = 0;
};

// Compresses a deferred body a block at a time into `scratch`, handing each
// piece (and the footer, when the body has one) to the sink.
bool put_frame(const stream::DeferredBody& body, std::vector<std::byte>& scratch, Sink& sink) {
  auto compressor = BodyCompressor::start(body.view.data);
  if (!compressor) return errors::raise(compressor.error());
  scratch.resize(std::max(scratch.size(), compressor->max_piece()));
  ChecksumStream footer;
  std::size_t written = 0;
  for (;;) {
    Result<std::size_t> n = 0;
    {
      py::AllowThreads unlocked;
      n = compressor->next(scratch);
    }
    if (!n) return errors::raise(n.error());
    if (*n == 0) break;
    const ByteSpan piece{scratch.data(), *n};
    if (body.check_integrity) footer.update(piece);
    if (!sink.put(piece, nullptr, true)) return false;
    written += *n;
  }
  if (body.check_integrity) {
    std::byte stored[FOOTER_LEN];
    store_u64(stored, footer.digest());
    if (!sink.put({stored, FOOTER_LEN}, nullptr, true)) return false;
    written += FOOTER_LEN;
  }
  // Compression is deterministic: the frame is as long as when it was measured.
  if (written != body.stored) return errors::internal(messages::FRAME_LENGTH_CHANGED);
  return true;
}

bool walk(const stream::Stream& stream, Sink& sink) {
  std::vector<std::byte> scratch;
  const auto* arena = reinterpret_cast<const std::byte*>(stream.arena.data());
  std::size_t next_pad = 0;
  for (std::size_t i = 0; i < stream.segments.size(); ++i) {
    for (; next_pad < stream.pads.size() && stream.pads[next_pad].first == i; ++next_pad) {
      for (std::size_t left = stream.pads[next_pad].second; left > 0;) {
        const std::size_t n = std::min(left, ZERO_PIECE);
        if (!sink.put({ZEROS, n}, nullptr, false)) return false;
        left -= n;
      }
    }
    const stream::Segment& segment = stream.segments[i];
    switch (segment.kind) {
      case SegmentKind::Inline:
        if (!sink.put({arena + segment.offset, segment.length}, nullptr, false)) return false;
        break;
      case SegmentKind::View:
        if (!sink.put({segment.data, segment.length}, segment.owner, false)) return false;
        break;
      case SegmentKind::Frame:
        if (!put_frame(stream.deferred[segment.index], scratch, sink)) return false;
        break;
      default:
        return errors::internal(messages::LENGTH_FIELD_IN_LAYOUT);
    }
  }
  return true;
}

class DescriptorSink final : public Sink {
 public:
  explicit DescriptorSink(int fd) : out_(fd) {}
  bool put(ByteSpan bytes, PyObject*, bool transient) override {
    out_.add(bytes.data(), bytes.size());
    return !transient || out_.flush();
  }
  bool finish() { return out_.flush(); }
  std::size_t written() const { return out_.flushed(); }

 private:
  writer::Writer out_;
};

class BytesSink final : public Sink {
 public:
  explicit BytesSink(std::size_t size)
      : bytes_(py::Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)))),
        size_(size) {}
  bool ready() const { return static_cast<bool>(bytes_); }
  bool put(ByteSpan bytes, PyObject*, bool) override {
    if (bytes.size() > size_ - filled_) return errors::internal(messages::FRAME_LENGTH_CHANGED);
    if (!bytes.empty()) {
      std::memcpy(PyBytes_AsString(bytes_.get()) + filled_, bytes.data(), bytes.size());
    }
    filled_ += bytes.size();
    return true;
  }
  py::Ref finish() {
    if (filled_ != size_) return errors::internal(messages::FRAME_LENGTH_CHANGED);
    return std::move(bytes_);
  }

 private:
  py::Ref bytes_;
  std::size_t size_;
  std::size_t filled_ = 0;
};

// Hands the stream to a Python callable, `write(buffer)`, in pieces of at
// most `chunk` bytes: small pieces are gathered into bytes objects; array
// memory goes as uint8 arrays over it that keep their owner alive, so a
// callable that keeps a piece never sees freed memory.
class CallableSink final : public Sink {
 public:
  CallableSink(PyObject* callable, std::size_t chunk) : callable_(callable), chunk_(chunk) {}

  bool put(ByteSpan bytes, PyObject* owner, bool) override {
    if (owner == nullptr || bytes.size() < GATHER_BELOW) {
      while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), chunk_ - pending_.size());
        pending_.insert(pending_.end(), bytes.begin(),
                        bytes.begin() + static_cast<std::ptrdiff_t>(n));
        bytes = bytes.subspan(n);
        if (pending_.size() == chunk_ && !flush()) return false;
      }
      return true;
    }
    if (!flush()) return false;
    for (std::size_t at = 0; at < bytes.size(); at += chunk_) {
      py::Ref piece = array_over(bytes.subspan(at, std::min(chunk_, bytes.size() - at)), owner);
      if (!piece || !call(piece.get())) return false;
    }
    return true;
  }

  bool flush() {
    if (pending_.empty()) return true;
    py::Ref piece = py::Ref::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(pending_.data()), static_cast<Py_ssize_t>(pending_.size())));
    pending_.clear();
    return piece && call(piece.get());
  }

 private:
  static constexpr std::size_t GATHER_BELOW = 64 * 1024;

  bool call(PyObject* piece) {
    return static_cast<bool>(
        py::Ref::steal(PyObject_CallFunctionObjArgs(callable_, piece, nullptr)));
  }

  // A read-only uint8 array over `bytes`, whose base keeps `owner` alive; a
  // bytes copy when NumPy's table is not usable.
  static py::Ref array_over(ByteSpan bytes, PyObject* owner) {
    const numpy_api::Api* api = numpy_api::api();
    if (api == nullptr) {
      if (PyErr_Occurred()) return {};
      return py::Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                      static_cast<Py_ssize_t>(bytes.size())));
    }
    PyObject* descr = numpy_api::dtype_of(Dtype::UInt8);
    if (descr == nullptr) return {};
    const numpy_api::Intp dims[] = {static_cast<numpy_api::Intp>(bytes.size())};
    return numpy_api::view(*api, descr, dims, const_cast<std::byte*>(bytes.data()), false, owner);
  }

  PyObject* callable_;
  std::size_t chunk_;
  std::vector<std::byte> pending_;
};

// XXH3-64 of each of a sorted list of disjoint ranges of the stream.
class DigestSink final : public Sink {
 public:
  explicit DigestSink(std::vector<std::pair<std::size_t, std::size_t>> ranges)
      : ranges_(std::move(ranges)) {
    settle();
  }

  bool put(ByteSpan bytes, PyObject*, bool) override {
    while (!bytes.empty() && next_ < ranges_.size()) {
      const auto [start, end] = ranges_[next_];
      if (position_ < start) {
        const std::size_t skip = std::min(bytes.size(), start - position_);
        bytes = bytes.subspan(skip);
        position_ += skip;
      } else {
        const std::size_t take = std::min(bytes.size(), end - position_);
        const ByteSpan part = bytes.first(take);
        if (take >= UNLOCK_FROM) {
          py::AllowThreads unlocked;
          state_.update(part);
        } else {
          state_.update(part);
        }
        bytes = bytes.subspan(take);
        position_ += take;
      }
      settle();
    }
    position_ += bytes.size();
    return true;
  }

  bool complete() const { return next_ == ranges_.size(); }
  const std::vector<std::uint64_t>& digests() const { return digests_; }

 private:
  static constexpr std::size_t UNLOCK_FROM = 1 << 20;

  // Closes every range that ends here (empty ones included).
  void settle() {
    while (next_ < ranges_.size() && position_ >= ranges_[next_].first &&
           position_ == ranges_[next_].second) {
      digests_.push_back(state_.digest());
      state_ = ChecksumStream();
      ++next_;
    }
  }

  std::vector<std::pair<std::size_t, std::size_t>> ranges_;
  std::vector<std::uint64_t> digests_;
  ChecksumStream state_;
  std::size_t position_ = 0;
  std::size_t next_ = 0;
};

void release_plan(PyObject* capsule) {
  delete static_cast<stream::Stream*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
}

const stream::Stream* plan_of(PyObject* object) {
  if (!PyCapsule_IsValid(object, CAPSULE_NAME)) {
    errors::raise(PyExc_TypeError, messages::NOT_A_LAYOUT_PLAN);
    return nullptr;
  }
  return static_cast<const stream::Stream*>(PyCapsule_GetPointer(object, CAPSULE_NAME));
}

py::Ref size_object(std::size_t value) { return py::Ref::steal(PyLong_FromSize_t(value)); }

}  // namespace

PyObject* layout_plan(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(LAYOUT_PLAN, args, kwargs, [](const frame::Args& a) -> py::Ref {
    stream::Options options;
    if (!stream_options<LAYOUT_PLAN>(a, 1, options)) return {};
    options.layout = true;
    auto planned = std::make_unique<stream::Stream>();
    if (!stream::build(a[0], options, *planned)) return {};
    const std::size_t size = planned->size.value_or(0);
    py::Ref leaves = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(planned->leaves.size())));
    if (!leaves) return {};
    for (std::size_t i = 0; i < planned->leaves.size(); ++i) {
      const stream::Leaf& leaf = planned->leaves[i];
      PyObject* item =
          Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(leaf.start),
                        static_cast<Py_ssize_t>(leaf.length), static_cast<Py_ssize_t>(leaf.body));
      if (item == nullptr) return {};
      PyList_SetItem(leaves.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    py::Ref capsule = py::Ref::steal(PyCapsule_New(planned.get(), CAPSULE_NAME, release_plan));
    if (!capsule) return {};
    planned.release();  // the capsule owns it now
    return py::Ref::steal(
        Py_BuildValue("(OnO)", capsule.get(), static_cast<Py_ssize_t>(size), leaves.get()));
  });
}

PyObject* layout_digests(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(LAYOUT_DIGESTS, args, kwargs, [](const frame::Args& a) -> py::Ref {
    const stream::Stream* planned = plan_of(a[0]);
    if (planned == nullptr) return {};
    py::Ref sequence = py::Ref::steal(PySequence_Fast(a[1], messages::RANGES_NOT_PAIRS));
    if (!sequence) return {};
    const Py_ssize_t count = PySequence_Size(sequence.get());
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    ranges.reserve(static_cast<std::size_t>(count));
    std::size_t last = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
      py::Ref pair = py::Ref::steal(PySequence_GetItem(sequence.get(), i));
      if (!pair) return {};
      std::size_t start = 0;
      std::size_t end = 0;
      if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
        return errors::raise(PyExc_TypeError, messages::RANGES_NOT_PAIRS);
      }
      if (!frame::to_size(PyTuple_GetItem(pair.get(), 0), start) ||
          !frame::to_size(PyTuple_GetItem(pair.get(), 1), end)) {
        return {};
      }
      if (start < last || end < start || end > planned->size.value_or(0)) {
        return errors::raise(PyExc_ValueError, messages::RANGES_OUT_OF_ORDER);
      }
      ranges.emplace_back(start, end);
      last = end;
    }
    DigestSink sink(std::move(ranges));
    if (!walk(*planned, sink)) return {};
    if (!sink.complete()) return errors::internal(messages::FRAME_LENGTH_CHANGED);
    py::Ref out = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(sink.digests().size())));
    if (!out) return {};
    for (std::size_t i = 0; i < sink.digests().size(); ++i) {
      PyObject* digest = PyLong_FromUnsignedLongLong(sink.digests()[i]);
      if (digest == nullptr) return {};
      PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), digest);  // steals
    }
    return out;
  });
}

PyObject* layout_write(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(LAYOUT_WRITE, args, kwargs, [](const frame::Args& a) -> py::Ref {
    const stream::Stream* planned = plan_of(a[0]);
    if (planned == nullptr) return {};
    std::size_t chunk = 0;
    if (!a.get(2, chunk, frame::to_size)) return {};
    if (chunk == 0) return errors::raise(PyExc_ValueError, messages::CHUNK_MUST_BE_POSITIVE);
    PyObject* destination = a[1];
    const std::size_t size = planned->size.value_or(0);
    if (destination == Py_None) {
      BytesSink sink(size);
      if (!sink.ready() || !walk(*planned, sink)) return {};
      return sink.finish();
    }
    if (PyLong_Check(destination)) {
      std::int32_t fd = 0;
      if (!a.get(1, fd, frame::to_i32)) return {};
      DescriptorSink sink(fd);
      if (!walk(*planned, sink) || !sink.finish()) return {};
      return size_object(sink.written());
    }
    if (!PyCallable_Check(destination)) {
      return errors::raise(PyExc_TypeError, messages::NOT_A_DESTINATION);
    }
    CallableSink sink(destination, chunk);
    if (!walk(*planned, sink) || !sink.flush()) return {};
    return size_object(size);
  });
}

}  // namespace vamra::native
