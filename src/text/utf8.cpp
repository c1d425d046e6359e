// File: text/utf8.cpp
//
// The one UTF-8 decoder (text/utf8.h).
// Letters and text. Tested by tests/cpp/char_utils_utf8_test.cpp.
#include "text/utf8.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace anagram {

namespace {

// Length of the sequence that `lead` starts, or 0 for a byte that starts none
// (a continuation byte, or 0xF8 and above).
size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

// The smallest character that needs a sequence of each length; anything
// smaller is an overlong form.
constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};

constexpr uint64_t kHighBits = 0x8080808080808080u;

}  // namespace

std::optional<char32_t> decode_utf8_strict(std::string_view text, size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  const size_t length = sequence_length(lead);
  if (length == 0 || text.size() - pos < length) return std::nullopt;
  char32_t c = length == 1 ? lead : lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[pos + k]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    c = (c << 6) | (next & 0x3F);
  }
  const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
  if (c < kSmallest[length] || c > 0x10FFFF || surrogate) return std::nullopt;
  pos += length;
  return c;
}

char32_t decode_utf8(std::string_view text, size_t& pos) {
  if (std::optional<char32_t> c = decode_utf8_strict(text, pos)) return *c;
  ++pos;
  return kReplacementCharacter;
}

bool is_valid_utf8(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    // Skip whole words of ASCII; memcpy keeps the loads free of alignment
    // and aliasing concerns and compiles to plain loads.
    while (text.size() - pos >= 2 * sizeof(uint64_t)) {
      uint64_t first, second;
      std::memcpy(&first, text.data() + pos, sizeof first);
      std::memcpy(&second, text.data() + pos + sizeof first, sizeof second);
      if (((first | second) & kHighBits) != 0) break;
      pos += 2 * sizeof(uint64_t);
    }
    // Then the next two words' worth character by character.
    const size_t stop = std::min(text.size(), pos + 2 * sizeof(uint64_t));
    while (pos < stop) {
      if (static_cast<unsigned char>(text[pos]) < 0x80) {
        ++pos;
      } else if (!decode_utf8_strict(text, pos)) {
        return false;
      }
    }
  }
  return true;
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

}  // namespace anagram
