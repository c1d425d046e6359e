// Letter arithmetic on arbitrary bytes: UTF-8 decoding, letter counts,
// normalisation and the letter-list options must agree with each other and
// with an independent strict decoder, and never read out of bounds.
#include <string>
#include <string_view>

#include "text/char_utils.h"
#include "fuzz_common.h"

using namespace anagram;

namespace {

const std::string kFailPrefix = "Non-ASCII alphabetic character found after lowercase: ";

void check_decoder(std::string_view text) {
  for (size_t pos = 0; pos < text.size();) {
    size_t strict_pos = pos;
    const std::optional<char32_t> expected = fuzz::strict_decode(text, strict_pos);
    const size_t before = pos;
    const char32_t got = decode_utf8(text, pos);
    FUZZ_CHECK(pos > before && pos <= text.size());
    if (expected) {
      FUZZ_CHECK(got == *expected && pos == strict_pos);
    } else {
      FUZZ_CHECK(got == 0xFFFD && pos == before + 1);
    }
    std::string round;
    append_utf8(round, got);
    FUZZ_CHECK(fuzz::valid_utf8(round));
  }
}

void check_counts(std::string_view text, const std::string& normalized) {
  const auto counted = CharCounts::from_str(text);
  bool all_ascii = true;
  for (char ch : text) all_ascii = all_ascii && static_cast<unsigned char>(ch) < 0x80;
  if (const auto* message = std::get_if<std::string>(&counted)) {
    FUZZ_CHECK(!all_ascii);
    FUZZ_CHECK(message->compare(0, kFailPrefix.size(), kFailPrefix) == 0);
    // The named character is one well-formed, non-ASCII character that the
    // text really holds.
    const std::string_view named = std::string_view(*message).substr(kFailPrefix.size());
    size_t pos = 0;
    const auto c = fuzz::strict_decode(named, pos);
    FUZZ_CHECK(c && *c >= 0x80 && pos == named.size());
    FUZZ_CHECK(text.find(named) != std::string_view::npos);
    return;
  }
  const CharCounts& counts = std::get<CharCounts>(counted);
  CharCounts expected;
  for (char ch : normalized) ++expected.counts[static_cast<size_t>(ch - 'a')];
  FUZZ_CHECK(counts == expected);
  FUZZ_CHECK(counts.total() == normalized.size());
  FUZZ_CHECK(counts.is_empty() == normalized.empty());
  FUZZ_CHECK(counts.can_subtract(counts));
  FUZZ_CHECK(counts.can_subtract(CharCounts{}));
  FUZZ_CHECK(CharCounts{}.can_subtract(counts) == counts.is_empty());
  CharCounts working = counts;
  for (char ch : normalized) {
    working.decrement(ch);
    FUZZ_CHECK(!working.can_subtract(counts));
    FUZZ_CHECK(counts.can_subtract(working));
    working.increment(ch);
    FUZZ_CHECK(working == counts);
  }
}

void check_letter_lists(const std::string& text) {
  const auto set = parse_char_list_to_set(text);
  const auto map = parse_char_list_to_counts(text);
  FUZZ_CHECK(set && map);
  FUZZ_CHECK(set->size() == map->size());
  size_t characters = 0;
  for (size_t pos = 0; pos < text.size(); ++characters) decode_utf8(text, pos);
  uint64_t sum = 0;
  for (const auto& [c, n] : *map) {
    FUZZ_CHECK(set->count(c) == 1);
    FUZZ_CHECK(n > 0);
    FUZZ_CHECK(!(c >= 'A' && c <= 'Z'));
    FUZZ_CHECK(c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF));
    sum += n;
  }
  FUZZ_CHECK(sum == characters);
  FUZZ_CHECK(!parse_char_list_to_set(std::nullopt) && !parse_char_list_to_counts(std::nullopt));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  check_decoder(text);

  const std::string normalized = normalize_word(text);
  std::string expected;
  for (char ch : text) {
    if (fuzz::is_ascii_letter(ch)) expected += fuzz::lower(ch);
  }
  FUZZ_CHECK(normalized == expected);
  FUZZ_CHECK(normalize_word(normalized) == normalized);

  check_counts(text, normalized);
  check_letter_lists(text);
  return 0;
}
