#include "solver.h"

#include <algorithm>
#include <chrono>
#include <variant>

#include "search_count.h"
#include "search_count_demand.h"
#include "search_fast.h"
#include "search_ordered.h"
#include "search_prepare.h"
#include "search_rules.h"
#include "search_traced.h"
#include "search_walk_count.h"
#include "trace_log.h"

namespace {

// Sub-multisets of the phrase's letters above which the ordered search's
// tables cost more than sorting what the fast search collects, and the
// fewest solutions for which skipping the sort pays for building them.
constexpr uint64_t kOrderedStates = uint64_t{1} << 20;
constexpr uint64_t kOrderedSolutions = 500'000;

// Might solve do better on the ordered search (no sort, no sort buffer) than
// on the collecting one? For plain requests over a modest letter lattice;
// start-letter demands, patterns and word limits prune better in the class
// walk, and small results do not repay the ordered search's tables.
bool ordered_may_suit(const CharCounts& phrase, const SolverConstraints& c) {
  if (c.must_start_with || (c.contains_patterns && !c.contains_patterns->empty()) || c.max_words) return false;
  uint64_t states = 1;
  for (uint32_t n : phrase.counts) {
    states *= uint64_t{n} + 1;
    if (states > kOrderedStates) return false;
  }
  return true;
}

// The phrase's letters when there is anything to search: none for a phrase
// that cannot be counted (a non-ASCII letter) or holds no letter, or for a
// dictionary without words.
std::optional<CharCounts> searchable_letters(std::string_view phrase, const Trie& trie) {
  const auto counted = CharCounts::from_str(phrase);
  if (!std::holds_alternative<CharCounts>(counted)) return std::nullopt;
  const CharCounts& counts = std::get<CharCounts>(counted);
  if (counts.is_empty() || dictionary_is_empty(trie)) return std::nullopt;
  return counts;
}

}  // namespace

void AnagramSolver::load_dictionary_from_text(std::string_view text) { trie.insert_lines(text); }

SolveResult AnagramSolver::solve_lazily(std::string_view phrase, const SolverConstraints& constraints,
                                        PollHook cancel) const {
  TraceSession session;
  TraceFile* trace = session.file();
  if (trace) trace_header(*trace, phrase, constraints);
  const std::optional<CharCounts> searchable = searchable_letters(phrase, trie);
  if (!searchable) return {};
  const CharCounts& counts = *searchable;
  // The fast search tells patterns apart by one bit each; the step-by-step
  // search takes any number, and is the only one that can write a trace.
  const bool step_by_step = trace != nullptr || distinct_patterns(constraints).size() > kMaxFastPatterns;
  const StopCondition stop{std::chrono::steady_clock::now(), constraints.timeout_seconds, cancel};
  if (!step_by_step && ordered_may_suit(counts, constraints)) {
    // Plain requests get the table count: exact, in milliseconds.
    SolverConstraints probe = constraints;
    probe.max_solutions.reset();
    probe.timeout_seconds.reset();
    const SolutionCount all = count(phrase, probe, cancel);
    if (all.stop == StopReason::kCompleted && all.value >= BigUnsigned(kOrderedSolutions) && all.value.fits_u64()) {
      const uint64_t size = constraints.max_solutions ? std::min<uint64_t>(all.value.low_u64(), *constraints.max_solutions)
                                                      : all.value.low_u64();
      return {{}, stream(phrase, constraints, cancel), size};
    }
  }
  if (!step_by_step) return {run_fast_search(trie, counts, constraints, stop), std::nullopt, 0};
  SolutionList solutions = run_traced_search(trie, counts, constraints, stop, trace);
  if (trace) trace_footer(*trace);
  return {std::move(solutions), std::nullopt, 0};
}

SolutionList AnagramSolver::solve(std::string_view phrase, const SolverConstraints& constraints,
                                  PollHook cancel) const {
  SolveResult result = solve_lazily(phrase, constraints, cancel);
  return result.stream ? result.stream->drain(cancel) : std::move(result.list);
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
// request is beyond it (patterns constrain whole solutions in ways a table
// of letters cannot follow; a start-letter demand costs a few table counts).
std::optional<SolutionCount> count_by_table(const PreparedSearch& p, StopWatch& watch) {
  if (!p.rules.patterns.empty()) return std::nullopt;
  CountLimits limits;
  limits.max_words = p.rules.max_words;
  limits.poll = poll_watch;
  limits.poll_context = &watch;
  std::optional<CountResult> result;
  if (p.tracks_starts()) {
    std::vector<StartedClass> classes;
    classes.reserve(p.classes.size());
    for (const WordClass& cls : p.classes) {
      classes.push_back({{CharCounts{cls.counts}, cls.length, cls.words.size()}, cls.start_letter});
    }
    result = count_with_demand(p.phrase, classes, p.rules.must_start, limits);
    if (!result) return std::nullopt;
  } else {
    result = count_anagrams(p.phrase, letter_classes(p), limits);
  }
  switch (result->status) {
    case CountStatus::kTooLarge:
      return std::nullopt;
    case CountStatus::kStopped:
    case CountStatus::kTimedOut:
      return SolutionCount{{}, watch.stopped() ? watch.reason() : StopReason::kTimeLimit};
    case CountStatus::kDone:
      break;
  }
  const std::optional<uint32_t>& cap = p.rules.max_solutions;
  if (cap && result->count > BigUnsigned(*cap)) return SolutionCount{BigUnsigned(*cap), StopReason::kSolutionCap};
  return SolutionCount{std::move(result->count), StopReason::kCompleted};
}

}  // namespace

SolutionCount AnagramSolver::count(std::string_view phrase, const SolverConstraints& constraints,
                                   PollHook cancel) const {
  const std::optional<CharCounts> searchable = searchable_letters(phrase, trie);
  if (!searchable) return {};
  const CharCounts& counts = *searchable;
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

SolutionStream AnagramSolver::stream(std::string_view phrase, const SolverConstraints& constraints,
                                     PollHook cancel) const {
  const auto start = std::chrono::steady_clock::now();
  const std::optional<CharCounts> searchable = searchable_letters(phrase, trie);
  if (!searchable) return {};
  const CharCounts& counts = *searchable;
  // The searches that collect cap arbitrarily; the stream caps in order.
  SolverConstraints uncapped = constraints;
  uncapped.max_solutions.reset();
  const StopCondition stop{start, constraints.timeout_seconds, cancel};
  if (distinct_patterns(constraints).size() > kMaxFastPatterns) {
    return SolutionStream(run_traced_search(trie, counts, uncapped, stop, nullptr), constraints.max_solutions);
  }
  StopWatch watch(stop);
  PreparedSearch prepared = prepare_search(trie, counts, constraints, watch);
  if (prepared.finished) {
    SolutionList none;
    none.stop = *prepared.finished;
    return SolutionStream(std::move(none), std::nullopt);
  }
  OrderedRequest request;
  request.word_counts.reserve(prepared.candidates.counts.size());
  for (const auto& letters : prepared.candidates.counts) request.word_counts.push_back(CharCounts{letters});
  request.words = std::move(prepared.candidates.words);
  request.phrase = counts;
  request.max_words = constraints.max_words;
  for (const auto& [letter, needed] : prepared.rules.must_start) {
    request.start_demand.emplace_back(static_cast<uint8_t>(letter), needed);
  }
  request.patterns = prepared.rules.patterns;
  if (!ordered_search_supports(request)) {
    return SolutionStream(run_fast_search(trie, counts, uncapped, stop), constraints.max_solutions);
  }
  return SolutionStream(std::move(request), start, constraints.timeout_seconds, constraints.max_solutions);
}
