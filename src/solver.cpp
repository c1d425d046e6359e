#include "solver.h"

#include <chrono>
#include <variant>

#include "search_fast.h"
#include "search_prepare.h"
#include "search_rules.h"
#include "search_traced.h"
#include "trace_log.h"

void AnagramSolver::load_dictionary_from_text(std::string_view text) { trie.insert_lines(text); }

SolutionList AnagramSolver::solve(std::string_view phrase, const SolverConstraints& constraints,
                                  PollHook cancel) const {
  TraceSession session;
  TraceFile* trace = session.file();
  if (trace) trace_header(*trace, phrase, constraints);
  const auto counted = CharCounts::from_str(phrase);
  if (!std::holds_alternative<CharCounts>(counted)) return {};
  const CharCounts& counts = std::get<CharCounts>(counted);
  if (counts.is_empty() || dictionary_is_empty(trie)) return {};
  // The fast search tells patterns apart by one bit each; the step-by-step
  // search takes any number, and is the only one that can write a trace.
  const bool step_by_step = trace != nullptr || distinct_patterns(constraints).size() > kMaxFastPatterns;
  const StopCondition stop{std::chrono::steady_clock::now(), constraints.timeout_seconds, cancel};
  if (!step_by_step) return run_fast_search(trie, counts, constraints, stop);
  SolutionList solutions = run_traced_search(trie, counts, constraints, stop, trace);
  if (trace) trace_footer(*trace);
  return solutions;
}
