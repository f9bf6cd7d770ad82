// What a packet will hold, decided once for every destination. Planning reads
// the Python value, runs every check and computes the exact packet size;
// writing then cannot fail and runs no Python code. dumps_rs,
// dump_to_buffer_rs and dump_to_fd_rs differ only in where they write.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "extract.hpp"
#include "vamra/decode.hpp"
#include "vamra/dense.hpp"

namespace vamra::plan {

struct Plan;

struct DensePlan {
  extract::Array array;
  EncodeOptions options;
  OwnedBytes packet;  // the finished packet when compressing (its size is known only then)
};

using SparsePlan = extract::SparseMatrix;

struct BundlePlan {
  std::vector<std::pair<std::string, std::unique_ptr<Plan>>> entries;
};

struct Plan {
  std::variant<DensePlan, SparsePlan, BundlePlan> kind;
  std::size_t size = 0;  // the exact packet length

  // Writes exactly `size` bytes at the start of `out` (out.size() >= size).
  // Planning made every check, so a failure here is an internal failure.
  bool write(MutableByteSpan out) const;
  // The finished packet, when planning already produced it (compressed dense).
  const OwnedBytes* finished() const;
  // True when write() would read from memory inside `region`: some array the
  // packet copies (a dense body, a sparse component, at any depth) lies
  // there, as when a loaded packet is written back over its own buffer.
  bool reads_from(ByteSpan region) const;
};

// Plans a value as dumps_rs encodes it: a dict as a bundle (each value planned
// with the same options), an object whose `format` attribute is a str as a
// sparse matrix, anything else as a NumPy array. `depth` counts the levels
// below the top-level packet.
bool value(PyObject* object, const EncodeOptions& options, std::size_t depth, Plan& out);

// Checks that a bundle entry's key and value packet each fit a 32-bit length
// field; raises ValueError naming the first that does not.
bool bundle_entry_fits(std::size_t key_size, std::size_t value_size);

// Plans a NumPy array as a dense packet.
bool dense(PyObject* object, const EncodeOptions& options, Plan& out);

}  // namespace vamra::plan
