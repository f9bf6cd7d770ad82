// Element types: 21 entries, wire code = index + 1.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vamra {

enum class Dtype : std::uint8_t {
  Float32,
  Int32,
  Float64,
  Int64,
  UInt8,
  UInt16,
  Bool,
  Float16,
  Int8,
  Int16,
  UInt32,
  UInt64,
  Complex64,
  Complex128,
  BFloat16,
  QInt8,
  QUInt8,
  QInt4,
  QUInt4,
  String,
  Bytes,
};

struct DtypeInfo {
  std::string_view name;  // canonical name (also the NumPy name for the first fifteen)
  std::size_t
      item_size;  // bytes per element in a dense body; 0 where a dense body refuses the type
};

inline constexpr std::array<DtypeInfo, 21> DTYPE_TABLE{{
    {"float32", 4}, {"int32", 4},  {"float64", 8},   {"int64", 8},       {"uint8", 1},
    {"uint16", 2},  {"bool", 1},   {"float16", 2},   {"int8", 1},        {"int16", 2},
    {"uint32", 4},  {"uint64", 8}, {"complex64", 8}, {"complex128", 16}, {"bfloat16", 2},
    {"qint8", 1},   {"quint8", 1}, {"qint4", 0},     {"quint4", 0},      {"string", 0},
    {"bytes", 0},
}};

inline constexpr std::size_t DTYPE_COUNT = DTYPE_TABLE.size();

// The Dtype with this wire code, or nothing for 0 and codes above 21.
constexpr std::optional<Dtype> dtype_from_code(std::uint8_t code) {
  if (code == 0 || code > DTYPE_COUNT) return std::nullopt;
  return static_cast<Dtype>(code - 1);
}

constexpr std::uint8_t wire_code(Dtype d) { return static_cast<std::uint8_t>(d) + 1; }

constexpr std::size_t dtype_index(Dtype d) { return static_cast<std::size_t>(d); }

// Bytes per element in a dense body; 0 for "qint4", "quint4", "string", "bytes".
constexpr std::size_t item_size(Dtype d) { return DTYPE_TABLE[dtype_index(d)].item_size; }

constexpr std::string_view dtype_name(Dtype d) { return DTYPE_TABLE[dtype_index(d)].name; }

// The Dtype whose canonical name is exactly `name` (case-sensitive, no aliases).
constexpr std::optional<Dtype> dtype_from_name(std::string_view name) {
  for (std::size_t i = 0; i < DTYPE_COUNT; ++i) {
    if (DTYPE_TABLE[i].name == name) return static_cast<Dtype>(i);
  }
  return std::nullopt;
}

// True for the four quantized types, codes 16 to 19.
constexpr bool is_quantized(Dtype d) { return d >= Dtype::QInt8 && d <= Dtype::QUInt4; }

}  // namespace vamra
