// File: text/utf8.h
//
// UTF-8 text: a strict decoder that reports malformed input, the lenient
// decoding of user text built on it, whole-text validation and encoding.
//
// Strict means what the standard allows and nothing more: no overlong forms,
// no encoded surrogates, nothing above U+10FFFF and no sequence cut short.
//
// Letters and text. Tested by tests/cpp/char_utils_utf8_test.cpp.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace anagram {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes the character that starts at `pos` and advances past it. A
// malformed sequence gives nullopt and leaves `pos` where it was.
std::optional<char32_t> decode_utf8_strict(std::string_view text, size_t& pos);

// Decodes one character at `pos` and advances past it. Malformed input
// decodes to U+FFFD one byte at a time, so arbitrary bytes never fail.
char32_t decode_utf8(std::string_view text, size_t& pos);

// True when all of `text` is strict UTF-8. Runs of ASCII are checked a word
// at a time, so a dictionary file of mostly plain letters costs little.
bool is_valid_utf8(std::string_view text);

// Appends the UTF-8 form of `c` to `out`.
void append_utf8(std::string& out, char32_t c);

}  // namespace anagram
