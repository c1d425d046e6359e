// File: search/shared/rules.h
//
// The request rules that the searches apply to words and solutions, each
// stated once: which words may be used (first letter, length), the
// start-letter demand on a solution, the distinct patterns. (When a search
// must stop is request/stop.h.) Shared by every search; tested by
// tests/cpp/search_rules_test.cpp.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "request/records.h"
#include "request/stop.h"
#include "dict/trie.h"

namespace anagram {

// May a word begin with `letter`? must_not_start_with forbids, a given
// can_only_ever_start_with allows only its own letters (none when empty).
inline bool may_start_word(const SolverConstraints& c, char32_t letter) {
  if (c.must_not_start_with && c.must_not_start_with->count(letter)) return false;
  if (c.can_only_ever_start_with && !c.can_only_ever_start_with->count(letter)) return false;
  return true;
}

// Is a word of `letters` letters long enough for min_word_length?
inline bool long_enough(const SolverConstraints& c, size_t letters) {
  return !c.min_word_length || letters >= *c.min_word_length;
}

// Words of a solution by first letter, slot 0 for 'a'.
using StartCounts = std::array<uint32_t, 26>;

// How many words begin with `letter`; none begins with a non-letter.
inline uint32_t words_starting_with(const StartCounts& starts, char32_t letter) {
  return letter >= 'a' && letter <= 'z' ? starts[letter - 'a'] : 0;
}

// The first entry of must_start_with, in the map's order, that `starts`
// does not meet (fewer words begin with the letter than it needs), or null.
const CharCountMap::value_type* first_unmet_start(const CharCountMap& demand, const StartCounts& starts);

// The entries of contains_patterns without repeats, in first-seen order.
std::vector<std::string> distinct_patterns(const SolverConstraints& c);

}  // namespace anagram
