// The long XXH3 loop on 512-bit vectors: one stripe per register. Compiled
// with AVX-512F enabled; called only when the processor has it.
#include <immintrin.h>

#include "xxh3_long.hpp"

namespace vamra::xxh3 {

namespace {

using detail::PRIME32_1;

struct Avx512 {
  using V = __m512i;
  static constexpr std::size_t STEP = 4;
  static constexpr bool SUM_DATA_APART = true;
  static V load(const void* p) { return _mm512_loadu_si512(p); }
  static void store(void* p, V v) { _mm512_storeu_si512(p, v); }
  static V zero() { return _mm512_setzero_si512(); }
  static V add(V a, V b) { return _mm512_add_epi64(a, b); }
  // Keeps a loaded stripe in its register: left to itself, the compiler folds
  // the load into both of the stripe's uses and reads memory twice.
  static void keep(V& v) { __asm__("" : "+v"(v)); }
  static V product(V data, V key) {
    const V keyed = _mm512_xor_si512(data, key);
    return _mm512_mul_epu32(keyed, _mm512_srli_epi64(keyed, 32));
  }
  static V swap(V v) {
    return _mm512_shuffle_epi32(v, static_cast<_MM_PERM_ENUM>(_MM_SHUFFLE(1, 0, 3, 2)));
  }
  // acc = (acc ^ (acc >> 47) ^ key) * PRIME32_1, in 64-bit lanes.
  static V scramble(V acc, V key) {
    const V mixed = _mm512_ternarylogic_epi64(acc, _mm512_srli_epi64(acc, 47), key, 0x96);
    const V prime = _mm512_set1_epi32(static_cast<int>(PRIME32_1));
    const V low = _mm512_mul_epu32(mixed, prime);
    const V high = _mm512_mul_epu32(_mm512_srli_epi64(mixed, 32), prime);
    return _mm512_add_epi64(low, _mm512_slli_epi64(high, 32));
  }
  static void spill(std::uint64_t (&lanes)[8], V v) { _mm512_storeu_si512(lanes, v); }
};

// Stores to a destination that is 8- but not 32-byte aligned, each at a
// 32-byte boundary: a store across a cache line costs as much as two. The
// destination's first Shift x 8 bytes bring it to that boundary; from there
// each store joins the end of one stripe to the start of the next.
template <int Shift>
struct ShiftedCopy {
  static constexpr std::size_t HEAD = 8 * Shift;
  unsigned char* out;
  const unsigned char* in;
  std::size_t len;
  __m512i previous = _mm512_setzero_si512();
  std::size_t next = 0;  // the offset of the next stripe expected

  void stripe(std::size_t pos, __m512i data) {
    if (pos == 0) {
      std::memcpy(out, in, HEAD);
    } else {
      _mm512_storeu_si512(out + pos - detail::STRIPE + HEAD,
                          _mm512_alignr_epi64(data, previous, Shift));
    }
    previous = data;
    next = pos + detail::STRIPE;
  }
  void last(std::size_t, __m512i) {}
  // The bytes after the last joined store.
  void finish() {
    const std::size_t done = next - detail::STRIPE + HEAD;
    std::memcpy(out + done, in + done, len - done);
  }
};

// Hands each group of four stripes on one group late, so that the stores of
// a group are issued after the loads of the next. The processor matches a
// load against the older stores in flight by the low 12 bits of their
// addresses, and a load that meets part of such a store waits for it: when
// the destination lies just past the source in that 4 KiB frame (as two
// fresh mappings of about the same size do, each starting near a page), every
// load would otherwise wait for the store before it.
template <class Inner>
struct Lagging {
  Inner inner;
  std::size_t held_at = 0;
  bool holding = false;
  __m512i held[4] = {};

  void group(std::size_t pos, const __m512i (&data)[4]) {
    flush();
    for (std::size_t i = 0; i < 4; ++i) held[i] = data[i];
    held_at = pos;
    holding = true;
  }
  void flush() {
    if (!holding) return;
    for (std::size_t i = 0; i < 4; ++i) inner.stripe(held_at + i * detail::STRIPE, held[i]);
    holding = false;
  }
  void stripe(std::size_t pos, __m512i data) { inner.stripe(pos, data); }
  void last(std::size_t pos, __m512i data) { inner.last(pos, data); }
  void finish() { inner.finish(); }
};

template <int Shift>
std::uint64_t shifted(unsigned char* out, const unsigned char* in, std::size_t len) {
  Lagging<ShiftedCopy<Shift>> sink{{out, in, len}};
  return detail::hash_long<Avx512>(in, len, sink);
}

}  // namespace

std::uint64_t hash_avx512(const unsigned char* in, std::size_t len) {
  detail::NoCopy sink;
  return detail::hash_long<Avx512>(in, len, sink);
}

std::uint64_t copy_hash_avx512(unsigned char* out, const unsigned char* in, std::size_t len) {
  const auto address = reinterpret_cast<std::uintptr_t>(out);
  if (address % 8 == 0) {
    switch ((32 - address % 32) % 32 / 8) {
      case 1:
        return shifted<1>(out, in, len);
      case 2:
        return shifted<2>(out, in, len);
      case 3:
        return shifted<3>(out, in, len);
      default:
        break;
    }
  }
  Lagging<detail::DirectCopy<Avx512>> sink{{out}};
  return detail::hash_long<Avx512>(in, len, sink);
}

}  // namespace vamra::xxh3
