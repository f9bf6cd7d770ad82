#include "vamra/checksum.hpp"

#include <algorithm>
#include <cstring>

#include "hash.hpp"
#include "xxh3_long.hpp"

namespace vamra {

namespace {

using Hash = std::uint64_t (*)(const unsigned char*, std::size_t);
using CopyHash = std::uint64_t (*)(unsigned char*, const unsigned char*, std::size_t);

// Copies and hashes in cache-sized pieces: the footer costs a pass over
// cached bytes rather than a second pass over memory.
std::uint64_t copy_then_hash(unsigned char* dst, const unsigned char* src, std::size_t size) {
  constexpr std::size_t CHUNK = 64 * 1024;
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  for (std::size_t pos = 0; pos < size; pos += CHUNK) {
    const std::size_t n = std::min(CHUNK, size - pos);
    std::memcpy(dst + pos, src + pos, n);
    XXH3_64bits_update(&state, dst + pos, n);
  }
  return XXH3_64bits_digest(&state);
}

std::uint64_t library_hash(const unsigned char* in, std::size_t size) {
  return XXH3_64bits(in, size);
}

struct Kernels {
  Hash hash = library_hash;
  CopyHash copy_hash = copy_then_hash;
};

// The widest vector unit the processor (and its operating system) offers,
// chosen once.
Kernels choose() {
  Kernels kernels;
#if defined(VAMRA_XXH3_X86)
  if (__builtin_cpu_supports("avx512f")) {
    kernels = {xxh3::hash_avx512, xxh3::copy_hash_avx512};
  } else if (__builtin_cpu_supports("avx2")) {
    kernels = {xxh3::hash_avx2, xxh3::copy_hash_avx2};
  }
#endif
  return kernels;
}

const Kernels& kernels() {
  static const Kernels chosen = choose();
  return chosen;
}

const unsigned char* bytes(const std::byte* p) { return reinterpret_cast<const unsigned char*>(p); }

}  // namespace

std::uint64_t checksum(ByteSpan data) {
  if (data.size() < xxh3::LONG_INPUT) return XXH3_64bits(data.data(), data.size());
  return kernels().hash(bytes(data.data()), data.size());
}

std::uint64_t copy_with_checksum(std::byte* dst, ByteSpan src) {
  auto* out = reinterpret_cast<unsigned char*>(dst);
  if (src.size() < xxh3::LONG_INPUT) {
    if (!src.empty()) std::memcpy(out, src.data(), src.size());
    return XXH3_64bits(out, src.size());
  }
  return kernels().copy_hash(out, bytes(src.data()), src.size());
}

ChecksumStream::ChecksumStream() {
  static_assert(sizeof(XXH3_state_t) <= 640 && alignof(XXH3_state_t) <= 64);
  XXH3_64bits_reset(reinterpret_cast<XXH3_state_t*>(state_));
}

void ChecksumStream::update(ByteSpan piece) {
  if (!piece.empty()) {
    XXH3_64bits_update(reinterpret_cast<XXH3_state_t*>(state_), piece.data(), piece.size());
  }
}

std::uint64_t ChecksumStream::digest() const {
  return XXH3_64bits_digest(reinterpret_cast<const XXH3_state_t*>(state_));
}

}  // namespace vamra
