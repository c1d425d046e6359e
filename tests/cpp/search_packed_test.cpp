#include "search/shared/packed.h"

#include <gtest/gtest.h>

#include <random>

#include "search/shared/prepare.h"

using namespace anagram;

namespace {

using ByLetter = std::array<uint32_t, kLetterCount>;

CharCounts counts_of(std::string_view text) { return std::get<CharCounts>(CharCounts::from_str(text)); }

// Random counts that fit the phrase letter by letter.
ByLetter random_within(std::mt19937& rng, const CharCounts& phrase) {
  ByLetter out{};
  for (size_t l = 0; l < out.size(); ++l) out[l] = phrase.counts[l] ? rng() % (phrase.counts[l] + 1) : 0;
  return out;
}

// Every operation against plain per-letter arithmetic, for one Word type.
template <typename Word>
void check_against_plain(const CharCounts& phrase, unsigned seed) {
  const Layout layout = make_walk_layout(phrase, Candidates{});
  const PackedCounts<Word> arith(layout);
  std::mt19937 rng(seed);
  for (int round = 0; round < 2000; ++round) {
    const ByLetter have = random_within(rng, phrase);
    const ByLetter need = random_within(rng, phrase);
    const Word h = arith.pack(have);
    const Word n = arith.pack(need);
    bool fits = true;
    for (size_t l = 0; l < have.size(); ++l) fits = fits && need[l] <= have[l];
    ASSERT_EQ(arith.fits(h, n), fits) << round;
    int lowest = -1;
    for (int f = 0; f < layout.fields; ++f) {
      const size_t letter = static_cast<size_t>(layout.letter_of_field[f]);
      ASSERT_EQ(arith.field(h, f), have[letter]);
      if (lowest < 0 && have[letter] > 0) lowest = f;
    }
    if (lowest >= 0) {
      ASSERT_EQ(arith.lowest_field(h), lowest) << round;
    }
    if (!fits) continue;
    const Word rest = arith.minus(h, n);
    for (int f = 0; f < layout.fields; ++f) {
      const size_t letter = static_cast<size_t>(layout.letter_of_field[f]);
      ASSERT_EQ(arith.field(rest, f), have[letter] - need[letter]);
    }
    // What is left still holds nothing more than was there.
    ASSERT_TRUE(arith.fits(h, rest));
  }
}

TEST(PackedCounts, AgreeWithPlainCountsInEveryWidth) {
  // Counts at powers of two test the guard bits: 1, 2, 4, 7 and 8 need 1 to
  // 4 bits each.
  const CharCounts small = counts_of("abbccccdddddddeeeeeeeez");
  ASSERT_LE(make_walk_layout(small, Candidates{}).total_bits, 64);
  check_against_plain<uint64_t>(small, 1);
  check_against_plain<u128>(small, 2);
  check_against_plain<WideCounts>(small, 3);
  std::string medium;
  for (char ch = 'a'; ch <= 'z'; ++ch) medium += std::string(5, ch);  // 26 fields of 4 bits
  const CharCounts mid = counts_of(medium);
  ASSERT_GT(make_walk_layout(mid, Candidates{}).total_bits, 64);
  ASSERT_LE(make_walk_layout(mid, Candidates{}).total_bits, kMaxPackedBits);
  check_against_plain<u128>(mid, 4);
  check_against_plain<WideCounts>(mid, 5);
  const CharCounts wide = counts_of(medium + medium + medium + medium);  // 26 fields of 6 bits
  ASSERT_GT(make_walk_layout(wide, Candidates{}).total_bits, kMaxPackedBits);
  check_against_plain<WideCounts>(wide, 6);
}

TEST(PackedCounts, LayoutPutsRareLettersFirstAndPicksTheNarrowestWord) {
  Candidates candidates;
  candidates.words = {"ab", "b", "bc"};
  for (const char* w : {"ab", "b", "bc"}) candidates.counts.push_back(counts_of(w).counts);
  const Layout layout = make_walk_layout(counts_of("abcd"), candidates);
  ASSERT_EQ(layout.fields, 4);
  // d is in no word, a and c in one each, b in all three.
  EXPECT_EQ(layout.letter_of_field[0], 'd' - 'a');
  EXPECT_EQ(layout.letter_of_field[1], 'a' - 'a');
  EXPECT_EQ(layout.letter_of_field[2], 'c' - 'a');
  EXPECT_EQ(layout.letter_of_field[3], 'b' - 'a');
  EXPECT_EQ(layout.field_of_letter['e' - 'a'], -1);
  const auto width = [](const Layout& l) {
    return visit_packed_word(l, []<typename Word>(std::type_identity<Word>) {
      return std::is_same_v<Word, uint64_t> ? 64 : std::is_same_v<Word, u128> ? 128 : 0;
    });
  };
  EXPECT_EQ(width(layout), 64);
  std::string twelve;  // 12 fields of 7 bits
  for (char ch = 'a'; ch < 'm'; ++ch) twelve += std::string(40, ch);
  EXPECT_EQ(width(make_walk_layout(counts_of(twelve), Candidates{})), 128);
  EXPECT_EQ(width(make_walk_layout(counts_of(std::string(1000, 'q') + std::string(130, 'z')), Candidates{})), 64);
  std::string all;
  for (char ch = 'a'; ch <= 'z'; ++ch) all += std::string(100, ch);
  EXPECT_EQ(width(make_walk_layout(counts_of(all), Candidates{})), 0);
}

}  // namespace
