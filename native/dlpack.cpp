// dlpack_array: a NumPy array over the memory of a DLPack capsule, which is
// how a tensor of any library that exports `__dlpack__` reaches the encoders
// with no copy. NumPy's own numpy.from_dlpack would do for most element
// types, but refuses bfloat16, which JAX and PyTorch tensors often hold.
//
// The capsule is consumed as the protocol asks: it is renamed "used_..." so
// that its own destructor leaves the tensor alone, and the tensor's deleter
// is called once the array (through a capsule of ours, its base) is gone.
// Nothing is consumed when the tensor is refused: the producer's capsule then
// frees it as usual.
#include <cstdint>
#include <cstring>
#include <string>

#include "errors.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "numpy_api.hpp"

namespace vamra::native {

namespace {

// The protocol's structures (DLPack 0.x for the unversioned capsule, 1.x for
// the versioned one), as laid out in memory by every producer.
struct DLDevice {
  std::int32_t device_type;
  std::int32_t device_id;
};

struct DLDataType {
  std::uint8_t code;
  std::uint8_t bits;
  std::uint16_t lanes;
};

struct DLTensor {
  void* data;
  DLDevice device;
  std::int32_t ndim;
  DLDataType dtype;
  std::int64_t* shape;
  std::int64_t* strides;  // in elements; null for a C-ordered tensor
  std::uint64_t byte_offset;
};

struct DLManagedTensor {
  DLTensor dl_tensor;
  void* manager_ctx;
  void (*deleter)(DLManagedTensor*);
};

struct DLPackVersion {
  std::uint32_t major;
  std::uint32_t minor;
};

struct DLManagedTensorVersioned {
  DLPackVersion version;
  void* manager_ctx;
  void (*deleter)(DLManagedTensorVersioned*);
  std::uint64_t flags;
  DLTensor dl_tensor;
};

constexpr const char* LEGACY = "dltensor";
constexpr const char* VERSIONED = "dltensor_versioned";
constexpr const char* USED_LEGACY = "used_dltensor";
constexpr const char* USED_VERSIONED = "used_dltensor_versioned";
// Our own capsules, which own a consumed tensor and call its deleter.
constexpr const char* OWNER_LEGACY = "vamra.dltensor_owner";
constexpr const char* OWNER_VERSIONED = "vamra.dltensor_versioned_owner";

constexpr std::int32_t CPU = 1;
constexpr std::int32_t MAX_DIMENSIONS = 64;  // NumPy's own limit, which refuses more

// Device names by DLPack device type, for the message that refuses them.
const char* device_name(std::int32_t type) {
  switch (type) {
    case 2:
      return "cuda";
    case 3:
      return "cuda_host";
    case 4:
      return "opencl";
    case 7:
      return "vulkan";
    case 8:
      return "metal";
    case 9:
      return "vpi";
    case 10:
      return "rocm";
    case 11:
      return "rocm_host";
    case 12:
      return "ext_dev";
    case 13:
      return "cuda_managed";
    case 14:
      return "oneapi";
    case 15:
      return "webgpu";
    case 16:
      return "hexagon";
    case 17:
      return "maia";
    default:
      return "unknown";
  }
}

const char* code_name(std::uint8_t code) {
  switch (code) {
    case 0:
      return "int";
    case 1:
      return "uint";
    case 2:
      return "float";
    case 3:
      return "opaque handle";
    case 4:
      return "bfloat";
    case 5:
      return "complex";
    case 6:
      return "bool";
    default:
      return "float8/float6/float4";  // the codes after bool are narrow floats
  }
}

// The packet element type of a DLPack element type, or nothing.
std::optional<Dtype> packet_dtype(DLDataType type) {
  if (type.lanes != 1) return std::nullopt;
  switch (type.code) {
    case 0:
      switch (type.bits) {
        case 8:
          return Dtype::Int8;
        case 16:
          return Dtype::Int16;
        case 32:
          return Dtype::Int32;
        case 64:
          return Dtype::Int64;
      }
      break;
    case 1:
      switch (type.bits) {
        case 8:
          return Dtype::UInt8;
        case 16:
          return Dtype::UInt16;
        case 32:
          return Dtype::UInt32;
        case 64:
          return Dtype::UInt64;
      }
      break;
    case 2:
      switch (type.bits) {
        case 16:
          return Dtype::Float16;
        case 32:
          return Dtype::Float32;
        case 64:
          return Dtype::Float64;
      }
      break;
    case 4:
      if (type.bits == 16) return Dtype::BFloat16;
      break;
    case 5:
      switch (type.bits) {
        case 64:
          return Dtype::Complex64;
        case 128:
          return Dtype::Complex128;
      }
      break;
    case 6:
      if (type.bits == 8) return Dtype::Bool;
      break;
  }
  return std::nullopt;
}

void release_owner(PyObject* owner) {
  const char* name = PyCapsule_GetName(owner);
  void* pointer = PyCapsule_GetPointer(owner, name);
  if (pointer == nullptr) {
    PyErr_Clear();
    return;
  }
  if (name != nullptr && std::strcmp(name, OWNER_VERSIONED) == 0) {
    auto* managed = static_cast<DLManagedTensorVersioned*>(pointer);
    if (managed->deleter != nullptr) managed->deleter(managed);
  } else {
    auto* managed = static_cast<DLManagedTensor*>(pointer);
    if (managed->deleter != nullptr) managed->deleter(managed);
  }
}

// The dtype bfloat16 data is given when the caller chose one: 2 bytes, no
// sub-array shape, as the loader asks of it.
py::Ref chosen_bfloat16(PyObject* description) {
  py::Ref chosen = numpy_api::make_dtype(description);
  if (!chosen) return {};
  py::Ref itemsize = py::getattr(chosen.get(), "itemsize");
  py::Ref sub_shape = itemsize ? py::getattr(chosen.get(), "shape") : py::Ref();
  if (!sub_shape) return {};
  const long size = PyLong_AsLong(itemsize.get());
  if (size == -1 && PyErr_Occurred()) return {};
  const Py_ssize_t sub_dims = PyObject_Length(sub_shape.get());
  if (sub_dims < 0) return {};
  if (size != 2 || sub_dims != 0) {
    return errors::raise(PyExc_ValueError, messages::BFLOAT16_DTYPE_SIZE, py::str_of(chosen.get()));
  }
  return chosen;
}

// What a capsule holds, read before anything is consumed.
struct Tensor {
  const DLTensor* tensor = nullptr;
  void* managed = nullptr;
  bool versioned = false;
};

bool open_capsule(PyObject* capsule, Tensor& out) {
  if (!PyCapsule_CheckExact(capsule)) {
    return errors::raise(PyExc_TypeError, messages::DLPACK_NOT_A_CAPSULE, py::type_name(capsule));
  }
  const char* name = PyCapsule_GetName(capsule);
  if (name == nullptr && PyErr_Occurred()) return false;
  const std::string_view given = name != nullptr ? name : "";
  if (given == USED_LEGACY || given == USED_VERSIONED) {
    return errors::raise(PyExc_ValueError, messages::DLPACK_CONSUMED);
  }
  out.versioned = given == VERSIONED;
  if (!out.versioned && given != LEGACY) {
    return errors::raise(PyExc_TypeError, messages::DLPACK_NOT_A_DLTENSOR, given);
  }
  out.managed = PyCapsule_GetPointer(capsule, name);
  if (out.managed == nullptr) return false;
  if (out.versioned) {
    const auto* managed = static_cast<const DLManagedTensorVersioned*>(out.managed);
    // A later major version may lay the tensor out differently: only the
    // fields before it are known.
    if (managed->version.major != 1) {
      return errors::raise(PyExc_ValueError, messages::DLPACK_VERSION,
                           std::uint64_t{managed->version.major},
                           std::uint64_t{managed->version.minor});
    }
    out.tensor = &managed->dl_tensor;
  } else {
    out.tensor = &static_cast<const DLManagedTensor*>(out.managed)->dl_tensor;
  }
  return true;
}

// The checks that refuse a tensor before it is consumed: device, element
// type, shape and strides. Fills in the extents and byte strides.
bool check_tensor(const DLTensor& tensor, Dtype& dtype, numpy_api::Intp* dims,
                  numpy_api::Intp* strides, bool& empty) {
  if (tensor.device.device_type != CPU) {
    return errors::raise(
        PyExc_TypeError, messages::DLPACK_DEVICE, device_name(tensor.device.device_type),
        std::int64_t{tensor.device.device_type}, std::int64_t{tensor.device.device_id});
  }
  const auto found = packet_dtype(tensor.dtype);
  if (!found) {
    return errors::raise(PyExc_ValueError, messages::DLPACK_DTYPE, code_name(tensor.dtype.code),
                         unsigned{tensor.dtype.code}, unsigned{tensor.dtype.bits},
                         unsigned{tensor.dtype.lanes});
  }
  dtype = *found;
  if (tensor.ndim < 0 || tensor.ndim > MAX_DIMENSIONS) {
    return errors::raise(PyExc_ValueError, messages::DLPACK_SHAPE,
                         std::to_string(tensor.ndim) + " dimensions");
  }
  if (tensor.ndim > 0 && tensor.shape == nullptr) {
    return errors::raise(PyExc_ValueError, messages::DLPACK_SHAPE, "no extents");
  }
  const auto itemsize = static_cast<std::int64_t>(item_size(dtype));
  std::int64_t elements = 1;
  empty = false;
  for (std::int32_t i = 0; i < tensor.ndim; ++i) {
    const std::int64_t extent = tensor.shape[i];
    if (extent < 0) {
      return errors::raise(PyExc_ValueError, messages::DLPACK_SHAPE,
                           "extent " + std::to_string(extent));
    }
    if (extent == 0) empty = true;
    if (!empty && __builtin_mul_overflow(elements, extent, &elements)) {
      return errors::raise(PyExc_ValueError, messages::DLPACK_SHAPE, "too many elements");
    }
    dims[i] = static_cast<numpy_api::Intp>(extent);
  }
  // Strides in bytes: given in elements, or C order when absent.
  std::int64_t step = itemsize;
  for (std::int32_t i = tensor.ndim - 1; i >= 0; --i) {
    std::int64_t stride = step;
    if (tensor.strides != nullptr && __builtin_mul_overflow(tensor.strides[i], itemsize, &stride)) {
      return errors::raise(PyExc_ValueError, messages::DLPACK_SHAPE, "stride out of range");
    }
    strides[i] = static_cast<numpy_api::Intp>(stride);
    if (!empty) step *= tensor.shape[i];  // cannot overflow: elements did not
  }
  if (!empty && tensor.data == nullptr) {
    return errors::raise(PyExc_ValueError, messages::DLPACK_NO_DATA, elements);
  }
  return true;
}

}  // namespace

PyObject* dlpack_array(PyObject*, PyObject* args, PyObject* kwargs) {
  return frame::call(DLPACK_ARRAY, args, kwargs, [](const frame::Args& a) -> py::Ref {
    Tensor held;
    if (!open_capsule(a[0], held)) return {};
    const DLTensor& tensor = *held.tensor;
    Dtype dtype{};
    numpy_api::Intp dims[MAX_DIMENSIONS];
    numpy_api::Intp strides[MAX_DIMENSIONS];
    bool empty = false;
    if (!check_tensor(tensor, dtype, dims, strides, empty)) return {};
    py::Ref chosen;
    PyObject* descr = nullptr;
    if (dtype == Dtype::BFloat16 && a[1] != nullptr && a[1] != Py_None) {
      chosen = chosen_bfloat16(a[1]);
      descr = chosen.get();
    } else {
      descr = numpy_api::dtype_of(dtype);
    }
    if (descr == nullptr) return {};
    const numpy_api::Api* api = numpy_api::api();
    if (api == nullptr) {
      if (PyErr_Occurred()) return {};
      return errors::raise(PyExc_RuntimeError, messages::DLPACK_NO_NUMPY_TABLE);
    }
    const auto ndim = static_cast<std::size_t>(tensor.ndim);
    if (empty) {
      // Nothing to view: a new empty array, and the capsule is left to free
      // the tensor as if it had not been taken.
      return numpy_api::new_array(descr, {dims, ndim});
    }
    // Consumed from here on: the owner calls the deleter once the array goes.
    py::Ref owner = py::Ref::steal(PyCapsule_New(
        held.managed, held.versioned ? OWNER_VERSIONED : OWNER_LEGACY, release_owner));
    if (!owner) return {};
    if (PyCapsule_SetName(a[0], held.versioned ? USED_VERSIONED : USED_LEGACY) != 0) {
      // Still the producer's: ours must not free it too.
      PyCapsule_SetDestructor(owner.get(), nullptr);
      return {};
    }
    void* data = static_cast<std::byte*>(tensor.data) + tensor.byte_offset;
    Py_INCREF(descr);  // stolen by the constructor, also when it fails
    py::Ref array = py::Ref::steal(api->new_from_descr(api->ndarray, descr, static_cast<int>(ndim),
                                                       dims, strides, data, 0, nullptr));
    if (!array) return {};
    if (api->set_base_object(array.get(), owner.release()) != 0) return {};
    return array;
  });
}

}  // namespace vamra::native
