// File: request/big_unsigned.h
//
// An exact unsigned integer of any size, for solution counts that outgrow
// 64 bits. Only what counting needs: add, multiply, compare, reduce by a
// 64-bit modulus, and text forms (decimal for people, hex for a cheap
// conversion to a Python int).
//
// The request records. Tested by tests/cpp/search_count_test.cpp.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace anagram {

class BigUnsigned {
 public:
  BigUnsigned() = default;
  explicit BigUnsigned(uint64_t value);

  // Digits 0-9 only, at least one; anything else gives nullopt.
  static std::optional<BigUnsigned> from_decimal(std::string_view text);

  bool is_zero() const { return limbs_.empty(); }
  bool fits_u64() const { return limbs_.size() <= 1; }
  // The low 64 bits (the whole value when fits_u64()).
  uint64_t low_u64() const { return limbs_.empty() ? 0 : limbs_[0]; }
  // Little-endian 64-bit limbs without leading zero limbs; empty for 0.
  const std::vector<uint64_t>& limbs() const { return limbs_; }
  uint32_t bit_length() const;

  BigUnsigned& operator+=(const BigUnsigned& other);
  BigUnsigned& operator+=(uint64_t value);
  // `other` must not exceed this value.
  BigUnsigned& operator-=(const BigUnsigned& other);
  BigUnsigned& operator*=(uint64_t factor);
  friend BigUnsigned operator+(BigUnsigned a, const BigUnsigned& b) { return a += b; }
  friend BigUnsigned operator*(const BigUnsigned& a, const BigUnsigned& b);

  // Divides in place by `divisor` (not 0) and returns the remainder.
  uint64_t divide(uint64_t divisor);
  // The remainder of division by `modulus` (not 0), value unchanged.
  uint64_t mod(uint64_t modulus) const;

  std::string to_decimal() const;
  // Lower-case hex digits without prefix; "0" for zero.
  std::string to_hex() const;

  friend bool operator==(const BigUnsigned&, const BigUnsigned&) = default;
  friend std::strong_ordering operator<=>(const BigUnsigned& a, const BigUnsigned& b);

 private:
  void trim();
  std::vector<uint64_t> limbs_;
};

}  // namespace anagram
