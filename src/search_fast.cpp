#include "search.h"

SolutionList search_fast(const Trie& trie, const CharCounts& phrase, const SolverConstraints& constraints) {
  AnagramSolver solver{trie};
  return to_solution_list(run_traced_search(solver, phrase, constraints, nullptr));
}
