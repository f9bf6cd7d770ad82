// String tensors to and from Python lists in one native pass each: the
// offsets table and payload of StringTensor.from_list, and the list of
// StringTensor.tolist. Results and errors are those of the Python
// implementations in vamra/ragged.py, which remain as the fallback.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "buffer.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "numpy_api.hpp"

namespace vamra::native {

namespace {

// The offsets table (count + 1 entries, a leading 0), a new uint64 array.
class Offsets {
 public:
  bool start(std::size_t count) {
    PyObject* dtype = numpy_api::dtype_of(Dtype::UInt64);
    if (dtype == nullptr) return false;
    const numpy_api::Intp dims[] = {static_cast<numpy_api::Intp>(count + 1)};
    array_ = numpy_api::new_array(dtype, dims);
    if (!array_ || !memory_.acquire(array_.get(), PyBUF_WRITABLE)) return false;
    if (memory_.size() != 8 * (count + 1)) return errors::internal(messages::WRONG_ARRAY_SIZE);
    table_ = reinterpret_cast<std::uint64_t*>(memory_.mutable_data());
    table_[0] = 0;
    return true;
  }
  void set_end(std::size_t index, std::uint64_t end) { table_[index + 1] = end; }
  py::Ref finish() {
    memory_.release();
    return std::move(array_);
  }

 private:
  py::Ref array_;
  buffer::Pin memory_;
  std::uint64_t* table_ = nullptr;
};

// The bytes of each item, gathered before the payload is made at its final
// size. Items are read where they lie: the UTF-8 of a str (CPython keeps it
// with a non-ASCII str once asked for, as it does when pickle writes one), the
// contents of a bytes object. Bytes-like items are first copied into bytes, as
// bytes(item) does.
class Pieces {
 public:
  explicit Pieces(std::size_t count) { pieces_.reserve(count); }

  // Adds `item`. Returns false with an exception set on failure (such as a str
  // that UTF-8 cannot encode: UnicodeEncodeError, as str.encode raises it),
  // and false without one for an item that only the Python implementation
  // handles exactly: subclasses of str and bytes, whose methods it calls, and
  // every other type, which it refuses.
  bool add(PyObject* item) {
    Py_ssize_t size = 0;
    const char* data = nullptr;
    if (PyUnicode_CheckExact(item)) {
      data = PyUnicode_AsUTF8AndSize(item, &size);
    } else if (PyBytes_CheckExact(item)) {
      data = PyBytes_AsString(item);
      size = PyBytes_Size(item);
    } else if (PyByteArray_CheckExact(item) || PyMemoryView_Check(item)) {
      py::Ref copy = py::Ref::steal(PyObject_Bytes(item));
      if (!copy) return false;
      data = PyBytes_AsString(copy.get());
      size = PyBytes_Size(copy.get());
      copies_.push_back(std::move(copy));
    } else {
      return false;
    }
    if (data == nullptr) return false;
    pieces_.push_back({data, static_cast<std::size_t>(size)});
    total_ += static_cast<std::size_t>(size);
    return true;
  }

  std::size_t total() const { return total_; }

  // The payload: every piece, in order.
  py::Ref join() const {
    py::Ref payload =
        py::Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total_)));
    if (!payload) return {};
    char* out = PyBytes_AsString(payload.get());
    for (const Piece& piece : pieces_) {
      if (piece.size != 0) std::memcpy(out, piece.data, piece.size);
      out += piece.size;
    }
    return payload;
  }

 private:
  struct Piece {
    const char* data;
    std::size_t size;
  };
  std::vector<Piece> pieces_;
  std::vector<py::Ref> copies_;  // bytes made from bytes-like items
  std::size_t total_ = 0;
};

// Whether every byte is below 0x80, eight at a time.
bool is_ascii(const char* text, std::size_t size) {
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text + i, 8);
    if ((word & 0x8080808080808080u) != 0) return false;
  }
  for (; i < size; ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  }
  return true;
}

// The offsets argument: a C-contiguous buffer of unsigned 64-bit integers.
bool offsets_table(PyObject* object, Py_buffer& view) {
  if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) return false;
  const char* format = view.format != nullptr ? view.format : "B";
  if (*format == '<' || *format == '=' || *format == '@') ++format;
  const bool u64 = view.itemsize == 8 && (std::strcmp(format, "Q") == 0 ||
                                          (sizeof(long) == 8 && std::strcmp(format, "L") == 0));
  if (!u64) {
    PyBuffer_Release(&view);
    return errors::raise(PyExc_TypeError, messages::OFFSETS_NOT_UINT64);
  }
  return true;
}

}  // namespace

PyObject* strings_from_list(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(STRINGS_FROM_LIST, args, kwargs, [](const frame::Args& a) -> py::Ref {
    PyObject* items = a[0];
    const bool list = PyList_Check(items);
    if (!list && !PyTuple_Check(items)) {
      return errors::raise(PyExc_TypeError, messages::ITEMS_NOT_LIST);
    }
    const Py_ssize_t count = list ? PyList_Size(items) : PyTuple_Size(items);
    Offsets offsets;
    if (!offsets.start(static_cast<std::size_t>(count))) return {};
    // No Python code runs from here on (only str, bytes, bytearray and
    // memoryview items are read), so a list cannot change under the loop.
    Pieces pieces(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = list ? PyList_GetItem(items, i) : PyTuple_GetItem(items, i);
      if (item == nullptr || !pieces.add(item)) {
        return PyErr_Occurred() ? py::Ref() : py::Ref::borrow(Py_None);
      }
      offsets.set_end(static_cast<std::size_t>(i), pieces.total());
    }
    py::Ref payload = pieces.join();
    if (!payload) return {};
    py::Ref table = offsets.finish();
    return py::Ref::steal(PyTuple_Pack(2, table.get(), payload.get()));
  });
}

PyObject* strings_to_list(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(STRINGS_TO_LIST, args, kwargs, [](const frame::Args& a) -> py::Ref {
    Py_buffer table{};
    if (!offsets_table(a[0], table)) return {};
    const std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&table, PyBuffer_Release);
    buffer::Pin payload;
    if (!payload.acquire(a[1], PyBUF_SIMPLE)) return {};
    const auto* bounds = static_cast<const std::uint64_t*>(table.buf);
    const std::size_t entries = static_cast<std::size_t>(table.len) / 8;
    const std::size_t count = entries > 0 ? entries - 1 : 0;
    const auto* text = reinterpret_cast<const char*>(payload.data());
    const bool ascii = is_ascii(text, payload.size());
    py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return {};
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t start = bounds[i];
      const std::uint64_t end = bounds[i + 1];
      if (start > end || end > payload.size()) {
        return errors::raise(PyExc_ValueError, messages::OFFSETS_OUT_OF_ORDER);
      }
      const auto length = static_cast<Py_ssize_t>(end - start);
      PyObject* item = ascii ? PyUnicode_DecodeLatin1(text + start, length, nullptr)
                             : PyUnicode_DecodeUTF8(text + start, length, nullptr);
      if (item == nullptr) return {};
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals it
    }
    return list;
  });
}

}  // namespace vamra::native
