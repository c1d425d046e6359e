// File: search/count/count.cpp
//
// The table count (table_count in search/search.h): the prepared request's
// classes handed to the plain table count (table_count.h) or, under a
// start-letter demand, to the count by inclusion and exclusion
// (demand_count.h). Tested by tests/cpp/search_count_test.cpp and the
// differential tests of every search.
#include <optional>
#include <vector>

#include "search/count/demand_count.h"
#include "search/count/table_count.h"
#include "search/search.h"

namespace anagram {

namespace {

// The candidates' classes as the table count takes them.
AnagramClass letter_class(const WordClass& cls) { return {CharCounts{cls.counts}, cls.length, cls.words.size()}; }

}  // namespace

std::optional<SolutionCount> table_count(const PreparedRequest& p, StopWatch& watch) {
  if (!p.rules.patterns.empty()) return std::nullopt;
  CountLimits limits;
  limits.max_words = p.rules.max_words;
  limits.watch = &watch;
  std::optional<CountResult> result;
  if (p.tracks_starts()) {
    std::vector<StartedClass> classes;
    classes.reserve(p.classes.size());
    for (const WordClass& cls : p.classes) classes.push_back({letter_class(cls), cls.start_letter});
    result = count_with_demand(p.phrase, classes, p.rules.must_start, limits);
    if (!result) return std::nullopt;
  } else {
    std::vector<AnagramClass> classes;
    classes.reserve(p.classes.size());
    for (const WordClass& cls : p.classes) classes.push_back(letter_class(cls));
    result = count_anagrams(p.phrase, classes, limits);
  }
  if (result->too_large) return std::nullopt;
  if (result->status != SearchStatus::kCompleted) return SolutionCount{{}, result->status};
  return SolutionCount{std::move(result->count), SearchStatus::kCompleted};
}

}  // namespace anagram
