// File: search/count/count.cpp
//
// The table count (table_count in search/search.h): the prepared request's
// classes handed to the plain table count (table_count.h, which moves to
// the tables of reached states, reach_count.h, past its cap) or, under a
// start-letter demand, to the count by inclusion and exclusion
// (demand_count.h); patterns by inclusion and exclusion here. Tested by tests/cpp/search_count_test.cpp and the
// differential tests of every search.
#include <algorithm>
#include <bit>
#include <optional>
#include <vector>

#include "search/count/demand_count.h"
#include "search/count/table_count.h"
#include "search/search.h"
#include "search/shared/threads.h"

namespace anagram {

namespace {

// A capped count may walk to its cap instead of counting exactly over the
// reachable states: those get at least a second or two (sphinx-like phrases
// need a third of it), and more as the cap grows, about what walking to it
// would cost (the walk took some 20 us a solution on the pangram, a class
// fit some 25 ns).
constexpr uint64_t kCappedSparseWork = uint64_t{1} << 27;
constexpr uint64_t kFitsPerWalkedSolution = 800;

// Patterns a count takes by inclusion and exclusion (2^n table counts);
// more go to the walk.
constexpr size_t kMaxPatternTerms = 5;

// The candidates' classes as the table count takes them.
AnagramClass letter_class(const WordClass& cls) { return {CharCounts{cls.counts}, cls.length, cls.words.size()}; }

}  // namespace

std::optional<SolutionCount> table_count(const PreparedRequest& p, StopWatch& watch, const TableCountOptions& options) {
  // Patterns by inclusion and exclusion: all solutions, less those with no
  // word holding pattern i, plus those with none holding i or j, and so on;
  // each term leaves out the classes holding its patterns.
  const size_t patterns = p.rules.patterns.size();
  if (patterns > kMaxPatternTerms) return std::nullopt;
  CountLimits limits;
  limits.max_words = p.rules.max_words;
  limits.watch = &watch;
  limits.threads = options.threads ? options.threads : thread_count();
  if (options.split_every_step) limits.min_split_cells = limits.slab_cells = 0;
  if (const std::optional<uint32_t>& cap = p.constraints->max_solutions) {
    limits.max_sparse_work =
        std::min(limits.max_sparse_work, std::max(kCappedSparseWork, uint64_t{*cap} * kFitsPerWalkedSolution));
  }
  if (options.sparse_letters || options.reached_only) limits.max_table_bytes = 0;
  limits.sparse_letters = options.sparse_letters;
  if (options.tail_cells) limits.tail_cells = *options.tail_cells;
  BigUnsigned added, taken;
  for (uint64_t without = 0; without < (uint64_t{1} << patterns); ++without) {
    std::optional<CountResult> result;
    if (p.tracks_starts()) {
      std::vector<StartedClass> classes;
      classes.reserve(p.classes.size());
      for (const WordClass& cls : p.classes) {
        if (!(cls.patterns & without)) classes.push_back({letter_class(cls), cls.start_letter});
      }
      result = count_with_demand(p.phrase, classes, p.rules.must_start, limits);
      if (!result) return std::nullopt;
    } else {
      std::vector<AnagramClass> classes;
      classes.reserve(p.classes.size());
      for (const WordClass& cls : p.classes) {
        if (!(cls.patterns & without)) classes.push_back(letter_class(cls));
      }
      result = count_anagrams(p.phrase, classes, limits);
    }
    if (result->too_large) {
      SolutionCount refused;
      refused.too_large = true;
      return refused;
    }
    if (result->status != SearchStatus::kCompleted) return SolutionCount{{}, result->status};
    (std::popcount(without) % 2 ? taken : added) += result->count;
  }
  added -= taken;
  return SolutionCount{std::move(added), SearchStatus::kCompleted};
}

}  // namespace anagram
