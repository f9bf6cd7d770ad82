// XXH3-64 (seed 0) of inputs longer than 240 bytes, written for vector units:
// the long-input loop of the XXH3 definition (stripes of 64 bytes, blocks of
// 16 stripes, the accumulators scrambled after each block), optionally
// copying every stripe to a destination as it is loaded, so that a footer
// costs no second pass over memory. Shorter inputs take other rounds, which
// libxxhash computes (checksum.cpp).
//
// This header holds the loop once for every instruction set; each set's unit
// (xxh3_avx2.cpp, xxh3_avx512.cpp) is compiled for it and instantiates it with
// its own vector operations. Results are bit-identical to libxxhash's
// XXH3_64bits (the codec's tests compare them over many lengths and
// alignments).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vamra::xxh3 {

// The shortest input the long loop takes.
inline constexpr std::size_t LONG_INPUT = 241;

// The shortest input the AVX-512 unit reads by aligned lines (when it lies a
// multiple of 8 bytes past one); shorter ones take the plain loop.
inline constexpr std::size_t LINES_FROM = 32 * 1024;

// Per instruction set: the hash of `in`, and the hash of `in` while copying
// it to `out`. `len` >= LONG_INPUT. Defined only where the unit is built
// (x86-64); call them only when the processor has the set.
std::uint64_t hash_avx2(const unsigned char* in, std::size_t len);
std::uint64_t copy_hash_avx2(unsigned char* out, const unsigned char* in, std::size_t len);
std::uint64_t hash_avx512(const unsigned char* in, std::size_t len);
std::uint64_t copy_hash_avx512(unsigned char* out, const unsigned char* in, std::size_t len);

namespace detail {

inline constexpr std::uint64_t PRIME32_1 = 0x9E3779B1u;
inline constexpr std::uint64_t PRIME32_2 = 0x85EBCA77u;
inline constexpr std::uint64_t PRIME32_3 = 0xC2B2AE3Du;
inline constexpr std::uint64_t PRIME64_1 = 0x9E3779B185EBCA87u;
inline constexpr std::uint64_t PRIME64_2 = 0xC2B2AE3D27D4EB4Fu;
inline constexpr std::uint64_t PRIME64_3 = 0x165667B19E3779F9u;
inline constexpr std::uint64_t PRIME64_4 = 0x85EBCA77C2B2AE63u;
inline constexpr std::uint64_t PRIME64_5 = 0x27D4EB2F165667C5u;

// XXH3's default secret.
inline constexpr unsigned char SECRET[192] = {
    0xb8, 0xfe, 0x6c, 0x39, 0x23, 0xa4, 0x4b, 0xbe, 0x7c, 0x01, 0x81, 0x2c, 0xf7, 0x21, 0xad, 0x1c,
    0xde, 0xd4, 0x6d, 0xe9, 0x83, 0x90, 0x97, 0xdb, 0x72, 0x40, 0xa4, 0xa4, 0xb7, 0xb3, 0x67, 0x1f,
    0xcb, 0x79, 0xe6, 0x4e, 0xcc, 0xc0, 0xe5, 0x78, 0x82, 0x5a, 0xd0, 0x7d, 0xcc, 0xff, 0x72, 0x21,
    0xb8, 0x08, 0x46, 0x74, 0xf7, 0x43, 0x24, 0x8e, 0xe0, 0x35, 0x90, 0xe6, 0x81, 0x3a, 0x26, 0x4c,
    0x3c, 0x28, 0x52, 0xbb, 0x91, 0xc3, 0x00, 0xcb, 0x88, 0xd0, 0x65, 0x8b, 0x1b, 0x53, 0x2e, 0xa3,
    0x71, 0x64, 0x48, 0x97, 0xa2, 0x0d, 0xf9, 0x4e, 0x38, 0x19, 0xef, 0x46, 0xa9, 0xde, 0xac, 0xd8,
    0xa8, 0xfa, 0x76, 0x3f, 0xe3, 0x9c, 0x34, 0x3f, 0xf9, 0xdc, 0xbb, 0xc7, 0xc7, 0x0b, 0x4f, 0x1d,
    0x8a, 0x51, 0xe0, 0x4b, 0xcd, 0xb4, 0x59, 0x31, 0xc8, 0x9f, 0x7e, 0xc9, 0xd9, 0x78, 0x73, 0x64,
    0xea, 0xc5, 0xac, 0x83, 0x34, 0xd3, 0xeb, 0xc3, 0xc5, 0x81, 0xa0, 0xff, 0xfa, 0x13, 0x63, 0xeb,
    0x17, 0x0d, 0xdd, 0x51, 0xb7, 0xf0, 0xda, 0x49, 0xd3, 0x16, 0x55, 0x26, 0x29, 0xd4, 0x68, 0x9e,
    0x2b, 0x16, 0xbe, 0x58, 0x7d, 0x47, 0xa1, 0xfc, 0x8f, 0xf8, 0xb8, 0xd1, 0x7a, 0xd0, 0x31, 0xce,
    0x45, 0xcb, 0x3a, 0x8f, 0x95, 0x16, 0x04, 0x28, 0xaf, 0xd7, 0xfb, 0xca, 0xbb, 0x4b, 0x40, 0x7e,
};

inline constexpr std::size_t STRIPE = 64;
inline constexpr std::size_t STRIPES_PER_BLOCK = (sizeof SECRET - STRIPE) / 8;  // 16
inline constexpr std::size_t BLOCK = STRIPE * STRIPES_PER_BLOCK;

// The 64 secret bytes each stripe of a block is keyed with (stripe s starts at
// byte 8s of the secret), then the scrambling key and the last stripe's key,
// each laid out at a 64-byte boundary: the loop loads them whole, never
// across cache lines.
struct Keys {
  alignas(64) unsigned char key[STRIPES_PER_BLOCK + 2][STRIPE];
};

inline constexpr std::size_t SCRAMBLE_KEY = STRIPES_PER_BLOCK;
inline constexpr std::size_t LAST_KEY = STRIPES_PER_BLOCK + 1;

consteval Keys make_keys() {
  Keys keys{};
  for (std::size_t s = 0; s < STRIPES_PER_BLOCK; ++s) {
    for (std::size_t i = 0; i < STRIPE; ++i) keys.key[s][i] = SECRET[8 * s + i];
  }
  for (std::size_t i = 0; i < STRIPE; ++i) {
    keys.key[SCRAMBLE_KEY][i] = SECRET[sizeof SECRET - STRIPE + i];
    keys.key[LAST_KEY][i] = SECRET[sizeof SECRET - STRIPE - 7 + i];
  }
  return keys;
}

inline constexpr Keys KEYS = make_keys();

alignas(64) inline constexpr std::uint64_t INITIAL[8] = {
    PRIME32_3, PRIME64_1, PRIME64_2, PRIME64_3, PRIME64_4, PRIME32_2, PRIME64_5, PRIME32_1};

inline std::uint64_t read64(const unsigned char* p) {
  std::uint64_t value;
  std::memcpy(&value, p, 8);  // x86-64 only: little-endian
  return value;
}

// The low and high halves of the 128-bit product, folded.
inline std::uint64_t multiply_fold(std::uint64_t a, std::uint64_t b) {
  __extension__ using U128 = unsigned __int128;
  const U128 product = static_cast<U128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// The accumulators merged into the hash of `len` bytes.
inline std::uint64_t merge(const std::uint64_t (&acc)[8], std::size_t len) {
  const unsigned char* secret = SECRET + 11;
  std::uint64_t h = len * PRIME64_1;
  for (std::size_t i = 0; i < 4; ++i) {
    h += multiply_fold(acc[2 * i] ^ read64(secret + 16 * i),
                       acc[2 * i + 1] ^ read64(secret + 16 * i + 8));
  }
  h ^= h >> 37;
  h *= 0x165667919E3779F9u;
  return h ^ (h >> 32);
}

// Where loaded stripes go: nowhere (hashing only).
struct NoCopy {
  template <class V, std::size_t N>
  void group(std::size_t, const V (&)[N]) {}
  void flush() {}
  template <class V>
  void stripe(std::size_t, const V&) {}
  template <class V>
  void last(std::size_t, const V&) {}
  void finish() {}
};

// Straight to the same offset of the destination.
template <class Isa>
struct DirectCopy {
  using V = typename Isa::V;
  unsigned char* out;
  template <std::size_t N>
  void group(std::size_t pos, const V (&data)[N]) {
    for (std::size_t i = 0; i < N; ++i) stripe(pos + i * STRIPE, data[i]);
  }
  void flush() {}
  void stripe(std::size_t pos, const V& data) { Isa::store(out + pos, data); }
  void last(std::size_t pos, const V& data) { Isa::store(out + pos, data); }
  void finish() {}
};

// The end of the loop below, from the accumulators after the whole blocks
// (in lane order): the remaining stripes, the last, overlapping one and the
// merge. The unit's own loops over whole blocks end here too. Always inlined:
// called apart, with the accumulators in a vector register, it would return
// with the upper halves of the vector registers in use, and every SSE
// instruction the caller runs afterwards would pay for that.
template <class Isa, class Sink>
[[gnu::always_inline]] inline std::uint64_t finish_long(const unsigned char* in, std::size_t len,
                                                        typename Isa::V acc, Sink& sink) {
  using V = typename Isa::V;
  const auto product = [](const V& data, std::size_t key) {
    return Isa::product(data, Isa::load(KEYS.key[key]));
  };
  const std::size_t base = (len - 1) / BLOCK * BLOCK;
  const std::size_t stripes = (len - 1 - base) / STRIPE;
  for (std::size_t s = 0; s < stripes; ++s) {
    V data = Isa::load(in + base + s * STRIPE);
    Isa::keep(data);
    sink.stripe(base + s * STRIPE, data);
    acc = Isa::add(acc, Isa::add(product(data, s), Isa::swap(data)));
  }
  V last = Isa::load(in + len - STRIPE);
  Isa::keep(last);
  sink.last(len - STRIPE, last);
  acc = Isa::add(acc, Isa::add(product(last, LAST_KEY), Isa::swap(last)));
  sink.finish();
  std::uint64_t lanes[8];
  Isa::spill(lanes, acc);
  return merge(lanes, len);
}

// The loop over stripes. `Isa` provides the vector type V (one stripe), STEP
// (how many stripes a step of a block loads, as many as its registers hold
// with their partial sums), SUM_DATA_APART (below) and the operations: load, store, zero, add, keep
// (pins a loaded stripe in its register), product (low32(data ^ key) x
// high32(data ^ key) per lane), swap (exchanges the lanes of each pair),
// scramble and spill (to eight lanes). `Sink` receives every stripe loaded,
// in order: the stripes of whole blocks a step at a time (group), then flush,
// then the remaining stripes one at a time (stripe) and the last, overlapping
// one (last), then finish.
//
// A stripe adds product(data, key) to the accumulators and swap(data) to
// them too (lane i receives data lane i ^ 1). Between two scrambles only
// additions happen, and additions commute: with SUM_DATA_APART a block sums
// its products and its data in separate chains and swaps the data sum once,
// which takes the swap (a shuffle) out of every stripe, for the unit whose
// shuffles the copy also needs; otherwise each stripe's swap joins its
// product, which needs fewer registers.
template <class Isa, class Sink>
std::uint64_t hash_long(const unsigned char* in, std::size_t len, Sink& sink) {
  using V = typename Isa::V;
  V acc = Isa::load(INITIAL);
  const auto load = [&](std::size_t pos) {
    V data = Isa::load(in + pos);
    Isa::keep(data);
    return data;
  };
  const auto product = [](const V& data, std::size_t key) {
    return Isa::product(data, Isa::load(KEYS.key[key]));
  };
  const std::size_t blocks = (len - 1) / BLOCK;
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::size_t base = b * BLOCK;
    constexpr std::size_t STEP = Isa::STEP;
    V products[STEP];
    for (V& sum : products) sum = Isa::zero();
    V data_sum = Isa::zero();
    for (std::size_t s = 0; s < STRIPES_PER_BLOCK; s += STEP) {
      V data[STEP];
      for (std::size_t i = 0; i < STEP; ++i) data[i] = load(base + (s + i) * STRIPE);
      sink.group(base + s * STRIPE, data);
      for (std::size_t i = 0; i < STEP; ++i) {
        V term = product(data[i], s + i);
        if constexpr (!Isa::SUM_DATA_APART) term = Isa::add(term, Isa::swap(data[i]));
        products[i] = Isa::add(products[i], term);
      }
      if constexpr (Isa::SUM_DATA_APART) {
        for (std::size_t width = STEP / 2; width > 0; width /= 2) {
          for (std::size_t i = 0; i < width; ++i) data[i] = Isa::add(data[i], data[i + width]);
        }
        data_sum = Isa::add(data_sum, data[0]);
      }
    }
    for (std::size_t width = STEP / 2; width > 0; width /= 2) {
      for (std::size_t i = 0; i < width; ++i)
        products[i] = Isa::add(products[i], products[i + width]);
    }
    acc = Isa::add(acc, products[0]);
    if constexpr (Isa::SUM_DATA_APART) acc = Isa::add(acc, Isa::swap(data_sum));
    acc = Isa::scramble(acc, Isa::load(KEYS.key[SCRAMBLE_KEY]));
  }
  sink.flush();
  return finish_long<Isa>(in, len, acc, sink);
}

}  // namespace detail

}  // namespace vamra::xxh3
