// The long XXH3 loop on 256-bit vectors: one stripe in two registers.
// Compiled with AVX2 enabled; called only when the processor has it.
#include <immintrin.h>

#include "xxh3_long.hpp"

namespace vamra::xxh3 {

namespace {

using detail::PRIME32_1;

struct Avx2 {
  struct V {
    __m256i low, high;
  };
  static constexpr std::size_t STEP = 4;
  static constexpr bool SUM_DATA_APART = false;
  static V load(const void* p) {
    const auto* q = static_cast<const __m256i*>(p);
    return {_mm256_loadu_si256(q), _mm256_loadu_si256(q + 1)};
  }
  static void store(void* p, const V& v) {
    auto* q = static_cast<__m256i*>(p);
    _mm256_storeu_si256(q, v.low);
    _mm256_storeu_si256(q + 1, v.high);
  }
  static V zero() { return {_mm256_setzero_si256(), _mm256_setzero_si256()}; }
  static V add(const V& a, const V& b) {
    return {_mm256_add_epi64(a.low, b.low), _mm256_add_epi64(a.high, b.high)};
  }
  // Keeps a loaded stripe in its registers (see the AVX-512 unit).
  static void keep(V& v) { __asm__("" : "+x"(v.low), "+x"(v.high)); }
  static __m256i product(__m256i data, __m256i key) {
    const __m256i keyed = _mm256_xor_si256(data, key);
    return _mm256_mul_epu32(keyed, _mm256_srli_epi64(keyed, 32));
  }
  static V product(const V& data, const V& key) {
    return {product(data.low, key.low), product(data.high, key.high)};
  }
  static V swap(const V& v) {
    return {_mm256_shuffle_epi32(v.low, _MM_SHUFFLE(1, 0, 3, 2)),
            _mm256_shuffle_epi32(v.high, _MM_SHUFFLE(1, 0, 3, 2))};
  }
  static __m256i scramble(__m256i acc, __m256i key) {
    const __m256i mixed = _mm256_xor_si256(_mm256_xor_si256(acc, _mm256_srli_epi64(acc, 47)), key);
    const __m256i prime = _mm256_set1_epi32(static_cast<int>(PRIME32_1));
    const __m256i low = _mm256_mul_epu32(mixed, prime);
    const __m256i high = _mm256_mul_epu32(_mm256_srli_epi64(mixed, 32), prime);
    return _mm256_add_epi64(low, _mm256_slli_epi64(high, 32));
  }
  static V scramble(const V& acc, const V& key) {
    return {scramble(acc.low, key.low), scramble(acc.high, key.high)};
  }
  static void spill(std::uint64_t (&lanes)[8], const V& v) { store(lanes, v); }
};

}  // namespace

std::uint64_t hash_avx2(const unsigned char* in, std::size_t len) {
  detail::NoCopy sink;
  return detail::hash_long<Avx2>(in, len, sink);
}

std::uint64_t copy_hash_avx2(unsigned char* out, const unsigned char* in, std::size_t len) {
  detail::DirectCopy<Avx2> sink{out};
  return detail::hash_long<Avx2>(in, len, sink);
}

}  // namespace vamra::xxh3
