// File: request/big_unsigned.cpp
//
// Exact unsigned integers of any size (request/big_unsigned.h).
// The request records. Tested by tests/cpp/search_count_test.cpp.
#include "request/big_unsigned.h"

#include "text/char_utils.h"

#include <algorithm>

namespace anagram {

namespace {


constexpr uint64_t kTenPow19 = 10'000'000'000'000'000'000ull;

}  // namespace

BigUnsigned::BigUnsigned(uint64_t value) {
  if (value != 0) limbs_.push_back(value);
}

std::optional<BigUnsigned> BigUnsigned::from_decimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  BigUnsigned result;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    result *= 10;
    result += static_cast<uint64_t>(ch - '0');
  }
  return result;
}

uint32_t BigUnsigned::bit_length() const {
  if (limbs_.empty()) return 0;
  return static_cast<uint32_t>(64 * limbs_.size()) - static_cast<uint32_t>(__builtin_clzll(limbs_.back()));
}

void BigUnsigned::trim() {
  while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
}

BigUnsigned& BigUnsigned::operator+=(const BigUnsigned& other) {
  if (limbs_.size() < other.limbs_.size()) limbs_.resize(other.limbs_.size(), 0);
  uint64_t carry = 0;
  for (size_t i = 0; i < limbs_.size(); ++i) {
    const u128 sum = static_cast<u128>(limbs_[i]) + (i < other.limbs_.size() ? other.limbs_[i] : 0) + carry;
    limbs_[i] = static_cast<uint64_t>(sum);
    carry = static_cast<uint64_t>(sum >> 64);
    if (carry == 0 && i >= other.limbs_.size()) break;
  }
  if (carry != 0) limbs_.push_back(carry);
  return *this;
}

BigUnsigned& BigUnsigned::operator+=(uint64_t value) { return *this += BigUnsigned(value); }

BigUnsigned& BigUnsigned::operator-=(const BigUnsigned& other) {
  uint64_t borrow = 0;
  for (size_t i = 0; i < limbs_.size(); ++i) {
    const uint64_t take = i < other.limbs_.size() ? other.limbs_[i] : 0;
    const u128 need = static_cast<u128>(take) + borrow;
    borrow = static_cast<u128>(limbs_[i]) < need ? 1 : 0;
    limbs_[i] = static_cast<uint64_t>(static_cast<u128>(limbs_[i]) - need);
    if (borrow == 0 && i + 1 >= other.limbs_.size()) break;
  }
  trim();
  return *this;
}

BigUnsigned& BigUnsigned::operator*=(uint64_t factor) {
  uint64_t carry = 0;
  for (uint64_t& limb : limbs_) {
    const u128 product = static_cast<u128>(limb) * factor + carry;
    limb = static_cast<uint64_t>(product);
    carry = static_cast<uint64_t>(product >> 64);
  }
  if (carry != 0) limbs_.push_back(carry);
  trim();
  return *this;
}

BigUnsigned operator*(const BigUnsigned& a, const BigUnsigned& b) {
  BigUnsigned result;
  if (a.is_zero() || b.is_zero()) return result;
  result.limbs_.assign(a.limbs_.size() + b.limbs_.size(), 0);
  for (size_t i = 0; i < a.limbs_.size(); ++i) {
    uint64_t carry = 0;
    for (size_t j = 0; j < b.limbs_.size(); ++j) {
      const u128 cell = static_cast<u128>(a.limbs_[i]) * b.limbs_[j] + result.limbs_[i + j] + carry;
      result.limbs_[i + j] = static_cast<uint64_t>(cell);
      carry = static_cast<uint64_t>(cell >> 64);
    }
    result.limbs_[i + b.limbs_.size()] = carry;
  }
  result.trim();
  return result;
}

uint64_t BigUnsigned::divide(uint64_t divisor) {
  u128 remainder = 0;
  for (size_t i = limbs_.size(); i-- > 0;) {
    const u128 current = (remainder << 64) | limbs_[i];
    limbs_[i] = static_cast<uint64_t>(current / divisor);
    remainder = current % divisor;
  }
  trim();
  return static_cast<uint64_t>(remainder);
}

uint64_t BigUnsigned::mod(uint64_t modulus) const {
  u128 remainder = 0;
  for (size_t i = limbs_.size(); i-- > 0;) remainder = ((remainder << 64) | limbs_[i]) % modulus;
  return static_cast<uint64_t>(remainder);
}

std::string BigUnsigned::to_decimal() const {
  if (is_zero()) return "0";
  // Peel off 19 digits at a time, lowest group first.
  BigUnsigned rest = *this;
  std::vector<uint64_t> groups;
  while (!rest.is_zero()) groups.push_back(rest.divide(kTenPow19));
  std::string text = std::to_string(groups.back());
  for (size_t i = groups.size() - 1; i-- > 0;) {
    const std::string group = std::to_string(groups[i]);
    text.append(19 - group.size(), '0');
    text += group;
  }
  return text;
}

std::string BigUnsigned::to_hex() const {
  if (is_zero()) return "0";
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = limbs_.size(); i-- > 0;) {
    for (int shift = 60; shift >= 0; shift -= 4) text += kDigits[(limbs_[i] >> shift) & 15];
  }
  text.erase(0, std::min(text.find_first_not_of('0'), text.size() - 1));
  return text;
}

std::strong_ordering operator<=>(const BigUnsigned& a, const BigUnsigned& b) {
  if (a.limbs_.size() != b.limbs_.size()) return a.limbs_.size() <=> b.limbs_.size();
  for (size_t i = a.limbs_.size(); i-- > 0;) {
    if (a.limbs_[i] != b.limbs_[i]) return a.limbs_[i] <=> b.limbs_[i];
  }
  return std::strong_ordering::equal;
}

}  // namespace anagram
