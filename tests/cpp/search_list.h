// The list of searches that the differential tests and the fuzz targets run
// against the step-by-step reference. Each entry runs one search through the
// contract (search/search.h) on a request prepared as the dispatcher
// prepares it, and gives its answer in one comparable form. A new search is
// checked by adding it here. No GoogleTest in here, so the fuzzers can use it.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <string_view>
#include <variant>

#include "engine/solver.h"
#include "search/search.h"
#include "test_util.h"

namespace anagram {
namespace test_util {

// What a search answered for one request.
struct SearchAnswer {
  // Its solutions, in its own order, or nothing for a search that counts.
  std::optional<Solutions> solutions;
  // How many solutions it found or counted.
  BigUnsigned count;
  SearchStatus status = SearchStatus::kCompleted;
};

// How an answer compares with the reference.
enum class Order {
  kResultOrder,  // the same solutions in the result order
  kCountOnly,    // the same number of solutions
  kByScore,      // the same solutions by test_score, best first, ties in the result order
};

// The word scores the ranked search is run with: small whole and half
// numbers, negative ones too, so that many solutions tie.
inline FixedScore test_score(const std::string& word) {
  uint32_t h = 2166136261u;
  for (char c : word) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return (static_cast<FixedScore>(h % 9) - 5) * 500'000;
}

inline FixedScore test_score(const std::vector<std::string>& solution) {
  FixedScore total = 0;
  for (const std::string& w : solution) total += test_score(w);
  return total;
}

struct SearchUnderTest {
  const char* name;
  Order order;
  // Its answer, or nothing when it does not take the request (the
  // dispatcher would send it elsewhere).
  std::optional<SearchAnswer> (*run)(const PreparedRequest& request, StopWatch& watch);
};

inline SearchAnswer listed(const SolutionList& list) {
  return {to_vectors(list), BigUnsigned(list.size()), list.stop};
}

// The solutions of the result order `all` by test_score, best first (a
// stable sort keeps equal scores in the result order).
inline Solutions by_score(Solutions all) {
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return test_score(a) > test_score(b); });
  return all;
}

// The ranked search in batches of 7, with the scores it gives checked
// against the sums of its words'.
inline std::optional<SearchAnswer> ranked(const PreparedRequest& r, StopWatch& w, RankedTuning tuning) {
  std::vector<FixedScore> scores;
  for (const std::string& word : r.candidates.words) scores.push_back(test_score(word));
  if (!RankedSearch::supports(r, scores)) return std::nullopt;
  RankedSearch search(r, std::move(scores), w, tuning);
  SolutionList list;
  RowBatch batch;
  std::vector<FixedScore> got;
  while (search.next_batch(batch, got, 7, w) == 7) {
  }
  list.blocks = std::move(batch.blocks);
  list.words = search.words();
  list.stop = search.status() == SearchStatus::kRunning ? SearchStatus::kCompleted : search.status();
  SearchAnswer answer = listed(list);
  // The scores it gives are the sums of its words'.
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] != test_score((*answer.solutions)[i])) answer.status = SearchStatus::kCancelled;
  }
  return answer;
}

inline const std::array<SearchUnderTest, 12> kSearches = {{
    {"traced", Order::kResultOrder,
     [](const PreparedRequest& r, StopWatch& w) -> std::optional<SearchAnswer> {
       return listed(traced_search(r, w, nullptr));
     }},
    {"fast", Order::kResultOrder,
     [](const PreparedRequest& r, StopWatch& w) -> std::optional<SearchAnswer> {
       return listed(fast_search(r, w));
     }},
    {"ordered", Order::kResultOrder,
     [](const PreparedRequest& r, StopWatch& w) -> std::optional<SearchAnswer> {
       if (!OrderedSearch::supports(r)) return std::nullopt;
       OrderedSearch search(r, w);
       SolutionList list;
       RowBatch batch;
       while (search.next_batch(batch, 1 << 12, w) == (1 << 12)) {
       }
       list.blocks = std::move(batch.blocks);
       list.words = search.words();
       list.stop = search.status() == SearchStatus::kRunning ? SearchStatus::kCompleted : search.status();
       return listed(list);
     }},
    {"ranked", Order::kByScore,
     [](const PreparedRequest& r, StopWatch& w) { return ranked(r, w, {}); }},
    // Its hashed table; every state's exact value from the start.
    {"ranked_hashed", Order::kByScore,
     [](const PreparedRequest& r, StopWatch& w) { return ranked(r, w, {.dense_table = false}); }},
    {"ranked_exhaustive", Order::kByScore,
     [](const PreparedRequest& r, StopWatch& w) { return ranked(r, w, {.exhaustive = true}); }},
    {"table_count", Order::kCountOnly,
     [](const PreparedRequest& r, StopWatch& w) -> std::optional<SearchAnswer> {
       std::optional<SolutionCount> count = table_count(r, w);
       if (!count || count->too_large) return std::nullopt;
       return SearchAnswer{std::nullopt, std::move(count->value), count->stop};
     }},
    // The dense table with every step shared out among three threads.
    {"table_count_threads", Order::kCountOnly,
     [](const PreparedRequest& r, StopWatch& w) -> std::optional<SearchAnswer> {
       std::optional<SolutionCount> count = table_count(r, w, {.threads = 3, .sparse_letters = std::nullopt, .split_every_step = true, .reached_only = false, .tail_cells = std::nullopt});
       if (!count || count->too_large) return std::nullopt;
       return SearchAnswer{std::nullopt, std::move(count->value), count->stop};
     }},
    // The same count over reached states (its hashed tables and the dense
    // rest), on three threads, every dense step shared out.
    {"reach_count", Order::kCountOnly,
     [](const PreparedRequest& r, StopWatch& w) -> std::optional<SearchAnswer> {
       std::optional<SolutionCount> count = table_count(r, w, {.threads = 3, .sparse_letters = 2, .split_every_step = true, .reached_only = false, .tail_cells = 1});
       if (!count || count->too_large) return std::nullopt;
       return SearchAnswer{std::nullopt, std::move(count->value), count->stop};
     }},
    // Over reached states, turning dense where that costs less.
    {"reach_count_auto", Order::kCountOnly,
     [](const PreparedRequest& r, StopWatch& w) -> std::optional<SearchAnswer> {
       std::optional<SolutionCount> count = table_count(r, w, {.threads = 2, .sparse_letters = std::nullopt, .split_every_step = false, .reached_only = true, .tail_cells = 1});
       if (!count || count->too_large) return std::nullopt;
       return SearchAnswer{std::nullopt, std::move(count->value), count->stop};
     }},
    // The same with the commonest letters held as each reached state's tail
    // (a small one, so that short phrases have a key to expand).
    {"reach_count_tail", Order::kCountOnly,
     [](const PreparedRequest& r, StopWatch& w) -> std::optional<SearchAnswer> {
       std::optional<SolutionCount> count = table_count(r, w, {.threads = 2, .sparse_letters = std::nullopt, .split_every_step = false, .reached_only = true, .tail_cells = 16});
       if (!count || count->too_large) return std::nullopt;
       return SearchAnswer{std::nullopt, std::move(count->value), count->stop};
     }},
    {"walk_count", Order::kCountOnly,
     [](const PreparedRequest& r, StopWatch& w) -> std::optional<SearchAnswer> {
       SolutionCount count = walk_count(r, w);
       return SearchAnswer{std::nullopt, std::move(count.value), count.stop};
     }},
}};

// Runs `search` on a request as the dispatcher would prepare it; nothing for
// a phrase without letters, a request the search does not take, or one that
// only the step-by-step search takes (more patterns than a class mask).
inline std::optional<SearchAnswer> run_search(const SearchUnderTest& search, const AnagramSolver& solver,
                                              std::string_view phrase, const SolverConstraints& c) {
  const auto counted = CharCounts::from_str(phrase);
  if (!std::holds_alternative<CharCounts>(counted)) return std::nullopt;
  const CharCounts& counts = std::get<CharCounts>(counted);
  if (counts.is_empty() || solver.trie.empty()) return std::nullopt;
  const StopCondition stop{std::chrono::steady_clock::now(), c.timeout_seconds, {}};
  StopWatch watch(stop);
  const bool reference = search.run == kSearches[0].run;
  const PreparedRequest request = prepare_request(solver.trie, counts, c, watch, reference);
  if (request.by_steps && !reference) return std::nullopt;
  if (request.finished) return SearchAnswer{Solutions{}, BigUnsigned(0), *request.finished};
  return search.run(request, watch);
}

}  // namespace test_util
}  // namespace anagram
