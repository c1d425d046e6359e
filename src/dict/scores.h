// File: dict/scores.h
//
// Word scores beside the dictionary: one score per normalised word, kept as
// a fixed-point integer so that the score of an anagram (the sum of its
// words' scores) is exact and equal sums tie exactly. Part of the
// dictionary; tested by tests/cpp/differential_test.cpp and, through the module,
// tests/python/test_best.py.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace anagram {

// A score in units of 1e-6: "1.5" is 1'500'000. Scores are rounded to that
// resolution when loaded.
using FixedScore = int64_t;
inline constexpr double kScoreUnit = 1e-6;
// The largest magnitude a word's score may have (1e9 units of the float).
// A sum over a phrase of more than some 9,000 words can pass int64: sums
// that may be that long are a ScoreTotal.
inline constexpr double kMaxScore = 1e9;
using ScoreTotal = __int128;

// The score as loaded, or the reason it is refused: not finite, or beyond
// kMaxScore.
std::variant<FixedScore, std::string> to_fixed_score(double score);
// Divided, not multiplied by kScoreUnit, so 1.5 comes back as exactly 1.5.
inline double from_fixed_score(FixedScore score) { return static_cast<double>(score) / 1e6; }
inline double from_score_total(ScoreTotal total) { return static_cast<double>(total) / 1e6; }

struct WordScores {
  std::unordered_map<std::string, FixedScore> by_word;
  // The score of a word that has none: 0 until set.
  FixedScore fallback = 0;

  FixedScore of(const std::string& word) const {
    const auto it = by_word.find(word);
    return it == by_word.end() ? fallback : it->second;
  }
  // Normalises each word as the dictionary does (a word without letters is
  // skipped); a later score for the same word overrides.
  void add(const std::vector<std::pair<std::string, FixedScore>>& scores);
};

// The scores of a text of `word<TAB>score` lines (blank lines skipped), all
// or none: the first bad line is refused with its number and why.
std::variant<std::vector<std::pair<std::string, FixedScore>>, std::string> parse_score_lines(std::string_view text);

}  // namespace anagram
