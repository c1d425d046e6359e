// File: search/ordered/ordered.h
//
// The ordered search (OrderedSearch in search/search.h), its request in its
// own terms. Tested by tests/cpp/search_ordered_test.cpp and the differential
// tests of every search.
//
// `OrderedSearch` yields the solutions of a request one after another in the
// result order (fewer words first; then the longer shortest word; then word
// by word, a proper prefix first) without collecting or sorting them, so its
// memory does not grow with the number of solutions. It keeps its position
// in an explicit stack: a caller can take a batch, put the search aside and
// continue later, from any thread (one thread at a time).
//
// Limits: at most 64 patterns, at most 65,535 words owed one start letter,
// and phrases whose letter counts pack into 128 bits (every phrase of up to
// 64 letters, most far longer). Check `ordered_search_supports` and use the
// collecting search otherwise.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "search/search.h"
#include "text/char_utils.h"

namespace anagram {
namespace internal {

// What the ordered search needs to know about one request. The candidates
// already obey the per-word rules (shortest length, allowed first letters).
struct OrderedRequest {
  // Distinct candidate words in ascending byte order: a word's number is its
  // index, so comparing numbers compares words.
  std::vector<std::string> words;
  std::vector<CharCounts> word_counts;  // the letters of each word
  CharCounts phrase;
  std::optional<uint32_t> max_words;
  // (letter 0..25, words needed): at least that many words of a solution
  // must begin with the letter.
  std::vector<std::pair<uint8_t, uint32_t>> start_demand;
  // Normalised, non-empty; each must occur inside some word of a solution.
  std::vector<std::string> patterns;
  // Upper bound on the bytes of the tables indexed by sub-multisets of the
  // phrase's letters (a class lookup and a pair index, each given at most a
  // quarter, and the completion memos or their cache), which can grow far
  // beyond the word list. Per-word tables come on top of it.
  size_t memory_cap = size_t{256} << 20;
  // Most state updates a full completion memo may take to build; above it
  // (long phrases with many distinct letters), or where the memo does not
  // fit, its values are computed for the states reached only and kept in a
  // cache within the cap. Letter tests prune instead only where not even a
  // few kilobytes are left for that cache.
  uint64_t memo_step_budget = uint64_t{40} << 20;
  // Values the cache may compute to rule out a whole word count at once
  // (enough to prove that no 4 words spell a 35-letter pangram); where that
  // does not tell, mostly where there are solutions after all, its blocks
  // are ruled on one by one.
  uint64_t word_count_check_budget = uint64_t{1} << 16;
};

bool ordered_search_supports(const OrderedRequest& request);

}  // namespace internal
}  // namespace anagram
