// File: text/unicode_tables.h
//
// Unicode character properties. The lookups are in unicode_tables.cpp; their
// tables (unicode_tables.inc) are generated out of the Unicode Character
// Database by tools/gen_unicode_tables.py.
//
// Letters and text. Tested by tests/python/test_unicode_tables.py and
// tests/cpp/char_utils_test.cpp.
#pragma once

namespace anagram {

// The Alphabetic property (DerivedCoreProperties).
bool is_alphabetic(char32_t c);
// The Grapheme_Extend property: combining marks and the like.
bool is_grapheme_extend(char32_t c);
// False for control, format, unassigned, private-use and surrogate code
// points and for separators other than the ordinary space.
bool is_printable(char32_t c);

}  // namespace anagram
