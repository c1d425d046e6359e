// The two searches behind a solve request. Internal to the engine.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "solver.h"
#include "trace_log.h"

struct SolutionHash {
  size_t operator()(const std::vector<std::string>& words) const;
};
// Distinct solutions, each with its words in ascending byte order.
using SolutionSet = std::unordered_set<std::vector<std::string>, SolutionHash>;

// The traced search: visits every ordering of a solution's words, walking the
// tree from the root for each word, and writes a line for each step.
void backtrack(const AnagramSolver& solver, std::vector<std::string>& path, CharCounts& remaining_counts,
               const SolverConstraints& constraints, SolutionSet& solutions, SearchState& state,
               TraceFile* trace);
void find_one_word_recursive(const AnagramSolver& solver, uint32_t node, std::string& word_so_far,
                             CharCounts& remaining_counts, std::vector<std::string>& path,
                             const SolverConstraints& constraints, SolutionSet& solutions,
                             SearchState& state, TraceFile* trace);

// Runs backtrack from the top with enough stack for any phrase length.
SolutionSet run_traced_search(const AnagramSolver& solver, const CharCounts& phrase,
                              const SolverConstraints& constraints, TraceFile* trace);

// The untraced search: the same solutions, each multiset of words visited
// once, with no recursion.
SolutionList search_fast(const AnagramSolver& solver, const CharCounts& phrase,
                         const SolverConstraints& constraints);

// The distinct solutions of `set` as a sorted list; empties the set.
SolutionList to_solution_list(SolutionSet&& set);
