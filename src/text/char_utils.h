// File: text/char_utils.h
//
// Letter arithmetic: 26-slot letter counts, word normalisation and the
// parsing of the letter-list options of a solve request.
//
// Letters and text. Tested by tests/cpp/char_utils_test.cpp and
// fuzz/fuzz_char_utils.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>

#include "text/utf8.h"

namespace anagram {

// The widest native unsigned integer: packed letter counts and the limbs of
// big counts are built on it.
using u128 = unsigned __int128;

// How many times each of the letters a..z occurs in a text. Slot 0 is 'a'.
// A plain value: copying it copies the 26 counts.
struct CharCounts {
  std::array<uint32_t, 26> counts{};

  // Counts the ASCII letters of `text` case-insensitively and skips every
  // other character, except that a non-ASCII alphabetic character makes the
  // whole count fail with a message naming it.
  static std::variant<CharCounts, std::string> from_str(std::string_view text);

  uint32_t total() const;
  bool is_empty() const;
  // True when no count of `other` exceeds the same count here. Inline and
  // without an early exit, so it compiles to a few vector compares: the
  // counts' seed walks try it millions of times.
  bool can_subtract(const CharCounts& other) const {
    uint32_t short_of = 0;
    for (size_t i = 0; i < counts.size(); ++i) short_of |= static_cast<uint32_t>(counts[i] < other.counts[i]);
    return short_of == 0;
  }

  uint32_t get(char letter) const { return counts[slot(letter)]; }
  void decrement(char letter) { --counts[slot(letter)]; }
  void increment(char letter) { ++counts[slot(letter)]; }

  bool operator==(const CharCounts&) const = default;

 private:
  static size_t slot(char letter) { return static_cast<unsigned char>(letter) - 'a'; }
};

// Keeps only the ASCII letters of `text`, lower-cased, in their order.
std::string normalize_word(std::string_view text);

using CharSet = std::unordered_set<char32_t>;
using CharCountMap = std::unordered_map<char32_t, uint32_t>;

// Every character of the text (A..Z lower-cased) is one element; nothing is
// dropped. Absent in, absent out.
std::optional<CharSet> parse_char_list_to_set(const std::optional<std::string>& text);
std::optional<CharCountMap> parse_char_list_to_counts(const std::optional<std::string>& text);

}  // namespace anagram
