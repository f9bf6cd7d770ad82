// dumps_rs, dump_to_buffer_rs, dump_to_fd_rs and encode_bundle_rs: one plan,
// three destinations (a new bytes object, the caller's buffer, a descriptor).
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "buffer.hpp"
#include "errors.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "options.hpp"
#include "plan.hpp"
#include "vamra/bundle.hpp"

namespace vamra::api {

namespace {

// A new bytes object holding the planned packet.
py::Ref packet_bytes(const plan::Plan& plan) {
  if (const OwnedBytes* packet = plan.finished()) {
    return py::Ref::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(packet->data.get()), static_cast<Py_ssize_t>(packet->size)));
  }
  if (plan.size > errors::MAX_PACKET_SIZE) return errors::packet_too_large(plan.size);
  py::Ref bytes =
      py::Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan.size)));
  if (!bytes) return {};
  // Every byte of the packet is written, padding included, so the new object
  // needs no clearing first.
  auto* data = reinterpret_cast<std::byte*>(PyBytes_AsString(bytes.get()));
  buffer::prefault(data, plan.size);
  if (!plan.write({data, plan.size})) return {};
  return bytes;
}

struct WriteOutcome {
  int error = 0;            // errno of the failed write, 0 when none
  bool zero_write = false;  // write() reported 0 bytes written
  bool raised = false;      // a signal handler raised; its exception is set
};

// Writes all of `data` to `fd`, continuing partial writes. Called with the
// interpreter lock, which it releases while writing. A signal ends a blocked
// write early (EINTR, or a short count once some bytes went out): the lock is
// then taken back to run the signal handlers before blocking again, as
// Python's own writes do, and a handler that raises ends the loop.
WriteOutcome write_all(int fd, const std::byte* data, std::size_t length) {
  WriteOutcome outcome;
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = 0;
    int error = 0;
    {
      const py::AllowThreads unlocked;
      n = ::write(fd, data + done, length - done);
      error = errno;
    }
    if (n < 0 && error != EINTR) {
      outcome.error = error;
      return outcome;
    }
    if (n == 0) {
      outcome.zero_write = true;
      return outcome;
    }
    if (n > 0) done += static_cast<std::size_t>(n);
    if (done < length && PyErr_CheckSignals() != 0) {
      outcome.raised = true;
      return outcome;
    }
  }
  return outcome;
}

std::string os_error_text(int error) {
  char buffer[256];
  // The GNU variant may return a static string instead of filling the buffer.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return messages::format(messages::OS_ERROR, text, error);
}

}  // namespace

PyObject* dumps_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(DUMPS_RS, args, kwargs, [](const frame::Args& a) -> py::Ref {
    EncodeOptions options;
    if (!options::read<DUMPS_RS>(a, options)) return {};
    if (!options::check_alignment(options)) return {};
    plan::Plan plan;
    if (!plan::value(a[0], options, 0, plan)) return {};
    return packet_bytes(plan);
  });
}

PyObject* dump_to_buffer_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(DUMP_TO_BUFFER_RS, args, kwargs, [](const frame::Args& a) -> py::Ref {
    EncodeOptions options;
    if (!options::read<DUMP_TO_BUFFER_RS>(a, options)) return {};
    buffer::ByteBuffer target;
    if (!target.acquire(a[1])) return {};
    if (target.readonly()) return errors::raise(PyExc_ValueError, messages::BUFFER_READ_ONLY);
    if (!options::check_alignment(options)) return {};
    plan::Plan plan;
    if (!plan::value(a[0], options, 0, plan)) return {};
    const auto out = target.writable_bytes();
    if (out.size() < plan.size) return errors::raise(CodecError{ErrorKind::BufferTooSmall});
    const auto packet = out.first(plan.size);
    if (!plan.reads_from(packet)) {
      if (!plan.write(packet)) return {};
    } else {
      // The value views bytes the packet overwrites (a loaded packet written
      // back into its own buffer): encode it aside, then copy it in.
      const std::unique_ptr<std::byte[]> staged(new std::byte[plan.size]);
      if (!plan.write({staged.get(), plan.size})) return {};
      std::memcpy(packet.data(), staged.get(), plan.size);
    }
    return py::Ref::steal(PyLong_FromSize_t(plan.size));
  });
}

PyObject* dump_to_fd_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(DUMP_TO_FD_RS, args, kwargs, [](const frame::Args& a) -> py::Ref {
    std::int32_t fd = 0;
    if (!a.get(1, fd, frame::to_i32)) return {};
    EncodeOptions options;
    if (!options::read<DUMP_TO_FD_RS>(a, options)) return {};
    if (!options::check_alignment(options)) return {};
    bool contiguous = false;
    if (!extract::c_contiguous(a[0], contiguous)) return {};
    if (!contiguous) {
      return errors::raise(PyExc_ValueError, messages::FD_ARRAY_NOT_CONTIGUOUS);
    }
    plan::Plan plan;
    if (!plan::dense(a[0], options, plan)) return {};

    // The packet goes out from memory the call owns, so the interpreter lock
    // can be released while the descriptor blocks.
    OwnedBytes region;
    const OwnedBytes* packet = plan.finished();
    if (packet == nullptr) {
      region.data.reset(new std::byte[plan.size]);
      region.size = plan.size;
      buffer::prefault(region.data.get(), region.size);
      if (!plan.write({region.data.get(), region.size})) return {};
      packet = &region;
    }
    if (fd == -1) return errors::internal(messages::FD_IS_MINUS_ONE);
    // A signal that came while encoding is handled before the write can block.
    if (PyErr_CheckSignals() != 0) return {};
    const WriteOutcome outcome = write_all(fd, packet->data.get(), packet->size);
    if (outcome.raised) return {};
    if (outcome.zero_write) return errors::raise(PyExc_OSError, messages::WRITE_INCOMPLETE);
    if (outcome.error != 0) {
      py::Ref error = py::Ref::steal(
          PyObject_CallFunction(PyExc_OSError, "s", os_error_text(outcome.error).c_str()));
      if (error) PyErr_SetObject(PyExc_OSError, error.get());
      return {};
    }
    return py::Ref::steal(PyLong_FromSize_t(plan.size));
  });
}

namespace {

struct OwnedEntry {
  std::string key;
  std::vector<std::byte> value;
};

// The `entries` argument: a sequence of (str, sequence of byte values) pairs.
bool convert_entries(PyObject* object, std::vector<OwnedEntry>& out) {
  Py_ssize_t length = 0;
  if (!extract::sequence_length(object, length)) return false;
  out.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    py::Ref item = py::Ref::steal(PySequence_GetItem(object, i));
    if (!item) return false;
    if (!PyTuple_Check(item.get())) {
      return errors::raise(PyExc_TypeError, messages::CANNOT_CONVERT, py::type_name(item.get()),
                           "PyTuple");
    }
    const Py_ssize_t size = PyTuple_Size(item.get());
    if (size != 2) return errors::raise(PyExc_ValueError, messages::ENTRY_NOT_A_PAIR, size);
    OwnedEntry entry;
    std::string_view key;
    if (!extract::text(PyTuple_GetItem(item.get(), 0), key)) return false;
    entry.key.assign(key);
    if (!extract::byte_list(PyTuple_GetItem(item.get(), 1), entry.value)) return false;
    out.push_back(std::move(entry));
  }
  return true;
}

}  // namespace

PyObject* encode_bundle_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(ENCODE_BUNDLE_RS, args, kwargs, [](const frame::Args& a) -> py::Ref {
    std::vector<OwnedEntry> owned;
    if (!a.get(0, owned, convert_entries)) return {};
    if (owned.size() > MAX_BUNDLE_ENTRIES) {
      return errors::raise(CodecError{ErrorKind::TooManyBundleEntries});
    }
    std::vector<BundleItem> items;
    items.reserve(owned.size());
    for (const OwnedEntry& entry : owned) {
      if (!plan::bundle_entry_fits(entry.key.size(), entry.value.size())) return {};
      items.push_back(
          BundleItem{{reinterpret_cast<const std::byte*>(entry.key.data()), entry.key.size()},
                     {entry.value.data(), entry.value.size()}});
    }
    const auto size = bundle_required_size(items);
    if (!size) return errors::raise(size.error());
    if (*size > errors::MAX_PACKET_SIZE) return errors::packet_too_large(*size);
    py::Ref bytes =
        py::Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*size)));
    if (!bytes) return {};
    const auto written = encode_bundle_into(
        items, {reinterpret_cast<std::byte*>(PyBytes_AsString(bytes.get())), *size});
    if (!written) return errors::raise(written.error());
    return bytes;
  });
}

}  // namespace vamra::api
