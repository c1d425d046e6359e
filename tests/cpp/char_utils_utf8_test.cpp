#include "text/utf8.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace anagram;

namespace {

// Well-formed UTF-8 as the Unicode standard tabulates it (the byte ranges of
// Table 3-7), written independently of the decoder under test.
bool oracle_valid(const std::string& s) {
  const auto in = [](unsigned char b, int lo, int hi) { return b >= lo && b <= hi; };
  size_t i = 0;
  while (i < s.size()) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const size_t left = s.size() - i;
    if (b(0) <= 0x7F) {
      i += 1;
    } else if (in(b(0), 0xC2, 0xDF) && left >= 2 && in(b(1), 0x80, 0xBF)) {
      i += 2;
    } else if (left >= 3 && in(b(2), 0x80, 0xBF) &&
               ((b(0) == 0xE0 && in(b(1), 0xA0, 0xBF)) ||
                (in(b(0), 0xE1, 0xEC) && in(b(1), 0x80, 0xBF)) ||
                (b(0) == 0xED && in(b(1), 0x80, 0x9F)) ||
                (in(b(0), 0xEE, 0xEF) && in(b(1), 0x80, 0xBF)))) {
      i += 3;
    } else if (left >= 4 && in(b(2), 0x80, 0xBF) && in(b(3), 0x80, 0xBF) &&
               ((b(0) == 0xF0 && in(b(1), 0x90, 0xBF)) ||
                (in(b(0), 0xF1, 0xF3) && in(b(1), 0x80, 0xBF)) ||
                (b(0) == 0xF4 && in(b(1), 0x80, 0x8F)))) {
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

TEST(Utf8, ValidationAgreesWithTheStandardOnEveryShortSequence) {
  // Every sequence of one, two and three bytes, then random four-byte ones
  // with a lead byte from the multi-byte range.
  std::string s(3, '\0');
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      for (int c = 0; c < 256; ++c) {
        s[0] = static_cast<char>(a), s[1] = static_cast<char>(b), s[2] = static_cast<char>(c);
        ASSERT_EQ(is_valid_utf8(s), oracle_valid(s)) << a << " " << b << " " << c;
      }
      const std::string two = s.substr(0, 2);
      ASSERT_EQ(is_valid_utf8(two), oracle_valid(two)) << a << " " << b;
    }
    ASSERT_EQ(is_valid_utf8(s.substr(0, 1)), oracle_valid(s.substr(0, 1))) << a;
  }
  std::mt19937 random(7);
  for (int n = 0; n < 2000000; ++n) {
    std::string four = bytes({0xF0 + static_cast<int>(random() % 8), static_cast<int>(random() % 256),
                              static_cast<int>(random() % 256), static_cast<int>(random() % 256)});
    ASSERT_EQ(is_valid_utf8(four), oracle_valid(four));
  }
}

TEST(Utf8, ValidationFindsABadByteAnywhereInALongText) {
  // The ASCII fast path reads whole words; a bad or cut sequence at any
  // offset, before and after multi-byte characters, must still be found.
  const std::vector<std::string> bad = {"\x80", "\xC3", "\xE2\x82", "\xED\xA0\x80", "\xC0\xAF",
                                        "\xF4\x90\x80\x80", "\xFF"};
  const std::string good = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // é € 😀
  for (size_t offset = 0; offset < 40; ++offset) {
    std::string text(offset, 'a');
    EXPECT_TRUE(is_valid_utf8(text + good + std::string(offset, 'z')));
    for (const std::string& b : bad) {
      EXPECT_FALSE(is_valid_utf8(text + b + std::string(33, 'q'))) << offset;
      EXPECT_FALSE(is_valid_utf8(text + good + b)) << offset;
      EXPECT_FALSE(is_valid_utf8(text + b)) << offset;
    }
  }
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8(std::string("a\0b", 3)));  // NUL is a character
}

TEST(Utf8, StrictDecoderAndTheLenientOneOnTop) {
  // Every scalar value round-trips through the encoder and the strict decoder.
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string s;
    append_utf8(s, c);
    size_t pos = 0;
    ASSERT_EQ(decode_utf8_strict(s, pos), c);
    ASSERT_EQ(pos, s.size());
  }
  // Failure leaves the position alone.
  const std::string cut = "a\xE2\x82";
  size_t pos = 1;
  EXPECT_EQ(decode_utf8_strict(cut, pos), std::nullopt);
  EXPECT_EQ(pos, 1u);
  // The lenient decoder: one U+FFFD per byte of a malformed stretch, and a
  // real U+FFFD decodes like any other character.
  const std::string mixed = "a\xE2\x82" "b\xED\xA0\x80\xEF\xBF\xBD\xF0\x9F\x98\x80";
  std::vector<char32_t> got;
  for (size_t at = 0; at < mixed.size();) got.push_back(decode_utf8(mixed, at));
  const std::vector<char32_t> want = {'a', 0xFFFD, 0xFFFD, 'b', 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0x1F600};
  EXPECT_EQ(got, want);
}

}  // namespace
