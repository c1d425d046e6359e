// File: engine/solver.cpp
//
// The dispatcher: the only place that chooses a search (search/search.h) for
// solve, count and stream. Each request is prepared once and handed to the
// chosen search as it is. Tested by tests/cpp/search_test.cpp and, through
// the module, by the Python tests.
#include "engine/solver.h"

#include <algorithm>
#include <chrono>
#include <variant>

#include "request/trace_log.h"
#include "search/search.h"

namespace anagram {

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
bool ordered_may_suit(const PreparedRequest& p) {
  const SolverConstraints& c = *p.constraints;
  if (c.must_start_with || (c.contains_patterns && !c.contains_patterns->empty()) || c.max_words) return false;
  uint64_t states = 1;
  for (uint32_t n : p.phrase.counts) {
    states *= uint64_t{n} + 1;
    if (states > kOrderedStates) return false;
  }
  return OrderedSearch::supports(p);
}

// The phrase's letters when there is anything to search: none for a phrase
// that cannot be counted (a non-ASCII letter) or holds no letter, or for a
// dictionary without words.
std::optional<CharCounts> searchable_letters(std::string_view phrase, const Trie& trie) {
  const auto counted = CharCounts::from_str(phrase);
  if (!std::holds_alternative<CharCounts>(counted)) return std::nullopt;
  const CharCounts& counts = std::get<CharCounts>(counted);
  if (counts.is_empty() || trie.empty()) return std::nullopt;
  return counts;
}

SolutionList finished_list(SearchStatus why) {
  SolutionList none;
  none.stop = why;
  return none;
}

// How long count() walks a word-limited phrase whose tables are too large:
// the limit prunes the walk hard ("at most four words" of the 35-letter
// pangram walks in about a second), and past this the phrase is beyond
// exact counting as without a limit.
constexpr double kWordLimitWalkSeconds = 10.0;

// The walk's count within kWordLimitWalkSeconds more (or the caller's own
// limit, if sooner); nothing when that budget, not the caller, stopped it.
std::optional<SolutionCount> walk_within_budget(const PreparedRequest& prepared, const StopCondition& stop) {
  const double budget = elapsed_seconds(stop.start_time) + kWordLimitWalkSeconds;
  StopCondition within = stop;
  if (!stop.timeout_seconds || !(*stop.timeout_seconds < budget)) within.timeout_seconds = budget;
  StopWatch watch(within);
  SolutionCount walked = walk_count(prepared, watch);
  const bool callers_limit = stop.timeout_seconds && elapsed_seconds(stop.start_time) > *stop.timeout_seconds;
  if (walked.stop == SearchStatus::kTimeLimit && !callers_limit) return std::nullopt;
  return walked;
}

// A count of the whole result as max_solutions caps it.
SolutionCount capped(SolutionCount count, const std::optional<uint32_t>& cap) {
  if (count.stop == SearchStatus::kCompleted && cap && count.value > BigUnsigned(*cap)) {
    return {BigUnsigned(*cap), SearchStatus::kSolutionCap};
  }
  return count;
}

// The exact size of a plain request's result, when the table count gives it
// at once; the request's own time limit and cap do not apply to this probe.
std::optional<uint64_t> probe_size(const PreparedRequest& p, PollHook cancel) {
  const StopCondition no_limit{std::chrono::steady_clock::now(), std::nullopt, cancel};
  StopWatch watch(no_limit);
  const std::optional<SolutionCount> all = table_count(p, watch);
  if (!all || all->too_large || all->stop != SearchStatus::kCompleted || !all->value.fits_u64()) return std::nullopt;
  return all->value.low_u64();
}

}  // namespace

void AnagramSolver::load_dictionary_from_text(std::string_view text) { trie.insert_lines(text); }
void AnagramSolver::add_word(std::string_view word) { trie.insert(word); }
void AnagramSolver::add_words(const std::vector<std::string>& words) {
  for (const std::string& word : words) trie.insert(word);
}

SolveResult AnagramSolver::solve_lazily(std::string_view phrase, const SolverConstraints& given, PollHook cancel,
                                        std::optional<uint32_t> collect_limit) const {
  TraceSession session;
  TraceFile* trace = session.file();
  if (trace) trace_header(*trace, phrase, given);
  const std::optional<CharCounts> searchable = searchable_letters(phrase, trie);
  if (!searchable) return {};
  SolverConstraints constraints = given;
  if (collect_limit && !trace && (!given.max_solutions || *given.max_solutions > *collect_limit)) {
    constraints.max_solutions = collect_limit;
  }
  const StopCondition stop{std::chrono::steady_clock::now(), constraints.timeout_seconds, cancel};
  StopWatch watch(stop);
  const PreparedRequest prepared = prepare_request(trie, *searchable, constraints, watch, trace != nullptr);
  if (prepared.by_steps) {
    SolutionList solutions = traced_search(prepared, watch, trace);
    if (trace) trace_footer(*trace);
    return {std::move(solutions), std::nullopt, 0};
  }
  if (prepared.finished) return {finished_list(*prepared.finished), std::nullopt, 0};
  if (ordered_may_suit(prepared)) {
    const std::optional<uint64_t> all = probe_size(prepared, cancel);
    if (all && *all >= kOrderedSolutions) {
      const uint64_t size = constraints.max_solutions ? std::min<uint64_t>(*all, *constraints.max_solutions) : *all;
      return {{}, SolutionStream(OrderedSearch(prepared, watch), stop, constraints.max_solutions), size};
    }
  }
  return {fast_search(prepared, watch), std::nullopt, 0};
}

SolutionList AnagramSolver::solve(std::string_view phrase, const SolverConstraints& constraints,
                                  PollHook cancel) const {
  SolveResult result = solve_lazily(phrase, constraints, cancel);
  return result.stream ? result.stream->drain(cancel) : std::move(result.list);
}

SolutionCount AnagramSolver::count(std::string_view phrase, const SolverConstraints& constraints,
                                   PollHook cancel) const {
  const std::optional<CharCounts> searchable = searchable_letters(phrase, trie);
  if (!searchable) return {};
  const StopCondition stop{std::chrono::steady_clock::now(), constraints.timeout_seconds, cancel};
  StopWatch watch(stop);
  const PreparedRequest prepared = prepare_request(trie, *searchable, constraints, watch);
  if (prepared.by_steps) {
    const SolutionList all = traced_search(prepared, watch, nullptr);
    return {BigUnsigned(all.size()), all.stop};
  }
  if (prepared.finished) return {BigUnsigned(0), *prepared.finished};
  if (std::optional<SolutionCount> by_table = table_count(prepared, watch)) {
    // Too large to count exactly: said at once, unless a cap bounds the walk
    // or a word limit lets it end soon.
    if (!by_table->too_large) return capped(std::move(*by_table), constraints.max_solutions);
    if (!constraints.max_solutions) {
      if (prepared.rules.max_words) {
        if (std::optional<SolutionCount> walked = walk_within_budget(prepared, stop)) return std::move(*walked);
      }
      return std::move(*by_table);
    }
  }
  return capped(walk_count(prepared, watch), constraints.max_solutions);
}

SolutionStream AnagramSolver::stream(std::string_view phrase, const SolverConstraints& constraints,
                                     PollHook cancel) const {
  const std::optional<CharCounts> searchable = searchable_letters(phrase, trie);
  if (!searchable) return {};
  // The searches that collect cap arbitrarily; the stream caps in order.
  SolverConstraints uncapped = constraints;
  uncapped.max_solutions.reset();
  const StopCondition stop{std::chrono::steady_clock::now(), constraints.timeout_seconds, cancel};
  StopWatch watch(stop);
  const PreparedRequest prepared = prepare_request(trie, *searchable, uncapped, watch);
  if (prepared.by_steps) {
    return SolutionStream(traced_search(prepared, watch, nullptr), constraints.max_solutions);
  }
  if (prepared.finished) return SolutionStream(finished_list(*prepared.finished), std::nullopt);
  if (!OrderedSearch::supports(prepared)) {
    return SolutionStream(fast_search(prepared, watch), constraints.max_solutions);
  }
  return SolutionStream(OrderedSearch(prepared, watch), stop, constraints.max_solutions);
}

RankedStream AnagramSolver::rank(std::string_view phrase, const SolverConstraints& constraints, PollHook cancel,
                                 size_t memory_cap) const {
  const std::optional<CharCounts> searchable = searchable_letters(phrase, trie);
  if (!searchable) return {};
  const StopCondition stop{std::chrono::steady_clock::now(), constraints.timeout_seconds, cancel};
  StopWatch watch(stop);
  const PreparedRequest prepared = prepare_request(trie, *searchable, constraints, watch);
  if (prepared.finished) return RankedStream(finished_list(*prepared.finished), {}, std::nullopt);
  std::vector<FixedScore> word_scores;
  for (const std::string& word : prepared.candidates.words) word_scores.push_back(scores.of(word));
  if (RankedSearch::supports(prepared, word_scores)) {
    return RankedStream(RankedSearch(prepared, std::move(word_scores), watch, {.memory_cap = memory_cap}), stop);
  }
  // Too many patterns, letters or words for it: the whole list, ranked after.
  SolverConstraints uncapped = constraints;
  uncapped.max_solutions.reset();
  const PreparedRequest all = prepare_request(trie, *searchable, uncapped, watch);
  SolutionList list = all.by_steps ? traced_search(all, watch, nullptr) : fast_search(all, watch);
  word_scores.clear();
  for (const std::string& word : list.words) word_scores.push_back(scores.of(word));
  return RankedStream(std::move(list), word_scores, constraints.max_solutions);
}

}  // namespace anagram
