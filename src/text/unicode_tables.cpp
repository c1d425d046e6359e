// File: text/unicode_tables.cpp
//
// Lookups in the Unicode property tables. The tables themselves are data in
// unicode_tables.inc, written by tools/gen_unicode_tables.py from the Unicode
// Character Database; everything here is written by hand.
//
// Letters and text. Tested by tests/python/test_unicode_tables.py and
// tests/cpp/char_utils_test.cpp.
#include "text/unicode_tables.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace anagram {

namespace {

// The code points first..last, both included.
struct CodePointRange {
  char32_t first;
  char32_t last;
};

#include "text/unicode_tables.inc"

// Binary search: the last range starting at or before c decides.
template <std::size_t N>
bool in_table(const CodePointRange (&table)[N], char32_t c) {
  auto it = std::upper_bound(std::begin(table), std::end(table), c,
                             [](char32_t v, const CodePointRange& r) { return v < r.first; });
  return it != std::begin(table) && c <= std::prev(it)->last;
}

}  // namespace

bool is_alphabetic(char32_t c) { return in_table(kAlphabetic, c); }
bool is_grapheme_extend(char32_t c) { return in_table(kGraphemeExtend, c); }
bool is_printable(char32_t c) { return in_table(kPrintable, c); }

}  // namespace anagram
