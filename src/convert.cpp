#include "convert.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "buffer.hpp"
#include "errors.hpp"
#include "numpy_api.hpp"
#include "vamra/decode.hpp"
#include "vamra/dense.hpp"
#include "vamra/sparse.hpp"

namespace vamra::convert {

namespace {

// Result of converting one decoded value: an object, or the "not converted"
// marker (ragged and fixed-record packets), which makes the whole load None.
struct Converted {
  py::Ref object;
  bool not_converted = false;
  bool failed() const { return !object && !not_converted; }
};

Converted marker() { return Converted{{}, true}; }

// The dimensions as a new list or tuple of ints.
template <PyObject* (*New)(Py_ssize_t), int (*Set)(PyObject*, Py_ssize_t, PyObject*)>
py::Ref extents(const Shape& shape) {
  py::Ref sequence = py::Ref::steal(New(static_cast<Py_ssize_t>(shape.size())));
  if (!sequence) return {};
  for (std::size_t i = 0; i < shape.size(); ++i) {
    PyObject* extent = PyLong_FromUnsignedLong(shape[i]);
    if (extent == nullptr) return {};
    Set(sequence.get(), static_cast<Py_ssize_t>(i), extent);  // steals the extent
  }
  return sequence;
}

py::Ref shape_list(const Shape& shape) { return extents<PyList_New, PyList_SetItem>(shape); }
py::Ref shape_tuple(const Shape& shape) { return extents<PyTuple_New, PyTuple_SetItem>(shape); }

py::Ref bytes_of(ByteSpan span) {
  return py::Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(span.data()),
                                                  static_cast<Py_ssize_t>(span.size())));
}

py::Ref call_method(PyObject* object, const char* name, PyObject* argument) {
  py::Ref method = py::getattr(object, name);
  if (!method) return {};
  return py::Ref::steal(argument != nullptr
                            ? PyObject_CallFunctionObjArgs(method.get(), argument, nullptr)
                            : PyObject_CallNoArgs(method.get()));
}

// Whether a sparse component may be handed to SciPy's constructors: a
// one-dimensional array, as every writer stores them. Ragged and fixed-record
// components stay the "not converted" marker, as everywhere else.
bool valid_component(const Decoded& component) {
  if (const auto* dense = std::get_if<Dense>(&component)) return dense->shape.size() == 1;
  if (const auto* dense = std::get_if<CompressedDense>(&component)) {
    return dense->shape.size() == 1;
  }
  return std::holds_alternative<Ragged>(component) ||
         std::holds_alternative<FixedRecord>(component);
}

class Converter {
 public:
  Converter(PyObject* source, const std::byte* base, const Options& options)
      : source_(source), base_(base), options_(options) {}

  Converted convert(const Decoded& value) {
    return std::visit([this](const auto& v) { return this->from(v); }, value);
  }

 private:
  PyObject* dtype_object(Dtype dtype) { return dtype_for(dtype, options_, bfloat16_); }

  // What views keep alive: the source itself when it is immutable bytes, else
  // one memoryview of it for the whole load, whose buffer export also keeps
  // the source from being resized while any view lives.
  PyObject* view_base() {
    if (PyBytes_CheckExact(source_)) return source_;
    if (!memory_) memory_ = py::Ref::steal(PyMemoryView_FromObject(source_));
    return memory_.get();
  }

  Converted from(const Dense& value) {
    PyObject* dtype = dtype_object(value.dtype);
    if (dtype == nullptr) return {};
    const numpy_api::Api* api = numpy_api::api();
    if (api == nullptr) return PyErr_Occurred() ? Converted{} : python_view(value, dtype);
    numpy_api::Intp dims[MAX_NDIM];
    for (std::size_t i = 0; i < value.shape.size(); ++i) dims[i] = value.shape[i];
    PyObject* base = view_base();
    if (base == nullptr) return {};
    // The codec has checked that the data lies inside the source.
    void* data = const_cast<std::byte*>(value.data.data());
    if (options_.aligned && !is_aligned(data, item_size(value.dtype))) {
      return {copy_of(data, value.data.size(), dtype, {dims, value.shape.size()})};
    }
    return {
        numpy_api::view(*api, dtype, {dims, value.shape.size()}, data, options_.writable, base)};
  }

  // numpy.frombuffer(source, dtype=, count=, offset=).reshape(shape), made
  // read-only unless asked otherwise.
  Converted python_view(const Dense& value, PyObject* dtype) {
    py::Ref frombuffer = py::import_attribute("numpy", "frombuffer");
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    std::uint64_t count = 1;
    for (const std::uint32_t extent : value.shape) count *= extent;
    py::Ref count_object = py::Ref::steal(PyLong_FromUnsignedLongLong(count));
    py::Ref offset =
        py::Ref::steal(PyLong_FromSize_t(static_cast<std::size_t>(value.data.data() - base_)));
    if (!frombuffer || !kwargs || !count_object || !offset ||
        PyDict_SetItemString(kwargs.get(), "dtype", dtype) != 0 ||
        PyDict_SetItemString(kwargs.get(), "count", count_object.get()) != 0 ||
        PyDict_SetItemString(kwargs.get(), "offset", offset.get()) != 0) {
      return {};
    }
    py::Ref args = py::Ref::steal(PyTuple_Pack(1, source_));
    if (!args) return {};
    py::Ref flat = py::Ref::steal(PyObject_Call(frombuffer.get(), args.get(), kwargs.get()));
    if (!flat) return {};
    py::Ref shape = shape_list(value.shape);
    if (!shape) return {};
    py::Ref array = call_method(flat.get(), "reshape", shape.get());
    if (!array) return {};
    if (!options_.writable) {
      py::Ref flags = py::getattr(array.get(), "flags");
      if (!flags || PyObject_SetAttrString(flags.get(), "writeable", Py_False) != 0) return {};
    }
    return {std::move(array)};
  }

  // A new array of `shape` that owns its memory.
  static py::Ref empty(const Shape& shape, PyObject* dtype) {
    numpy_api::Intp dims[MAX_NDIM];
    for (std::size_t i = 0; i < shape.size(); ++i) dims[i] = shape[i];
    return numpy_api::new_array(dtype, {dims, shape.size()});
  }

  // A new one-dimensional array holding a copy of `bytes`, as
  // numpy.frombuffer(bytes(span), dtype).copy() makes it.
  py::Ref owned(ByteSpan bytes, Dtype dtype) {
    PyObject* descr = numpy_api::dtype_of(dtype);
    if (descr == nullptr) return {};
    const std::size_t size = item_size(dtype);
    if (bytes.size() % size != 0) return errors::raise(PyExc_ValueError, messages::PARTIAL_ELEMENT);
    const Shape shape{static_cast<std::uint32_t>(bytes.size() / size)};
    py::Ref array = empty(shape, descr);
    if (!array || !fill(array.get(), bytes)) return {};
    return array;
  }

  // Copies `bytes` into the memory of a new array of exactly that size.
  static bool fill(PyObject* array, ByteSpan bytes) {
    buffer::Pin target;
    if (!target.acquire(array, PyBUF_WRITABLE)) return false;
    if (target.size() != bytes.size()) return errors::internal(messages::WRONG_ARRAY_SIZE);
    if (!bytes.empty()) std::memcpy(target.mutable_data(), bytes.data(), bytes.size());
    return true;
  }

  // A compressed body is decompressed straight into a new NumPy array.
  Converted from(const CompressedDense& value) {
    PyObject* dtype = dtype_object(value.dtype);
    if (dtype == nullptr) return {};
    py::Ref array = empty(value.shape, dtype);
    if (!array) return {};
    buffer::Pin target;
    if (!target.acquire(array.get(), PyBUF_WRITABLE)) return {};
    if (target.size() != value.size) return {errors::internal(messages::WRONG_ARRAY_SIZE)};
    const auto produced = decompress_into(value, {target.mutable_data(), value.size});
    if (!produced) return {errors::raise(produced.error())};
    return {std::move(array)};
  }

  Converted from(const Sparse& value) {
    py::Ref scipy = py::import("scipy.sparse");
    if (!scipy) {
      PyErr_Clear();
      return {errors::raise(PyExc_ImportError, messages::SCIPY_REQUIRED)};
    }
    // A matrix has dimensions; SciPy meets an empty shape with a TypeError
    // about a missing argument (COO) or an empty max() (CSR, CSC). Other
    // dimension counts get SciPy's own clear ValueError.
    if (value.shape.empty()) return {errors::raise(CodecError{ErrorKind::Malformed})};
    std::vector<py::Ref> parts;
    for (const Decoded& component : value.components) {
      // The codec reads any packet as a component; SciPy takes arrays only.
      if (!valid_component(component)) return {errors::raise(CodecError{ErrorKind::Malformed})};
      Converted part = convert(component);
      if (part.not_converted) return marker();
      if (part.failed()) return {};
      parts.push_back(std::move(part.object));
    }
    if (parts.size() != 3) return marker();
    // SciPy trusts the indices it is given: one outside the shape makes its
    // kernels (toarray, products, sums) write outside their arrays. Nothing
    // that checks a packet covers them (a sparse packet has no footer), so
    // they are checked here, before SciPy sees them.
    if (!sound(value, parts)) return {};
    py::Ref shape = shape_tuple(value.shape);
    if (!shape) return {};
    py::Ref data;
    const char* constructor = "csc_matrix";
    if (value.format == SparseFormat::Coo) {
      constructor = "coo_matrix";
      py::Ref coords = py::Ref::steal(PyTuple_Pack(2, parts[1].get(), parts[2].get()));
      if (!coords) return {};
      data = py::Ref::steal(PyTuple_Pack(2, parts[0].get(), coords.get()));
    } else {
      if (value.format == SparseFormat::Csr) constructor = "csr_matrix";
      data = py::Ref::steal(PyTuple_Pack(3, parts[0].get(), parts[1].get(), parts[2].get()));
    }
    if (!data) return {};
    py::Ref make = py::getattr(scipy.get(), constructor);
    if (!make) return {};
    return {
        py::Ref::steal(PyObject_CallFunctionObjArgs(make.get(), data.get(), shape.get(), nullptr))};
  }

  // Whether the converted components of `value` index inside its shape
  // (check_sparse); raises Malformed when not. Uncompressed components are
  // read where they lie in the packet, decompressed ones in their new arrays.
  static bool sound(const Sparse& value, const std::vector<py::Ref>& parts) {
    buffer::Pin pins[3];
    SparseArray arrays[3];
    for (std::size_t i = 0; i < 3; ++i) {
      if (const auto* dense = std::get_if<Dense>(&value.components[i])) {
        arrays[i] = {dense->data, dense->dtype};
      } else {
        const auto& compressed = std::get<CompressedDense>(value.components[i]);
        if (!pins[i].acquire(parts[i].get(), PyBUF_SIMPLE)) return false;
        arrays[i] = {{pins[i].data(), pins[i].size()}, compressed.dtype};
      }
    }
    // A matrix has two dimensions; check_sparse refuses any other count.
    std::uint64_t shape[2] = {};
    std::copy_n(value.shape.begin(), std::min<std::size_t>(value.shape.size(), 2), shape);
    const std::size_t ndim = value.shape.size() == 2 ? 2 : 0;
    const auto checked = check_sparse(value.format, std::span(shape, ndim), arrays);
    if (!checked) return errors::raise(checked.error());
    return true;
  }

  Converted from(const Bundle& value) {
    py::Ref dict = py::Ref::steal(PyDict_New());
    if (!dict) return {};
    for (const BundleEntry& entry : value.entries) {
      Converted item = convert(entry.value);
      if (item.not_converted) return marker();
      if (item.failed()) return {};
      py::Ref key = py::Ref::steal(
          PyUnicode_FromStringAndSize(entry.key.data(), static_cast<Py_ssize_t>(entry.key.size())));
      if (!key || PyDict_SetItem(dict.get(), key.get(), item.object.get()) != 0) return {};
    }
    return {std::move(dict)};
  }

  Converted from(const Quantized& value) {
    if (!py::import("numpy")) return {};
    py::Ref cls = py::import_attribute("vamra.quantize", "QuantizedTensor");
    if (!cls) return {};
    py::Ref data = owned(value.data, Dtype::UInt8);
    if (!data) return {};
    py::Ref scales = owned(value.scales, Dtype::Float32);
    if (!scales) return {};
    py::Ref zero_points = owned(value.zero_points, Dtype::Float32);
    if (!zero_points) return {};
    py::Ref shape = shape_tuple(value.shape);
    py::Ref dtype_code = py::Ref::steal(PyLong_FromLong(wire_code(value.dtype)));
    py::Ref scheme = py::Ref::steal(PyLong_FromLong(value.quant_scheme));
    py::Ref group_size = py::Ref::steal(PyLong_FromUnsignedLong(value.group_size));
    py::Ref axis = py::Ref::steal(PyLong_FromUnsignedLong(value.axis));
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    if (!shape || !dtype_code || !scheme || !group_size || !axis || !kwargs) return {};
    const std::pair<const char*, PyObject*> items[] = {{"data", data.get()},
                                                       {"scales", scales.get()},
                                                       {"zero_points", zero_points.get()},
                                                       {"shape", shape.get()},
                                                       {"dtype_code", dtype_code.get()},
                                                       {"quant_scheme", scheme.get()},
                                                       {"group_size", group_size.get()},
                                                       {"axis", axis.get()}};
    for (const auto& [name, item] : items) {
      if (PyDict_SetItemString(kwargs.get(), name, item) != 0) return {};
    }
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    if (!no_args) return {};
    return {py::Ref::steal(PyObject_Call(cls.get(), no_args.get(), kwargs.get()))};
  }

  Converted from(const String& value) {
    if (!py::import("numpy")) return {};
    py::Ref cls = py::import_attribute("vamra.ragged", "StringTensor");
    if (!cls) return {};
    py::Ref offsets = owned(value.offsets, Dtype::UInt64);
    if (!offsets) return {};
    py::Ref payload = bytes_of(value.payload);
    py::Ref count =
        py::Ref::steal(PyLong_FromUnsignedLong(value.shape.empty() ? 0 : value.shape[0]));
    if (!payload || !count) return {};
    py::Ref from_raw = py::getattr(cls.get(), "_from_raw");
    if (!from_raw) return {};
    return {py::Ref::steal(PyObject_CallFunctionObjArgs(from_raw.get(), offsets.get(),
                                                        payload.get(), count.get(), nullptr))};
  }

  Converted from(const Ragged&) { return marker(); }
  Converted from(const FixedRecord&) { return marker(); }

  PyObject* source_;
  const std::byte* base_;
  const Options& options_;
  py::Ref bfloat16_;  // the checked bfloat16 dtype, once one was needed
  py::Ref memory_;    // the views' memoryview of the source, once one was needed
};

}  // namespace

PyObject* dtype_for(Dtype dtype, const Options& options, py::Ref& chosen) {
  if (dtype != Dtype::BFloat16 || options.bfloat16 == nullptr) return numpy_api::dtype_of(dtype);
  if (!chosen) {
    py::Ref made = numpy_api::make_dtype(options.bfloat16);
    if (!made) return nullptr;
    py::Ref itemsize = py::getattr(made.get(), "itemsize");
    if (!itemsize) return nullptr;
    const long size = PyLong_AsLong(itemsize.get());
    if (size == -1 && PyErr_Occurred()) return nullptr;
    py::Ref sub_shape = py::getattr(made.get(), "shape");
    if (!sub_shape) return nullptr;
    const Py_ssize_t sub_dims = PyObject_Length(sub_shape.get());
    if (sub_dims < 0) return nullptr;
    if (size != 2 || sub_dims != 0) {
      errors::raise(PyExc_ValueError, messages::BFLOAT16_DTYPE_SIZE, py::str_of(made.get()));
      return nullptr;
    }
    chosen = std::move(made);
  }
  return chosen.get();
}

py::Ref copy_of(const void* data, std::size_t nbytes, PyObject* descr,
                std::span<const Py_ssize_t> dims) {
  py::Ref array = numpy_api::new_array(descr, dims);
  if (!array) return {};
  buffer::Pin target;
  if (!target.acquire(array.get(), PyBUF_WRITABLE)) return {};
  if (target.size() != nbytes) return errors::internal(messages::WRONG_ARRAY_SIZE);
  if (nbytes != 0) std::memcpy(target.mutable_data(), data, nbytes);
  return array;
}

py::Ref load(PyObject* data, const Options& options) {
  buffer::ByteBuffer input;
  if (!input.acquire(data)) return {};
  if (options.writable && input.readonly()) {
    return errors::raise(PyExc_ValueError, messages::WRITABLE_NEEDS_WRITABLE_BUFFER,
                         py::type_name(data));
  }
  const ByteSpan bytes = input.bytes();
  // Compressed dense values, at the top level or nested in bundles and
  // sparse packets, are kept as frames and decompressed during conversion.
  const auto decoded = decode(bytes, DecodeOptions{.keep_compressed = true});
  if (!decoded) return errors::raise(decoded.error());
  Converter converter(data, bytes.data(), options);
  Converted result = converter.convert(*decoded);
  if (result.not_converted) return py::Ref::borrow(Py_None);
  return std::move(result.object);
}

}  // namespace vamra::convert
