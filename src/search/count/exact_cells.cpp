// File: search/count/exact_cells.cpp
//
// The tails' additions in 64 bits, the primes and the Chinese remainder
// step of exact counts (exact_cells.h); search part, tested through the
// counts (tests/cpp/search_count_test.cpp).
#include "search/count/exact_cells.h"

namespace anagram::internal {

// The additions are built twice, for AVX2 and for any x86-64, and the first
// is taken where the processor has it: twice the cells per instruction.
// (Not under ThreadSanitizer: the choice runs before it is set up.)
#if defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define ANAGRAM_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ANAGRAM_VECTOR_CLONES
#endif

ANAGRAM_VECTOR_CLONES
uint64_t add_masked(uint64_t* into, const uint64_t* from, const uint64_t* keep, uint64_t n) {
  uint64_t any = 0;
  for (uint64_t j = 0; j < n; ++j) {
    const uint64_t sum = into[j] + (from[j] & keep[j]);
    any |= sum;
    into[j] = sum;
  }
  return any >> 63;
}

ANAGRAM_VECTOR_CLONES
uint64_t add_masked_scaled(uint64_t* into, const uint64_t* from, const uint64_t* keep, uint64_t n, uint64_t coef) {
  const uint64_t limit = (UINT64_MAX >> 1) / coef;  // a value above it may overflow
  uint64_t any = 0, over = 0;
  for (uint64_t j = 0; j < n; ++j) {
    const uint64_t value = from[j] & keep[j];
    over |= static_cast<uint64_t>(value > limit);
    const uint64_t sum = into[j] + value * coef;
    any |= sum;
    into[j] = sum;
  }
  return (any >> 63) | over;
}

namespace {

uint64_t mul_mod(uint64_t a, uint64_t b, uint64_t m) { return static_cast<uint64_t>(static_cast<u128>(a) * b % m); }

uint64_t pow_mod(uint64_t base, uint64_t exp, uint64_t m) {
  uint64_t result = 1 % m;
  for (base %= m; exp > 0; exp >>= 1, base = mul_mod(base, base, m)) {
    if (exp & 1) result = mul_mod(result, base, m);
  }
  return result;
}

// Miller-Rabin with the first twelve primes as bases: exact below 3.3e24.
bool is_prime(uint64_t n) {
  static constexpr uint64_t kBases[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37};
  if (n < 2) return false;
  for (uint64_t p : kBases) {
    if (n % p == 0) return n == p;
  }
  const int twos = __builtin_ctzll(n - 1);
  const uint64_t odd = (n - 1) >> twos;
  for (uint64_t a : kBases) {
    uint64_t x = pow_mod(a, odd, n);
    if (x == 1 || x == n - 1) continue;
    bool composite = true;
    for (int i = 1; i < twos && composite; ++i) {
      x = mul_mod(x, x, n);
      composite = x != n - 1;
    }
    if (composite) return false;
  }
  return true;
}

}  // namespace

std::vector<uint64_t> large_primes(size_t count) {
  std::vector<uint64_t> primes;
  for (uint64_t n = (uint64_t{1} << 63) - 1; primes.size() < count; n -= 2) {
    if (is_prime(n)) primes.push_back(n);
  }
  return primes;
}

BigUnsigned from_residues(const BigUnsigned& low, uint32_t low_bits, const std::vector<uint64_t>& primes,
                          const std::vector<uint64_t>& residues) {
  BigUnsigned value = low;
  BigUnsigned modulus(1);
  for (uint32_t b = 0; b < low_bits; b += 32) modulus *= uint64_t{1} << 32;
  for (size_t i = 0; i < primes.size(); ++i) {
    const uint64_t p = primes[i];
    const uint64_t have = value.mod(p);
    const uint64_t need = residues[i] >= have ? residues[i] - have : residues[i] + (p - have);
    const uint64_t step = mul_mod(need, pow_mod(modulus.mod(p), p - 2, p), p);
    BigUnsigned term = modulus;
    term *= step;
    value += term;
    modulus *= p;
  }
  return value;
}

}  // namespace anagram::internal
