#include "char_utils.h"

#include <limits>

#include "unicode_tables.h"

namespace {

bool is_ascii_letter(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char32_t ascii_lower(char32_t c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

}  // namespace

char32_t decode_utf8(std::string_view text, size_t& pos) {
  constexpr char32_t kReplacement = 0xFFFD;
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  size_t len;
  char32_t c;
  char32_t min;
  if ((lead & 0xE0) == 0xC0) {
    len = 2, c = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    len = 3, c = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    len = 4, c = lead & 0x07, min = 0x10000;
  } else {
    ++pos;
    return kReplacement;
  }
  if (text.size() - pos < len) {
    ++pos;
    return kReplacement;
  }
  for (size_t i = 1; i < len; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    c = (c << 6) | (next & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++pos;
    return kReplacement;
  }
  pos += len;
  return c;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

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

bool CharCounts::can_subtract(const CharCounts& other) const {
  for (size_t i = 0; i < counts.size(); ++i) {
    if (counts[i] < other.counts[i]) return false;
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
