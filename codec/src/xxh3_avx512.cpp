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

// The loop over aligned lines, for long inputs 8 to 56 bytes (a multiple of
// 8) past a line boundary. There every stripe straddles two cache lines, and
// a load across lines costs about as much as two; this loop loads whole
// aligned lines and leaves the bytes where they lie. With the input k
// words past the boundary, lane j of a line holds word j - k of the stripe
// that starts in it when j >= k, and word j - k + 8 of the stripe before
// otherwise. A word's product goes to the accumulator lane of its word number
// and its data to that lane's neighbour (number ^ 1): the loop keeps the
// accumulators rotated by k lanes, keys each line with the matching words of
// its two stripes' keys, and sums a block's data apart to move it to the
// neighbour lanes once per block. The line a block boundary cuts is split by
// masks: its low k lanes end one block, its others start the next. Line i
// starts 64 i - 8 k bytes into the input; line 0 is loaded from the input's
// first byte on only.

// Per line of a block (line 0 being the one its first stripe starts in), then
// the scrambling key, each rotated as above for k words (1 to 7).
struct LineKeys {
  alignas(64) unsigned char key[detail::STRIPES_PER_BLOCK + 1][detail::STRIPE];
};

consteval LineKeys line_keys(std::size_t k) {
  using detail::SECRET;
  using detail::STRIPE;
  using detail::STRIPES_PER_BLOCK;
  LineKeys keys{};
  for (std::size_t line = 0; line <= STRIPES_PER_BLOCK; ++line) {
    for (std::size_t j = 0; j < 8; ++j) {
      std::size_t from = 0;
      if (line == STRIPES_PER_BLOCK) {
        from = sizeof SECRET - STRIPE + 8 * ((j + 8 - k) % 8);
      } else if (j >= k) {
        from = 8 * line + 8 * (j - k);
      } else {
        from = 8 * ((line + STRIPES_PER_BLOCK - 1) % STRIPES_PER_BLOCK) + 8 * (j + 8 - k);
      }
      for (std::size_t b = 0; b < 8; ++b) keys.key[line][8 * j + b] = SECRET[from + b];
    }
  }
  return keys;
}

inline constexpr LineKeys LINE_KEYS[7] = {line_keys(1), line_keys(2), line_keys(3), line_keys(4),
                                          line_keys(5), line_keys(6), line_keys(7)};

// Where the lines go: nowhere (hashing only).
struct NoLines {
  static constexpr std::size_t DEPTH = 0;
  void start(__m512i) {}
  void fill(std::size_t, const __m512i (&)[4]) {}
  void group(const __m512i (&)[4]) {}
  void last_group(const __m512i (&)[4], std::size_t) {}
};

// Copies the lines to the destination, `Depth` groups of four after they are
// loaded. Each store joins the end of one line to the start of the next so
// as to land on a 64-byte boundary of the destination (a store across lines
// costs as much as two), or, where the destination is not a multiple of 8
// bytes from there, stores the lines as they are.
//
// The processor matches a load against the older stores still in flight by
// the low 12 bits of their addresses, and a load that meets part of such a
// store waits for it (see Lagging). A store of line i meets the load of line
// i + E, E being how many lines the store lies past the line in a 4 KiB
// frame; that load must come before the store or well after it, so the
// caller picks the depth from E.
template <int Depth>
struct LineCopy {
  static constexpr std::size_t DEPTH = Depth;
  unsigned char* out;
  const unsigned char* in;
  std::size_t skew;    // 8 k
  __m512i index;       // the words of line i - 1 and of line i that a store takes
  std::size_t offset;  // where the next store goes, from `out` (it joins lines i - 1 and i)
  __m512i previous = _mm512_setzero_si512();
  bool skip = false;  // the first store would start before `out`: line 0 lacks its words
  __m512i held[Depth > 0 ? Depth : 1][4] = {};

  LineCopy(unsigned char* o, const unsigned char* i, std::size_t words, std::size_t shift)
      : out(o),
        in(i),
        skew(8 * words),
        index(_mm512_add_epi64(_mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0),
                               _mm512_set1_epi64(static_cast<long long>(shift)))),
        offset(8 * shift - 8 * words) {}  // wraps below zero: see `skip`

  void start(__m512i line0) {
    previous = line0;
    skip = offset > detail::STRIPE;
    std::memcpy(out, in, skip ? offset + detail::STRIPE : offset);
  }
  template <std::size_t From, std::size_t Count>
  void put(const __m512i (&lines)[4]) {
    for (std::size_t i = From; i < Count; ++i) {
      _mm512_storeu_si512(out + offset + (i - From) * detail::STRIPE,
                          _mm512_permutex2var_epi64(previous, index, lines[i]));
      previous = lines[i];
    }
    offset += (Count - From) * detail::STRIPE;
  }
  template <std::size_t Count>
  void put(const __m512i (&lines)[4]) {
    if (skip) {
      skip = false;
      previous = lines[0];
      offset += detail::STRIPE;
      put<1, Count>(lines);
    } else {
      put<0, Count>(lines);
    }
  }
  // Groups 0 to Depth - 1 of the first block.
  void fill(std::size_t g, const __m512i (&lines)[4]) {
    for (std::size_t i = 0; i < 4; ++i) held[g][i] = lines[i];
  }
  void group(const __m512i (&lines)[4]) {
    if constexpr (Depth == 0) {
      put<4>(lines);
    } else {
      put<4>(held[0]);
      for (int g = 1; g < Depth; ++g) {
        for (std::size_t i = 0; i < 4; ++i) held[g - 1][i] = held[g][i];
      }
      for (std::size_t i = 0; i < 4; ++i) held[Depth - 1][i] = lines[i];
    }
  }
  // The group ending with the line after the last block, which may reach
  // past the input: that line is not stored, and the bytes from the last
  // store to the end of the blocks are copied as they are.
  void last_group(const __m512i (&lines)[4], std::size_t end) {
    for (int g = 0; g < Depth; ++g) put<4>(held[g]);
    put<3>(lines);
    std::memcpy(out + offset, in + offset, end - offset);
  }
};

// The loop over aligned lines (above), for an input `words` x 8 bytes past a
// line boundary and longer than a block. `Sink` receives the stripes after
// the blocks.
template <class Store, class Sink>
std::uint64_t hash_lines(const unsigned char* in, std::size_t len, std::size_t words, Store& store,
                         Sink& sink) {
  using detail::BLOCK;
  using detail::STRIPE;
  using detail::STRIPES_PER_BLOCK;
  const std::size_t skew = 8 * words;
  const unsigned char* const keys = LINE_KEYS[words - 1].key[0];
  const auto high = static_cast<__mmask8>(0xFF << words);  // the stripe starting in a line
  const auto low = static_cast<__mmask8>(~high);
  const __m512i lane = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
  const __m512i k = _mm512_set1_epi64(static_cast<long long>(words));
  const __m512i seven = _mm512_set1_epi64(7);
  // Rotated lane j holds lane j - k; lane q is rotated lane q + k.
  const __m512i to_rotated = _mm512_and_si512(_mm512_sub_epi64(lane, k), seven);
  const __m512i to_lanes = _mm512_and_si512(_mm512_add_epi64(lane, k), seven);
  // Rotated lane j's data goes to rotated lane ((j - k) ^ 1) + k: a pairing,
  // so gathering from there moves it.
  const __m512i neighbour = _mm512_and_si512(
      _mm512_add_epi64(_mm512_xor_si512(to_rotated, _mm512_set1_epi64(1)), k), seven);

  __m512i acc = _mm512_permutexvar_epi64(to_rotated, _mm512_load_si512(detail::INITIAL));
  const __m512i line0 = _mm512_maskz_load_epi64(
      high, reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(in) - skew));
  store.start(line0);
  __m512i carry_products =
      _mm512_maskz_mov_epi64(high, Avx512::product(line0, _mm512_load_si512(keys)));
  __m512i carry_data = line0;
  const std::size_t blocks = (len - 1) / BLOCK;
  for (std::size_t b = 0; b < blocks; ++b) {
    // One register for every key's address: left to itself, the compiler
    // keeps each key's address in a register of its own and spills them.
    const unsigned char* key = keys;
    __asm__("" : "+r"(key));
    const bool last = b + 1 == blocks;
    __m512i products[4] = {carry_products, _mm512_setzero_si512(), _mm512_setzero_si512(),
                           _mm512_setzero_si512()};
    __m512i data = carry_data;
#pragma GCC unroll 4
    for (std::size_t g = 0; g < 4; ++g) {
      __m512i line[4];
#pragma GCC unroll 4
      for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t s = 4 * g + i + 1;
        const std::size_t at = b * BLOCK + s * STRIPE - skew;
        // The line after the last block reaches past the input when fewer
        // bytes than its high lanes follow the blocks; its low lanes are all
        // that is used.
        if (s == STRIPES_PER_BLOCK && last && at + STRIPE > len) {
          line[i] = _mm512_maskz_load_epi64(low, in + at);
        } else {
          line[i] = _mm512_load_si512(in + at);
        }
        Avx512::keep(line[i]);
      }
      if (g == 3 && last) {
        store.last_group(line, blocks * BLOCK);
      } else if (g < Store::DEPTH && b == 0) {
        store.fill(g, line);
      } else {
        store.group(line);
      }
#pragma GCC unroll 4
      for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t s = 4 * g + i + 1;
        if (s == STRIPES_PER_BLOCK) {
          const __m512i cut = Avx512::product(line[i], _mm512_load_si512(key));
          products[i] = _mm512_mask_add_epi64(products[i], low, products[i], cut);
          data = _mm512_mask_add_epi64(data, low, data, line[i]);
          carry_products = _mm512_maskz_mov_epi64(high, cut);
          carry_data = _mm512_maskz_mov_epi64(high, line[i]);
        } else {
          products[i] = _mm512_add_epi64(
              products[i], Avx512::product(line[i], _mm512_load_si512(key + s * STRIPE)));
        }
      }
      const __m512i three = _mm512_add_epi64(_mm512_add_epi64(line[0], line[1]), line[2]);
      data = _mm512_add_epi64(data, g == 3 ? three : _mm512_add_epi64(three, line[3]));
    }
    const __m512i sum = _mm512_add_epi64(_mm512_add_epi64(products[0], products[1]),
                                         _mm512_add_epi64(products[2], products[3]));
    acc = _mm512_add_epi64(acc, _mm512_add_epi64(sum, _mm512_permutexvar_epi64(neighbour, data)));
    acc = Avx512::scramble(acc, _mm512_load_si512(key + STRIPES_PER_BLOCK * STRIPE));
  }
  return detail::finish_long<Avx512>(in, len, _mm512_permutexvar_epi64(to_lanes, acc), sink);
}

// Whether the line loop takes an input. At a line boundary the stripes are
// the lines and the plain loop does less work. Below 32 KiB the input and
// its copy fit the first-level data cache of the processors measured, where
// loads across lines cost little and the line loop's fixed costs outweigh
// what it saves.
bool by_lines(const unsigned char* in, std::size_t len) {
  const auto skew = reinterpret_cast<std::uintptr_t>(in) % detail::STRIPE;
  return len >= LINES_FROM && skew != 0 && skew % 8 == 0;
}

template <int Depth>
[[gnu::noinline]] std::uint64_t copy_lines(unsigned char* out, const unsigned char* in,
                                           std::size_t len, std::size_t words, std::size_t shift) {
  LineCopy<Depth> store(out, in, words, shift);
  detail::DirectCopy<Avx512> sink{out};
  return hash_lines(in, len, words, store, sink);
}

std::uint64_t copy_by_lines(unsigned char* out, const unsigned char* in, std::size_t len) {
  const auto source = reinterpret_cast<std::uintptr_t>(in);
  const auto destination = reinterpret_cast<std::uintptr_t>(out);
  const std::size_t skew = source % detail::STRIPE;
  // Where the source's line boundaries fall in the destination.
  const std::size_t at = (destination - skew) % detail::STRIPE;
  const std::size_t shift = at % 8 == 0 ? (detail::STRIPE - at) % detail::STRIPE / 8 : 0;
  // E above. On the processor measured, a load waited for stores issued up
  // to some ten lines before it: one group behind serves up to 5 lines,
  // two groups up to 9, and beyond, stores right after their loads.
  const std::size_t apart = (destination + 8 * shift - source) % 4096 / detail::STRIPE;
  if (apart <= 5) return copy_lines<1>(out, in, len, skew / 8, shift);
  if (apart <= 9) return copy_lines<2>(out, in, len, skew / 8, shift);
  return copy_lines<0>(out, in, len, skew / 8, shift);
}

template <int Shift>
std::uint64_t shifted(unsigned char* out, const unsigned char* in, std::size_t len) {
  Lagging<ShiftedCopy<Shift>> sink{{out, in, len}};
  return detail::hash_long<Avx512>(in, len, sink);
}

}  // namespace

std::uint64_t hash_avx512(const unsigned char* in, std::size_t len) {
  if (by_lines(in, len)) {
    NoLines store;
    detail::NoCopy sink;
    return hash_lines(in, len, reinterpret_cast<std::uintptr_t>(in) % detail::STRIPE / 8, store,
                      sink);
  }
  detail::NoCopy sink;
  return detail::hash_long<Avx512>(in, len, sink);
}

std::uint64_t copy_hash_avx512(unsigned char* out, const unsigned char* in, std::size_t len) {
  if (by_lines(in, len)) return copy_by_lines(out, in, len);
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
