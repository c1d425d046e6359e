#include "solver.h"

#include <chrono>
#include <variant>

#include "search_count.h"
#include "search_fast.h"
#include "search_prepare.h"
#include "search_rules.h"
#include "search_traced.h"
#include "search_walk_count.h"
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

namespace {

// The candidates' classes as the table count takes them; they are plain
// letter classes when no start letter or pattern tells words apart.
std::vector<AnagramClass> letter_classes(const PreparedSearch& p) {
  std::vector<AnagramClass> classes;
  classes.reserve(p.classes.size());
  for (const WordClass& cls : p.classes) {
    classes.push_back({CharCounts{cls.counts}, cls.length, cls.words.size()});
  }
  return classes;
}

bool poll_watch(void* watch) { return static_cast<StopWatch*>(watch)->check(); }

// The table count, or nothing when its table would be too large or the
// request is beyond it (start-letter demands and patterns constrain whole
// solutions, not words).
std::optional<SolutionCount> count_by_table(const PreparedSearch& p, StopWatch& watch) {
  if (p.tracks_starts() || !p.rules.patterns.empty()) return std::nullopt;
  CountLimits limits;
  limits.max_words = p.rules.max_words;
  limits.poll = poll_watch;
  limits.poll_context = &watch;
  CountResult result = count_anagrams(p.phrase, letter_classes(p), limits);
  switch (result.status) {
    case CountStatus::kTooLarge:
      return std::nullopt;
    case CountStatus::kStopped:
    case CountStatus::kTimedOut:
      return SolutionCount{{}, watch.stopped() ? watch.reason() : StopReason::kTimeLimit};
    case CountStatus::kDone:
      break;
  }
  const std::optional<uint32_t>& cap = p.rules.max_solutions;
  if (cap && result.count > BigUnsigned(*cap)) return SolutionCount{BigUnsigned(*cap), StopReason::kSolutionCap};
  return SolutionCount{std::move(result.count), StopReason::kCompleted};
}

}  // namespace

SolutionCount AnagramSolver::count(std::string_view phrase, const SolverConstraints& constraints,
                                   PollHook cancel) const {
  const auto counted = CharCounts::from_str(phrase);
  if (!std::holds_alternative<CharCounts>(counted)) return {};
  const CharCounts& counts = std::get<CharCounts>(counted);
  if (counts.is_empty() || dictionary_is_empty(trie)) return {};
  const StopCondition stop{std::chrono::steady_clock::now(), constraints.timeout_seconds, cancel};
  if (distinct_patterns(constraints).size() > kMaxFastPatterns) {
    const SolutionList all = run_traced_search(trie, counts, constraints, stop, nullptr);
    return {BigUnsigned(all.size()), all.stop};
  }
  StopWatch watch(stop);
  const PreparedSearch prepared = prepare_search(trie, counts, constraints, watch);
  if (prepared.finished) return {BigUnsigned(0), *prepared.finished};
  if (std::optional<SolutionCount> by_table = count_by_table(prepared, watch)) return std::move(*by_table);
  BigUnsigned value = count_by_walk(prepared, watch);
  return {std::move(value), watch.reason()};
}
