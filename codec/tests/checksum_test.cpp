#include "vamra/checksum.hpp"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "vamra/dense.hpp"
#include "xxh3_long.hpp"

namespace vamra::test {
namespace {

using Hash = std::uint64_t (*)(const unsigned char*, std::size_t);
using CopyHash = std::uint64_t (*)(unsigned char*, const unsigned char*, std::size_t);

struct Variant {
  const char* name;
  Hash hash;
  CopyHash copy_hash;
  bool present;
};

std::uint64_t public_hash(const unsigned char* in, std::size_t n) {
  return checksum({reinterpret_cast<const std::byte*>(in), n});
}

std::uint64_t public_copy_hash(unsigned char* out, const unsigned char* in, std::size_t n) {
  return copy_with_checksum(reinterpret_cast<std::byte*>(out),
                            {reinterpret_cast<const std::byte*>(in), n});
}

// Every loop this machine can run: the dispatched one, and each vector unit's
// own (a machine without one skips it).
std::vector<Variant> variants() {
  std::vector<Variant> out{{"dispatched", public_hash, public_copy_hash, true}};
#if defined(__x86_64__)
  out.push_back({"avx2", xxh3::hash_avx2, xxh3::copy_hash_avx2,
                 static_cast<bool>(__builtin_cpu_supports("avx2"))});
  out.push_back({"avx512", xxh3::hash_avx512, xxh3::copy_hash_avx512,
                 static_cast<bool>(__builtin_cpu_supports("avx512f"))});
#endif
  return out;
}

std::vector<unsigned char> random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<unsigned char> out(n);
  for (auto& b : out) b = static_cast<unsigned char>(rng());
  return out;
}

// The hash and the copy against libxxhash, at source offsets 0 to 7 and
// destinations at every 8-byte offset within 32 (the copy joins stripes at
// 32-byte boundaries) and at odd ones, with guard bytes on both sides.
void check(const Variant& v, const std::vector<unsigned char>& data, std::size_t n) {
  const std::size_t min_len = v.hash == public_hash ? 0 : xxh3::LONG_INPUT;
  if (n < min_len) return;
  constexpr std::size_t GUARD = 80;
  alignas(64) static unsigned char out[(1 << 20) + 4096];
  for (std::size_t from = 0; from < 8; from += (n > 5000 ? 7 : 1)) {
    const unsigned char* in = data.data() + from;
    const std::uint64_t expected = XXH3_64bits(in, n);
    ASSERT_EQ(v.hash(in, n), expected) << v.name << " n=" << n << " from=" << from;
    for (const std::size_t to : {0, 8, 16, 24, 32, 1, 13, 47}) {
      unsigned char* dst = out + GUARD + to;
      std::memset(out, 0xA5, GUARD + to + n + GUARD);
      ASSERT_EQ(v.copy_hash(dst, in, n), expected) << v.name << " n=" << n << " to=" << to;
      ASSERT_EQ(std::memcmp(dst, in, n), 0) << v.name << " n=" << n << " to=" << to;
      for (std::size_t i = 0; i < GUARD + to; ++i) ASSERT_EQ(out[i], 0xA5) << "before, n=" << n;
      for (std::size_t i = 0; i < GUARD; ++i) ASSERT_EQ(dst[n + i], 0xA5) << "after, n=" << n;
    }
  }
}

TEST(Checksum, EveryLengthUpToSeveralBlocksMatchesLibxxhash) {
  const auto data = random_bytes(5000, 1);
  for (const Variant& v : variants()) {
    if (!v.present) continue;
    for (std::size_t n = 0; n <= 4200; ++n) check(v, data, n);
  }
}

TEST(Checksum, LongInputsMatchLibxxhash) {
  const auto data = random_bytes((1 << 20) + 16, 2);
  for (const Variant& v : variants()) {
    if (!v.present) continue;
    for (const std::size_t n : {std::size_t{65536}, std::size_t{65537}, std::size_t{1} << 20,
                                (std::size_t{1} << 20) - 63}) {
      check(v, data, n);
    }
  }
}

// Source and destination a little apart in the 4 KiB frame, as two fresh
// mappings are: the copy orders its stores differently there.
TEST(Checksum, CopiesWhereTheDestinationTrailsTheSourceClosely) {
  const auto data = random_bytes(16384, 4);
  std::vector<unsigned char> out(3 * 16384);
  for (const Variant& v : variants()) {
    if (!v.present) continue;
    for (const std::size_t from : {0, 16, 40, 3}) {
      for (const std::size_t apart : {0, 8, 16, 48, 64, 112, 200, 1000, 4080, 4095}) {
        for (const std::size_t n :
             {std::size_t{241}, std::size_t{1024 + 64 + 7}, std::size_t{9000}}) {
          const unsigned char* in = data.data() + from;
          const auto base = reinterpret_cast<std::uintptr_t>(out.data()) + 8192;
          const auto gap = (reinterpret_cast<std::uintptr_t>(in) + apart - base) % 4096;
          unsigned char* dst = out.data() + 8192 + gap;
          std::fill(out.begin(), out.end(), 0x5A);
          ASSERT_EQ(v.copy_hash(dst, in, n), XXH3_64bits(in, n)) << v.name << " apart=" << apart;
          ASSERT_EQ(std::memcmp(dst, in, n), 0) << v.name << " apart=" << apart << " n=" << n;
          ASSERT_EQ(dst[-1], 0x5A);
          ASSERT_EQ(dst[n], 0x5A);
        }
      }
    }
  }
}

TEST(Checksum, FootersOfEncodedPacketsUseIt) {
  // The dense encoder's footer covers exactly the body.
  const auto data = random_bytes(3000, 3);
  const std::uint32_t shape[] = {3000};
  const DenseView view{
      {reinterpret_cast<const std::byte*>(data.data()), data.size()}, shape, Dtype::UInt8};
  std::vector<std::byte> packet(4096);
  const auto size = encode_dense_into(view, packet, {.check_integrity = true});
  ASSERT_TRUE(size.has_value());
  std::uint64_t footer = 0;
  std::memcpy(&footer, packet.data() + *size - 8, 8);
  EXPECT_EQ(footer, XXH3_64bits(data.data(), data.size()));
  EXPECT_TRUE(decode(std::span(packet).first(*size)).has_value());
}

}  // namespace
}  // namespace vamra::test
