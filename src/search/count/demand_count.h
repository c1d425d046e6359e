// File: search/count/demand_count.h
//
// The table count under a start-letter demand ("at least n words begin with
// l"), which constrains a solution as a whole and so is no filter on words.
//
// By inclusion and exclusion over the demanded letters: the solutions that
// meet every demand are all solutions, minus those with fewer than n_l words
// on some letter l, and so on. "Exactly j words begin with l" is a plain
// count once j copies of an unused letter slot join the phrase and each word
// beginning with l carries one of them; j = 0 just leaves those words out.
// A demand of needs n_1..n_k costs (n_1 + 1) x ... x (n_k + 1) table counts.
//
// The table count (search/count/). Tested by tests/cpp/search_count_test.cpp
// and the differential tests of every search.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "search/count/table_count.h"

namespace anagram {

// A class of the table count, with the letter slot its words begin with.
struct StartedClass {
  AnagramClass cls;
  int start_letter;  // 0..25
};

// Table counts a demand may cost before the walk is the better way.
inline constexpr uint64_t kMaxDemandTerms = 64;

// The count of solutions that meet `demand` ((letter slot, words needed)
// pairs, distinct letters), or nothing when the demand would cost more than
// kMaxDemandTerms counts or needs more unused letter slots than there are;
// a status other than kDone as from count_anagrams.
std::optional<CountResult> count_with_demand(const CharCounts& phrase, std::span<const StartedClass> classes,
                                             std::span<const std::pair<int, uint32_t>> demand,
                                             const CountLimits& limits);

}  // namespace anagram
