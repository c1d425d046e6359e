#include "text/char_utils.h"

#include <gtest/gtest.h>

using namespace anagram;

namespace {

CharCounts counts_of(std::string_view text) { return std::get<CharCounts>(CharCounts::from_str(text)); }

std::string error_of(std::string_view text) { return std::get<std::string>(CharCounts::from_str(text)); }

TEST(CharCounts, CountsAsciiLettersAndSkipsTheRest) {
  EXPECT_TRUE(counts_of("").is_empty());
  EXPECT_EQ(counts_of("").total(), 0u);
  const CharCounts dorm = counts_of("Dormitory");
  EXPECT_EQ(dorm, counts_of("Dirty room!"));
  EXPECT_EQ(dorm.total(), 9u);
  EXPECT_EQ(dorm.get('o'), 2u);
  EXPECT_EQ(dorm.get('r'), 2u);
  EXPECT_EQ(dorm.get('y'), 1u);
  EXPECT_EQ(counts_of("a-b c!1"), counts_of("abc"));
  // Non-letters outside ASCII: euro sign, no-break space, emoji, em dash.
  EXPECT_EQ(counts_of("ab\u20AC\u00A0\U0001F600\u2014"), counts_of("ab"));
}

TEST(CharCounts, NonAsciiLetterFails) {
  EXPECT_EQ(error_of("Café"), "Non-ASCII alphabetic character found after lowercase: é");
  EXPECT_EQ(error_of("\u212A"), "Non-ASCII alphabetic character found after lowercase: \u212A");  // Kelvin
  EXPECT_EQ(error_of("a\u0130b"), "Non-ASCII alphabetic character found after lowercase: \u0130");
  EXPECT_EQ(error_of("x\u00DFy\u00E9"), "Non-ASCII alphabetic character found after lowercase: \u00DF");
}

TEST(CharCounts, CanSubtract) {
  const CharCounts zero;
  const CharCounts a2b1 = counts_of("aab");
  EXPECT_TRUE(a2b1.can_subtract(a2b1));
  EXPECT_TRUE(a2b1.can_subtract(zero));
  EXPECT_FALSE(zero.can_subtract(a2b1));
  EXPECT_TRUE(a2b1.can_subtract(counts_of("ab")));
  EXPECT_FALSE(a2b1.can_subtract(counts_of("bb")));
}

TEST(CharCounts, MalformedUtf8IsSkippedNotFatal) {
  EXPECT_EQ(counts_of(std::string("a\xff\xc3", 3)), counts_of("a"));
  EXPECT_EQ(counts_of(std::string("\xed\xa0\x80z", 4)), counts_of("z"));  // encoded surrogate
}

TEST(NormalizeWord, KeepsAsciiLettersOnly) {
  EXPECT_EQ(normalize_word("  Hello, World!  "), "helloworld");
  EXPECT_EQ(normalize_word("Don't"), "dont");
  EXPECT_EQ(normalize_word("x-ray"), "xray");
  EXPECT_EQ(normalize_word("New York"), "newyork");
  EXPECT_EQ(normalize_word("café"), "caf");
  EXPECT_EQ(normalize_word("ÆSOP"), "sop");
  EXPECT_EQ(normalize_word("123"), "");
  EXPECT_EQ(normalize_word(""), "");
}

TEST(LetterLists, AbsentEmptyAndEveryCharacter) {
  EXPECT_FALSE(parse_char_list_to_set(std::nullopt).has_value());
  EXPECT_FALSE(parse_char_list_to_counts(std::nullopt).has_value());
  EXPECT_EQ(*parse_char_list_to_set(std::string("")), CharSet{});
  EXPECT_EQ(*parse_char_list_to_counts(std::string("")), CharCountMap{});
  EXPECT_EQ(*parse_char_list_to_set(std::string("AbA")), (CharSet{'a', 'b'}));
  EXPECT_EQ(*parse_char_list_to_set(std::string("a, b")), (CharSet{'a', ',', ' ', 'b'}));
  EXPECT_EQ(*parse_char_list_to_set(std::string("É")), (CharSet{U'\u00C9'}));
  EXPECT_EQ(*parse_char_list_to_counts(std::string("aAb")), (CharCountMap{{'a', 2}, {'b', 1}}));
  EXPECT_EQ(*parse_char_list_to_counts(std::string("a a")), (CharCountMap{{'a', 2}, {' ', 1}}));
}

}  // namespace
