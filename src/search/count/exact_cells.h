// File: search/count/exact_cells.h
//
// The arithmetic behind an exact count of any size, shared by the dense
// table (table_count.cpp) and the table over reachable states
// (reach_count.cpp), in the search part: a pass may add in 64 or 128 bits and notice a carry,
// add in floating point to bound the count, or add modulo a large prime; the
// residues of several passes rebuild the exact value. Tested through both
// counts (tests/cpp/search_count_test.cpp).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "request/big_unsigned.h"
#include "text/char_utils.h"

namespace anagram::internal {

// Adds and multiplies in Cell (uint64_t or u128), remembering any result
// with its top bit set: while none is, every cell is below half the range,
// so no sum of two can wrap. (Testing the top bit, not sum < a, lets a loop
// of additions run in vector registers.)
template <typename C>
struct WrapArith {
  using Cell = C;
  static constexpr int kTopBit = sizeof(Cell) * 8 - 1;
  uint64_t carried = 0;
  Cell add(Cell a, Cell b) {
    const Cell sum = a + b;
    carried |= static_cast<uint64_t>(sum >> kTopBit);
    return sum;
  }
  Cell mul(Cell a, Cell b) {
    Cell product;
    carried |= static_cast<uint64_t>(__builtin_mul_overflow(a, b, &product)) | static_cast<uint64_t>(product >> kTopBit);
    return product;
  }
  static Cell of(uint64_t n) { return n; }
};

struct ModArith {
  using Cell = uint64_t;
  uint64_t modulus;  // below 2^63, so a sum of two residues never wraps
  Cell add(Cell a, Cell b) const {
    const Cell sum = a + b;
    return sum >= modulus ? sum - modulus : sum;
  }
  Cell mul(Cell a, Cell b) const { return static_cast<Cell>(static_cast<u128>(a) * (b % modulus) % modulus); }
  Cell of(uint64_t n) const { return n % modulus; }
};

template <typename F>
struct FloatArith {
  using Cell = F;
  Cell add(Cell a, Cell b) const { return a + b; }
  Cell mul(Cell a, Cell b) const { return a * b; }
  static Cell of(uint64_t n) { return static_cast<F>(n); }
};

// The additions of the reached states' tails in 64 bits, the most of their
// work, for WrapArith<uint64_t>: each returns 1 when a sum has its top bit
// set or a product may have overflowed (WrapArith::carried).
// into[j] += from[j] & keep[j]:
uint64_t add_masked(uint64_t* into, const uint64_t* from, const uint64_t* keep, uint64_t n);
// into[j] += (from[j] & keep[j]) * coef, coef >= 1:
uint64_t add_masked_scaled(uint64_t* into, const uint64_t* from, const uint64_t* keep, uint64_t n, uint64_t coef);

// The `count` largest primes below 2^63, each above 2^62.
std::vector<uint64_t> large_primes(size_t count);

// The value below 2^low_bits * prod(primes) whose low `low_bits` bits are
// `low` and whose residues modulo `primes` are `residues`.
BigUnsigned from_residues(const BigUnsigned& low, uint32_t low_bits, const std::vector<uint64_t>& primes,
                          const std::vector<uint64_t>& residues);

// Bits of an upper bound of a count that a floating-point pass approximated
// as `approx` after at most `depth` roundings along any chain of sums of
// non-negative terms; nothing when the bound is not finite.
template <typename F>
std::optional<double> bound_bits(F approx, F depth) {
  const F bound = approx * (1 + 4 * depth * std::numeric_limits<F>::epsilon()) + 2;
  if (!std::isfinite(bound)) return std::nullopt;
  return static_cast<double>(std::ilogb(bound) + 1);
}

// Primes above 2^62 needed, past `low_bits` exact bits, to hold `bits` bits.
inline size_t primes_for(double bits, uint32_t low_bits) {
  return bits <= low_bits ? 0 : static_cast<size_t>(std::ceil((bits - low_bits) / 62));
}

}  // namespace anagram::internal
