// File: search/count/demand_count.cpp
//
// The table count under a start-letter demand (search/count/demand_count.h).
// The table count (search/count/). Tested by tests/cpp/search_count_test.cpp
// and the differential tests of every search.
#include "search/count/demand_count.h"

namespace anagram {

namespace {

// One term of the inclusion and exclusion: for each demanded letter, either
// free (no condition) or "exactly `exact` words begin with it".
struct Term {
  std::vector<std::optional<uint32_t>> exact;
  bool negative = false;
};

// Every combination of free or exactly 0..n-1 for each letter, with the sign
// (-1)^(letters not free).
std::vector<Term> terms_of(std::span<const std::pair<int, uint32_t>> demand) {
  std::vector<Term> terms{Term{}};
  for (const auto& [letter, needed] : demand) {
    std::vector<Term> next;
    for (const Term& t : terms) {
      Term free = t;
      free.exact.push_back(std::nullopt);
      next.push_back(free);
      for (uint32_t j = 0; j < needed; ++j) {
        Term fixed = t;
        fixed.exact.push_back(j);
        fixed.negative = !t.negative;
        next.push_back(fixed);
      }
    }
    terms = std::move(next);
  }
  return terms;
}

}  // namespace

std::optional<CountResult> count_with_demand(const CharCounts& phrase, std::span<const StartedClass> classes,
                                             std::span<const std::pair<int, uint32_t>> demand,
                                             const CountLimits& limits) {
  uint64_t cost = 1;
  for (const auto& [letter, needed] : demand) {
    cost *= uint64_t{needed} + 1;
    if (cost > kMaxDemandTerms) return std::nullopt;
  }
  // Slots the phrase does not use (so no candidate word does either) carry
  // the exact start counts.
  std::vector<int> spare;
  for (int slot = 0; slot < static_cast<int>(phrase.counts.size()); ++slot) {
    if (phrase.counts[static_cast<size_t>(slot)] == 0) spare.push_back(slot);
  }
  if (spare.size() < demand.size()) return std::nullopt;

  BigUnsigned added, taken;
  CountResult last;
  for (const Term& term : terms_of(demand)) {
    CharCounts target = phrase;
    for (size_t d = 0; d < demand.size(); ++d) {
      if (term.exact[d]) target.counts[static_cast<size_t>(spare[d])] = *term.exact[d];
    }
    std::vector<AnagramClass> kept;
    kept.reserve(classes.size());
    for (const StartedClass& sc : classes) {
      AnagramClass cls = sc.cls;
      bool keep = true;
      for (size_t d = 0; d < demand.size() && keep; ++d) {
        if (demand[d].first != sc.start_letter || !term.exact[d]) continue;
        if (*term.exact[d] == 0) keep = false;  // no word may begin with it
        ++cls.letters.counts[static_cast<size_t>(spare[d])];
      }
      if (keep) kept.push_back(cls);
    }
    last = count_anagrams(target, kept, limits);
    if (last.too_large || last.status != SearchStatus::kCompleted) return last;
    (term.negative ? taken : added) += last.count;
  }
  last.count = added;
  last.count -= taken;
  return last;
}

}  // namespace anagram
