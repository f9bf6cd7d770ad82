#include "vamra/checksum.hpp"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
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

// A buffer at a 64-byte boundary, so that offsets into it are offsets from
// a cache line.
struct Lines {
  explicit Lines(std::size_t n) : bytes(new(std::align_val_t{64}) unsigned char[n]), size(n) {}
  ~Lines() { ::operator delete[](bytes, std::align_val_t{64}); }
  Lines(const Lines&) = delete;
  Lines& operator=(const Lines&) = delete;
  unsigned char* bytes;
  std::size_t size;
};

constexpr unsigned char GUARD_BYTE = 0xA5;

// One copy: the hash, the bytes, and nothing written around them.
void check_copy(const Variant& v, Lines& out, std::size_t to, const unsigned char* in,
                std::size_t n, std::uint64_t expected) {
  unsigned char* dst = out.bytes + to;
  std::memset(out.bytes, GUARD_BYTE, to + n + 64);
  ASSERT_EQ(v.copy_hash(dst, in, n), expected) << v.name << " n=" << n << " to=" << to;
  ASSERT_EQ(std::memcmp(dst, in, n), 0) << v.name << " n=" << n << " to=" << to;
  for (std::size_t i = 0; i < to; ++i) ASSERT_EQ(out.bytes[i], GUARD_BYTE) << "before, to=" << to;
  for (std::size_t i = 0; i < 64; ++i) ASSERT_EQ(dst[n + i], GUARD_BYTE) << "after, to=" << to;
}

// Source and destination at every offset from a cache line, short and long
// (the AVX-512 unit reads long inputs by whole lines, rotated to each offset).
TEST(Checksum, EveryOffsetOfSourceAndDestination) {
  for (const std::size_t n : {std::size_t{5000}, xxh3::LINES_FROM + 1000 + 3}) {
    const auto data = random_bytes(n + 64, 5);
    Lines in(n + 64);
    Lines out(n + 192);
    std::memcpy(in.bytes, data.data(), n + 64);
    for (const Variant& v : variants()) {
      if (!v.present) continue;
      for (std::size_t from = 0; from < 64; ++from) {
        const std::uint64_t expected = XXH3_64bits(in.bytes + from, n);
        ASSERT_EQ(v.hash(in.bytes + from, n), expected) << v.name << " n=" << n << " from=" << from;
        for (std::size_t to = 0; to < 64; ++to)
          ASSERT_NO_FATAL_FAILURE(check_copy(v, out, to, in.bytes + from, n, expected));
      }
    }
  }
}

// Lengths at the edges of the line loop: around the shortest length it takes,
// and after whole blocks, tails shorter and longer than what remains of the
// line the last block ends in. Each input ends where its allocation does, so
// that the sanitizers see a read past it.
TEST(Checksum, LineLoopEdges) {
  constexpr std::size_t L = xxh3::LINES_FROM;
  const std::size_t lengths[] = {L - 1,    L,        L + 1,      L + 8,       L + 40,
                                 L + 56,   L + 63,   L + 64,     L + 65,      L + 1023,
                                 L + 1024, L + 1025, 2 * L + 17, 5 * L + 1000};
  const auto data = random_bytes(5 * L + 1100, 6);
  Lines out(5 * L + 1200);
  for (const Variant& v : variants()) {
    if (!v.present) continue;
    for (const std::size_t n : lengths) {
      for (std::size_t from = 8; from <= 64; from += 8) {
        Lines in(from + n);
        std::memcpy(in.bytes + from, data.data(), n);
        const std::uint64_t expected = XXH3_64bits(in.bytes + from, n);
        ASSERT_EQ(v.hash(in.bytes + from, n), expected) << v.name << " n=" << n << " from=" << from;
        for (const std::size_t to : {0, 8, 16, 24, 40, 56, 3, 61}) {
          ASSERT_NO_FATAL_FAILURE(check_copy(v, out, to, in.bytes + from, n, expected));
        }
      }
    }
  }
}

// Long copies at every distance between the stores and the loads of the same
// bytes within a 4 KiB frame (the AVX-512 unit orders its stores by it).
TEST(Checksum, LongCopiesAtEveryDistanceInThePageFrame) {
  constexpr std::size_t n = xxh3::LINES_FROM + 777;
  Lines in(n + 64);
  Lines out(n + 4096 + 192);
  const auto data = random_bytes(in.size, 7);
  std::memcpy(in.bytes, data.data(), in.size);
  for (const Variant& v : variants()) {
    if (!v.present) continue;
    for (const std::size_t from : {16, 40}) {
      const std::uint64_t expected = XXH3_64bits(in.bytes + from, n);
      for (std::size_t apart = 0; apart < 4096; apart += 64) {
        for (const std::size_t to : {apart + 8, apart + 48}) {
          ASSERT_NO_FATAL_FAILURE(check_copy(v, out, to, in.bytes + from, n, expected));
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
