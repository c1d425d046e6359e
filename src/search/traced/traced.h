// File: search/traced/traced.h
//
// The step-by-step search (traced_search in search/search.h), the reference
// every other search is tested against: its two functions, for the tests of
// its trace lines (tests/cpp/trace_test.cpp, tests/cpp/search_test.cpp).
//
// Two mutually recursive functions that visit
// every ordering of a solution's words, walking the dictionary tree from
// the root for each word, and write a trace line for each step when given
// a trace file. It also serves untraced requests with more distinct patterns
// than the fast search takes.
#pragma once

#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "search/search.h"
#include "search/shared/rules.h"
#include "request/records.h"
#include "request/trace_log.h"
#include "dict/trie.h"

namespace anagram {

struct SolutionHash {
  size_t operator()(const std::vector<std::string>& words) const;
};
// Distinct solutions, each with its words in ascending byte order.
using SolutionSet = std::unordered_set<std::vector<std::string>, SolutionHash>;

// The mutable state of one search.
struct SearchState {
  StopCondition limits;  // start time, time limit, poll hook
  std::optional<std::vector<bool>> pattern_mask;
  uint32_t solutions_found = 0;
  // Set once the search must unwind for the clock or the poll hook; never
  // cleared. `cancelled` tells the two apart.
  bool timed_out = false;
  bool cancelled = false;
};

SearchState make_search_state(const SolverConstraints& constraints, const StopCondition& limits);

void backtrack(const Trie& trie, std::vector<std::string>& path, CharCounts& remaining_counts,
               const SolverConstraints& constraints, SolutionSet& solutions, SearchState& state,
               TraceFile* trace);
void find_one_word_recursive(const Trie& trie, uint32_t node, std::string& word_so_far,
                             CharCounts& remaining_counts, std::vector<std::string>& path,
                             const SolverConstraints& constraints, SolutionSet& solutions,
                             SearchState& state, TraceFile* trace);

}  // namespace anagram
