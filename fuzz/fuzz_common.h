// Helpers shared by the fuzz targets: a strict UTF-8 decoder written
// independently of the engine's, and a check that aborts with a message so
// libFuzzer records the input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace anagram {

#define FUZZ_CHECK(cond)                                                             \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)

namespace fuzz {

// Decodes one well-formed UTF-8 sequence at `pos` (advancing past it), or
// returns nullopt and leaves `pos` alone when the bytes there are not one.
inline std::optional<char32_t> strict_decode(std::string_view s, size_t& pos) {
  const auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t lead = b(pos);
  if (lead < 0x80) return pos++, char32_t{lead};
  size_t len;
  char32_t lo, hi;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2, lo = 0x80, hi = 0x7FF;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3, lo = 0x800, hi = 0xFFFF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4, lo = 0x10000, hi = 0x10FFFF;
  } else {
    return std::nullopt;
  }
  if (s.size() - pos < len) return std::nullopt;
  char32_t c = lead & (0x7F >> len);
  for (size_t i = 1; i < len; ++i) {
    if ((b(pos + i) & 0xC0) != 0x80) return std::nullopt;
    c = (c << 6) | (b(pos + i) & 0x3F);
  }
  if (c < lo || c > hi || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
  pos += len;
  return c;
}

inline bool valid_utf8(std::string_view s) {
  for (size_t pos = 0; pos < s.size();) {
    if (!strict_decode(s, pos)) return false;
  }
  return true;
}

inline bool is_lower_letter(char c) { return c >= 'a' && c <= 'z'; }
inline bool is_ascii_letter(char c) { return is_lower_letter(c) || (c >= 'A' && c <= 'Z'); }
inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace fuzz

}  // namespace anagram
