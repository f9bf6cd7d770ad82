// The descriptor writer, and the module functions that write packets with it:
// `write` (a list of buffers) and `write_value` (a value, streamed).
#include "writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <limits>

#include "buffer.hpp"
#include "errors.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "options.hpp"
#include "vamra/bundle.hpp"

#ifndef IOV_MAX
#define IOV_MAX 1024
#endif

namespace vamra::writer {

namespace {

// One writev call moves at most this much: the kernel stops short of 2 GiB
// anyway, and the sum of a batch must not overflow ssize_t.
constexpr std::size_t MAX_BATCH_BYTES = std::size_t{1} << 30;

// A range at least this long is written by a call of its own. The kernel
// copies a single range into the page cache (as one user buffer, in large
// folios where the file system has them) at about twice the speed it copies
// the same bytes gathered from many ranges; small ranges (headers, padding)
// still go out together.
constexpr std::size_t ALONE_FROM = std::size_t{256} << 10;

void raise_os_error(int error) {
  errno = error;
  PyErr_SetFromErrno(PyExc_OSError);
}

}  // namespace

void Writer::add(const void* data, std::size_t length) {
  if (length == 0) return;
  auto* base = const_cast<void*>(data);
  // Ranges adjacent in memory (runs of small bytes) go out as one.
  if (!queue_.empty()) {
    iovec& last = queue_.back();
    if (static_cast<char*>(last.iov_base) + last.iov_len == base) {
      last.iov_len += length;
      position_ += length;
      return;
    }
  }
  queue_.push_back(iovec{base, length});
  position_ += length;
}

bool Writer::flush() {
  std::size_t next = 0;  // first range not completely written
  while (next < queue_.size()) {
    int count = 0;
    std::size_t bytes = 0;
    while (next + count < queue_.size() && count < IOV_MAX &&
           (count == 0 || (bytes + queue_[next + count].iov_len <= MAX_BATCH_BYTES &&
                           queue_[next + count].iov_len < ALONE_FROM))) {
      bytes += queue_[next + count].iov_len;
      ++count;
      if (bytes >= ALONE_FROM) break;  // a large range ends its batch too
    }
    // A single range above the batch limit goes out in pieces.
    const std::size_t whole = queue_[next].iov_len;
    if (count == 1 && whole > MAX_BATCH_BYTES) {
      queue_[next].iov_len = MAX_BATCH_BYTES;
      bytes = MAX_BATCH_BYTES;
    }
    ssize_t n = 0;
    int error = 0;
    {
      py::AllowThreads unlocked;
      n = ::writev(fd_, &queue_[next], count);
      if (n < 0) error = errno;
    }
    queue_[next].iov_len = whole;
    if (n < 0) {
      // Interrupted: run the signal handlers, as Python's own writes do;
      // one that raises ends the write, otherwise it resumes.
      if (error == EINTR) {
        if (PyErr_CheckSignals() < 0) return false;
        continue;
      }
      raise_os_error(error);
      return false;
    }
    if (n == 0) return errors::raise(PyExc_OSError, messages::WRITE_INCOMPLETE);
    flushed_ += static_cast<std::size_t>(n);
    std::size_t done = static_cast<std::size_t>(n);
    while (done > 0 && done >= queue_[next].iov_len) {
      done -= queue_[next].iov_len;
      ++next;
    }
    if (done > 0) {
      queue_[next].iov_base = static_cast<char*>(queue_[next].iov_base) + done;
      queue_[next].iov_len -= done;
    }
    // A signal that arrives after some bytes went out shortens the write
    // instead of failing it: its handlers run here before the rest is sent.
    if (static_cast<std::size_t>(n) < bytes && PyErr_CheckSignals() < 0) return false;
  }
  queue_.clear();
  return true;
}

namespace {

using stream::SegmentKind;

// Compresses a deferred body with the interpreter lock released: the codec
// touches only the pinned array memory.
Result<stream::CompressedBody> compress(const stream::DeferredBody& body) {
  py::AllowThreads unlocked;
  return stream::compress_body(body.view, body.alignment);
}

// For descriptors that cannot seek: every length field measured ahead, by
// compressing each deferred body once and keeping only its length.
bool measure_fields(const stream::Stream& stream, std::vector<std::size_t>& lengths) {
  std::vector<std::size_t> deferred(stream.deferred.size());
  for (std::size_t i = 0; i < stream.deferred.size(); ++i) {
    const auto frame = compress(stream.deferred[i]);
    if (!frame) {
      errors::raise(frame.error());
      return false;
    }
    deferred[i] = frame->frame.size() + (stream.deferred[i].check_integrity ? FOOTER_LEN : 0);
  }
  lengths.assign(stream.fields, 0);
  std::vector<std::pair<std::size_t, std::size_t>> open;  // (field, position after it)
  std::size_t position = 0;
  for (const auto& segment : stream.segments) {
    switch (segment.kind) {
      case SegmentKind::Inline:
      case SegmentKind::View:
        position += segment.length;
        break;
      case SegmentKind::Frame:
        position += deferred[segment.index];
        break;
      case SegmentKind::Open:
        position += 4;
        open.emplace_back(segment.index, position);
        break;
      case SegmentKind::Close:
        lengths[segment.index] = position - open.back().second;
        open.pop_back();
        break;
    }
  }
  return true;
}

bool length_fits(std::size_t length) {
  return length <= MAX_LENGTH_FIELD ||
         errors::raise(PyExc_ValueError, messages::LENGTH_FIELD_OVERFLOW,
                       messages::BUNDLE_VALUE_PACKET, length);
}

}  // namespace

bool write_stream(Writer& writer, const stream::Stream& stream, bool seekable, long long base) {
  std::vector<std::size_t> measured;
  if (!seekable && stream.fields > 0 && !stream.deferred.empty()) {
    if (!measure_fields(stream, measured)) return false;
  }
  // Length fields live here until written (patched in place while queued).
  std::vector<std::array<std::byte, 4>> fields(stream.fields);
  std::vector<std::size_t> field_position(stream.fields, 0);
  stream::CompressedBody frame;
  std::array<std::byte, FOOTER_LEN> footer{};
  const auto* arena = reinterpret_cast<const std::byte*>(stream.arena.data());
  for (const auto& segment : stream.segments) {
    switch (segment.kind) {
      case SegmentKind::Inline:
        writer.add(arena + segment.offset, segment.length);
        break;
      case SegmentKind::View:
        writer.add(segment.data, segment.length);
        break;
      case SegmentKind::Frame: {
        // Only one compressed body is held at a time: what is queued (which
        // may point into the previous one) goes out first.
        if (!writer.flush()) return false;
        const auto& body = stream.deferred[segment.index];
        auto compressed = compress(body);
        if (!compressed) {
          errors::raise(compressed.error());
          return false;
        }
        frame = std::move(*compressed);
        writer.add(frame.frame.data(), frame.frame.size());
        if (body.check_integrity) {
          store_u64(footer.data(), stream::footer_hash(frame.frame));
          writer.add(footer.data(), FOOTER_LEN);
          if (!writer.flush()) return false;  // the footer buffer is reused
        }
        break;
      }
      case SegmentKind::Open:
        field_position[segment.index] = writer.position();
        if (!measured.empty()) {
          if (!length_fits(measured[segment.index])) return false;
          set_bundle_value_length(fields[segment.index].data(), measured[segment.index]);
        }
        writer.add(fields[segment.index].data(), 4);
        break;
      case SegmentKind::Close: {
        if (!measured.empty()) break;
        const std::size_t start = field_position[segment.index];
        const std::size_t length = writer.position() - start - 4;
        if (!length_fits(length)) return false;
        set_bundle_value_length(fields[segment.index].data(), length);
        if (start + 4 <= writer.flushed()) {
          const ssize_t n = ::pwrite(writer.fd(), fields[segment.index].data(), 4,
                                     static_cast<off_t>(base + static_cast<long long>(start)));
          if (n != 4) {
            if (n < 0) {
              raise_os_error(errno);
              return false;
            }
            return errors::raise(PyExc_OSError, messages::WRITE_INCOMPLETE);
          }
        }
        break;
      }
    }
  }
  return writer.flush();
}

}  // namespace vamra::writer

namespace vamra::native {

namespace {

// Whether positioned writes may patch `fd` (O_APPEND would make pwrite append).
bool can_patch(int fd, long long& position) {
  const off_t at = ::lseek(fd, 0, SEEK_CUR);
  if (at < 0) return false;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_APPEND) != 0) return false;
  position = at;
  return true;
}

}  // namespace

PyObject* pieces(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(PIECES, args, kwargs, [](const frame::Args& a) -> py::Ref {
    stream::Options options;
    if (!stream_options<PIECES>(a, 1, options)) return {};
    stream::Stream planned;
    if (!stream::build(a[0], options, planned)) return {};
    return stream::to_pieces(planned);
  });
}

PyObject* write(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(WRITE, args, kwargs, [](const frame::Args& a) -> py::Ref {
    std::int32_t fd = 0;
    if (!a.get(0, fd, frame::to_i32)) return {};
    py::Ref sequence = py::Ref::steal(PySequence_Fast(a[1], messages::PIECES_NOT_A_SEQUENCE));
    if (!sequence) return {};
    const Py_ssize_t count = PySequence_Size(sequence.get());
    if (count < 0) return {};
    std::vector<buffer::Pin> pins(static_cast<std::size_t>(count));
    writer::Writer out(fd);
    for (Py_ssize_t i = 0; i < count; ++i) {
      py::Ref item = py::Ref::steal(PySequence_GetItem(sequence.get(), i));
      auto& pin = pins[static_cast<std::size_t>(i)];
      if (!item || !pin.acquire(item.get(), PyBUF_SIMPLE)) return {};
      out.add(pin.data(), pin.size());
    }
    if (!out.flush()) return {};
    return py::Ref::steal(PyLong_FromSize_t(out.flushed()));
  });
}

PyObject* start_writeback(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(START_WRITEBACK, args, kwargs, [](const frame::Args& a) -> py::Ref {
    std::int32_t fd = 0;
    std::size_t offset = 0;
    std::size_t length = 0;
    if (!a.get(0, fd, frame::to_i32) || !a.get(1, offset, frame::to_size) ||
        !a.get(2, length, frame::to_size)) {
      return {};
    }
    bool started = true;
#if defined(__linux__)
    int result = 0;
    int error = 0;
    {
      // Queues the range for writeback and returns: the pages are written while
      // the caller goes on (a rename over another file later finds them clean).
      py::AllowThreads unlocked;
      result = ::sync_file_range(fd, static_cast<off64_t>(offset), static_cast<off64_t>(length),
                                 SYNC_FILE_RANGE_WRITE);
      if (result != 0) error = errno;
    }
    if (result != 0) {
      if (error != EINVAL && error != ESPIPE && error != ENOSYS && error != EOPNOTSUPP) {
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        return {};
      }
      started = false;
    }
#else
    static_cast<void>(fd);
    started = false;
#endif
    return py::Ref::steal(PyBool_FromLong(started ? 1 : 0));
  });
}

PyObject* preallocate(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(PREALLOCATE, args, kwargs, [](const frame::Args& a) -> py::Ref {
    std::int32_t fd = 0;
    std::size_t size = 0;
    if (!a.get(0, fd, frame::to_i32) || !a.get(1, size, frame::to_size)) return {};
    bool done = false;
#if defined(__linux__)
    if (size > 0 && size <= static_cast<std::size_t>(std::numeric_limits<off64_t>::max())) {
      int result = 0;
      int error = 0;
      {
        // Extents allocated up front (unwritten until written): the writes
        // that follow reserve no delayed blocks, and a rename over another
        // file finds none to allocate. Never emulated by writing zeros.
        py::AllowThreads unlocked;
        result = ::fallocate(fd, 0, 0, static_cast<off64_t>(size));
        if (result != 0) error = errno;
      }
      if (result != 0 && error != EOPNOTSUPP && error != ENOSYS && error != EINVAL &&
          error != ENODEV && error != ESPIPE) {
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        return {};
      }
      done = result == 0;
    }
#else
    static_cast<void>(fd);
#endif
    return py::Ref::steal(PyBool_FromLong(done ? 1 : 0));
  });
}

PyObject* write_value(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(WRITE_VALUE, args, kwargs, [](const frame::Args& a) -> py::Ref {
    std::int32_t fd = 0;
    if (!a.get(0, fd, frame::to_i32)) return {};
    stream::Options options;
    if (!stream_options<WRITE_VALUE>(a, 2, options)) return {};
    long long base = 0;
    const bool seekable = can_patch(fd, base);
    // Compressing while writing bounds the memory by the largest compressed
    // body; without a seekable descriptor the lengths are measured first.
    options.defer_compression = options.encode.compress;
    stream::Stream planned;
    if (!stream::build(a[1], options, planned)) return {};
    writer::Writer out(fd);
    if (!writer::write_stream(out, planned, seekable, base)) return {};
    return py::Ref::steal(PyLong_FromSize_t(out.flushed()));
  });
}

}  // namespace vamra::native
