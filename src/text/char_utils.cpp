// File: text/char_utils.cpp
//
// Letter counts, normalisation and letter lists (text/char_utils.h).
// Letters and text. Tested by tests/cpp/char_utils_test.cpp and
// fuzz/fuzz_char_utils.cpp.
#include "text/char_utils.h"

#include <limits>

#include "text/unicode_tables.h"

namespace anagram {

namespace {

bool is_ascii_letter(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char32_t ascii_lower(char32_t c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

}  // namespace

std::variant<CharCounts, std::string> CharCounts::from_str(std::string_view text) {
  CharCounts result;
  for (size_t pos = 0; pos < text.size();) {
    const unsigned char b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80) {  // the common case, without decoding
      ++pos;
      const char32_t lower = ascii_lower(b);
      if (lower >= 'a' && lower <= 'z') ++result.counts[lower - 'a'];
      continue;
    }
    const char32_t c = decode_utf8(text, pos);
    if (is_alphabetic(c)) {
      std::string message = "Non-ASCII alphabetic character found after lowercase: ";
      append_utf8(message, c);
      return message;
    }
  }
  return result;
}

uint32_t CharCounts::total() const {
  uint32_t sum = 0;
  for (uint32_t c : counts) sum += c;
  return sum;
}

bool CharCounts::is_empty() const {
  for (uint32_t c : counts) {
    if (c != 0) return false;
  }
  return true;
}

std::string normalize_word(std::string_view text) {
  std::string word;
  for (char ch : text) {
    const char32_t c = static_cast<unsigned char>(ch);
    if (is_ascii_letter(c)) word += static_cast<char>(ascii_lower(c));
  }
  return word;
}

std::optional<CharSet> parse_char_list_to_set(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  CharSet set;
  for (size_t pos = 0; pos < text->size();) set.insert(ascii_lower(decode_utf8(*text, pos)));
  return set;
}

std::optional<CharCountMap> parse_char_list_to_counts(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  CharCountMap map;
  for (size_t pos = 0; pos < text->size();) {
    uint32_t& count = map[ascii_lower(decode_utf8(*text, pos))];
    if (count != std::numeric_limits<uint32_t>::max()) ++count;  // saturate, never wrap
  }
  return map;
}

}  // namespace anagram
