// Unicode character properties. The lookups are in unicode_tables.cpp; their
// tables (unicode_tables.inc) are generated out of the Unicode Character
// Database by tools/gen_unicode_tables.py.
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
