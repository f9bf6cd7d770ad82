#include "plan.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "errors.hpp"
#include "frame.hpp"
#include "vamra/bundle.hpp"
#include "vamra/sparse.hpp"

namespace vamra::plan {

namespace {

using namespace messages;

bool sparse(PyObject* matrix, std::string_view format_name, std::size_t depth, Plan& out) {
  const auto format = extract::sparse_format(format_name);
  if (!format) return errors::raise(PyExc_ValueError, UNKNOWN_SPARSE_FORMAT);
  // Components sit one level below the sparse packet.
  if (depth + 1 > MAX_DECODE_DEPTH) return errors::raise(PyExc_ValueError, NESTING_TOO_DEEP);
  SparsePlan plan;
  if (!extract::sparse_matrix(matrix, *format, plan)) return false;
  const auto views = plan.views();
  for (std::size_t i = 0; i < 3; ++i) {
    const auto length = sparse_component_size(views[i]);
    if (!length) break;  // the codec reports it below, in its own order
    if (*length > MAX_LENGTH_FIELD) {
      return errors::raise(PyExc_ValueError, LENGTH_FIELD_OVERFLOW, SPARSE_COMPONENT_PACKET,
                           *length);
    }
  }
  const auto size = sparse_required_size(plan.shape.size(), views);
  if (!size) return errors::raise(size.error());
  out.size = *size;
  out.kind = std::move(plan);
  return true;
}

bool bundle(PyObject* dict, const EncodeOptions& options, std::size_t depth, Plan& out) {
  const Py_ssize_t length = PyDict_Size(dict);
  if (length < 0) return false;
  if (static_cast<std::size_t>(length) > MAX_BUNDLE_ENTRIES) {
    return errors::raise(PyExc_ValueError, BUNDLE_TOO_MANY_ENTRIES, length);
  }
  BundlePlan plan;
  plan.entries.reserve(static_cast<std::size_t>(length));
  BundleSize size;
  const auto plan_entry = [&](std::string_view key, PyObject* item) -> bool {
    std::string key_bytes(key);
    auto nested = std::make_unique<Plan>();
    if (!value(item, options, depth + 1, *nested)) return false;
    if (!bundle_entry_fits(key_bytes.size(), nested->size)) return false;
    const auto added = size.add(key_bytes.size(), nested->size);
    if (!added) return errors::raise(added.error());
    plan.entries.emplace_back(std::move(key_bytes), std::move(nested));
    return true;
  };
  if (!extract::dict_entries(dict, length, plan_entry)) return false;
  out.size = size.total();
  out.kind = std::move(plan);
  return true;
}

}  // namespace

bool bundle_entry_fits(std::size_t key_size, std::size_t value_size) {
  for (const auto& [what, size] :
       {std::pair{BUNDLE_KEY, key_size}, std::pair{BUNDLE_VALUE_PACKET, value_size}}) {
    if (size > MAX_LENGTH_FIELD) {
      return errors::raise(PyExc_ValueError, LENGTH_FIELD_OVERFLOW, what, size);
    }
  }
  return true;
}

bool dense(PyObject* object, const EncodeOptions& options, Plan& out) {
  DensePlan plan{{}, options, {}};
  if (!extract::numpy_array(object, plan.array)) return false;
  const DenseView view = plan.array.view();
  const auto required = dense_required_size(view, options);
  if (!required) return errors::raise(required.error());
  if (*required > errors::MAX_PACKET_SIZE) return errors::packet_too_large(*required);
  if (!options.compress) {
    out.size = *required;
  } else {
    // The compressed length is known only once compressed: encode now into a
    // region of the worst-case size and keep the packet.
    plan.packet.data.reset(new std::byte[*required]);
    const auto written = encode_dense_into(view, {plan.packet.data.get(), *required}, options);
    if (!written) return errors::raise(written.error());
    plan.packet.size = *written;
    out.size = *written;
  }
  out.kind = std::move(plan);
  return true;
}

bool value(PyObject* object, const EncodeOptions& options, std::size_t depth, Plan& out) {
  if (depth > MAX_DECODE_DEPTH) return errors::raise(PyExc_ValueError, NESTING_TOO_DEEP);
  if (PyDict_Check(object)) return bundle(object, options, depth, out);
  // NumPy's own array type has no `format` attribute; skipping the failed
  // lookup (and the exception it builds) matters for small arrays.
  if (extract::is_exact_ndarray(object)) return dense(object, options, out);
  py::Ref format = py::getattr(object, "format");
  if (!format) {
    PyErr_Clear();
  } else if (PyUnicode_Check(format.get())) {
    std::string_view name;
    if (!extract::text(format.get(), name)) return false;
    return sparse(object, name, depth, out);
  }
  return dense(object, options, out);
}

namespace {

bool intersects(const extract::Array& array, std::uintptr_t begin, std::uintptr_t end) {
  const auto start = reinterpret_cast<std::uintptr_t>(array.data);
  return array.nbytes != 0 && start < end && begin < start + array.nbytes;
}

}  // namespace

bool Plan::reads_from(ByteSpan region) const {
  if (region.empty()) return false;
  // Compared as integers: the two ranges usually belong to unrelated objects.
  const auto begin = reinterpret_cast<std::uintptr_t>(region.data());
  const auto end = begin + region.size();
  if (const auto* plan = std::get_if<DensePlan>(&kind)) {
    // A compressed body was read while planning, into memory the plan owns.
    return !plan->packet.data && intersects(plan->array, begin, end);
  }
  if (const auto* plan = std::get_if<SparsePlan>(&kind)) {
    for (const auto& component : plan->components) {
      if (intersects(component, begin, end)) return true;
    }
    return false;
  }
  for (const auto& entry : std::get<BundlePlan>(kind).entries) {
    if (entry.second->reads_from(region)) return true;
  }
  return false;
}

const OwnedBytes* Plan::finished() const {
  const auto* plan = std::get_if<DensePlan>(&kind);
  return plan != nullptr && plan->packet.data ? &plan->packet : nullptr;
}

bool Plan::write(MutableByteSpan out) const {
  out = out.first(size);
  Result<std::size_t> written = size;
  if (const auto* plan = std::get_if<DensePlan>(&kind)) {
    if (plan->packet.data) {
      std::memcpy(out.data(), plan->packet.data.get(), size);
    } else {
      written = encode_dense_into(plan->array.view(), out, plan->options);
    }
  } else if (const auto* plan = std::get_if<SparsePlan>(&kind)) {
    written = encode_sparse_into(plan->format, plan->shape, plan->views(), out);
  } else {
    // The codec frames each entry; each nested plan writes its value in place.
    const auto& entries = std::get<BundlePlan>(kind).entries;
    auto writer = BundleWriter::start(out, entries.size());
    if (!writer) return errors::internal(PLAN_SIZE_MISMATCH);
    for (const auto& [key, nested] : entries) {
      const auto slot = writer->next(std::as_bytes(std::span(key)), nested->size);
      if (!slot) return errors::internal(PLAN_SIZE_MISMATCH);
      if (!nested->write(*slot)) return false;
    }
    written = writer->finish();
  }
  if (!written || *written != size) return errors::internal(PLAN_SIZE_MISMATCH);
  return true;
}

}  // namespace vamra::plan
