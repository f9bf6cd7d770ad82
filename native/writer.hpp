// Vectored writes to a file descriptor with the interpreter lock released
// while the descriptor blocks.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <vector>

#include "errors.hpp"
#include "frame.hpp"
#include "options.hpp"
#include "stream.hpp"

namespace vamra::writer {

// Queues byte ranges and writes them with writev, in batches of at most
// IOV_MAX ranges, continuing partial writes. The queued memory must stay valid
// and unmoved until flush() returns. EINTR is handled as Python's own I/O
// does: the lock is taken back, pending signal handlers run, and the write
// stops if one raises, else resumes.
class Writer {
 public:
  explicit Writer(int fd) : fd_(fd) {}

  void add(const void* data, std::size_t length);
  // Writes everything queued. False with a Python exception set on failure.
  bool flush();
  // Bytes queued so far, written or not.
  std::size_t position() const { return position_; }
  // Bytes actually written.
  std::size_t flushed() const { return flushed_; }
  int fd() const { return fd_; }

 private:
  int fd_;
  std::vector<iovec> queue_;
  std::size_t position_ = 0;
  std::size_t flushed_ = 0;
};

// Writes a planned stream. Deferred bodies are compressed one at a time, just
// before they are written; length fields that depend on them are patched with
// pwrite at `base` + their offset, which needs a seekable descriptor
// (`seekable`); otherwise their lengths are measured in a first pass that
// compresses each deferred body once more. Returns false with a Python
// exception set on failure.
bool write_stream(Writer& writer, const stream::Stream& stream, bool seekable, long long base);

}  // namespace vamra::writer

namespace vamra::native {

// The stream options from the arguments of a call to `FUNCTION`: the encoding
// options, and the companion hooks at `hooks` (types, then encoder; None for
// none).
template <const auto& FUNCTION>
bool stream_options(const frame::Args& args, std::size_t hooks, stream::Options& out) {
  if (!options::read<FUNCTION>(args, out.encode) || !options::check_alignment(out.encode)) {
    return false;
  }
  PyObject* types = args[hooks];
  PyObject* encoder = args[hooks + 1];
  if (types != Py_None) {
    if (!PyCallable_Check(encoder)) {
      return errors::raise(PyExc_TypeError, messages::COMPANION_ENCODER_REQUIRED);
    }
    out.companion_types = types;
    out.encode_companion = encoder;
  }
  return true;
}

}  // namespace vamra::native
