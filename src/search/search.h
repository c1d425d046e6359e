// File: search/search.h
//
// The one contract of every search, and the searches side by side.
//
// Every search takes the same prepared request (PreparedRequest,
// search/shared/prepare.h: the phrase's letters, the rules, the candidate
// words and their classes) and the same stop watch (StopWatch,
// request/stop.h: the time limit and the caller's cancel hook), and ends with
// the same status (SearchStatus). Those that produce solutions write rows of
// word numbers (ascending, so comparing numbers compares words) into the same
// batch type (RowBatch, request/records.h) or return them as a SolutionList.
// A search never calls another; what several of them use lives in
// search/shared/. The dispatcher (engine/solver.h) alone chooses.
//
// Shared by the searches (search/shared/), each helper once:
//   prepare.h  the prepared request: candidates, word classes (WordClass),
//              the rules in the searches' form, every early exit
//   rules.h    the word and solution rules (first letters, lengths, the
//              start-letter demand, distinct patterns)
//   packed.h   letter counts packed with guard bits (fits_packed), in the
//              class walk's rarest-first layout
//   walk.h     the walk over multisets of word classes
//   lattice.h  tables over the sub-multisets of the phrase's letters: the
//              letter-order layout with state numbers, the class table, the
//              pair index and the completion bound
// Tables a search derives from these for itself (the count's letter
// classes, the lattice's class rows) are its own internals.
//
// Adding a search: a folder search/<name>/, its entry below with a line on
// when it is chosen and what it costs, a branch in the dispatcher, and an
// entry in the list of searches that tests/cpp/search_list.h runs against
// the step-by-step reference (the differential tests and fuzz targets
// iterate that list).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "request/records.h"
#include "request/stop.h"
#include "dict/scores.h"
#include "request/trace_log.h"
#include "search/shared/prepare.h"

namespace anagram {

// ---------------------------------------------------------------------------
// The searches.
//
// traced_search    The step-by-step reference: walks the dictionary tree for
//                  every word of every ordering of a solution. Chosen when a
//                  trace is asked for or the request has more patterns than
//                  a class mask holds (PreparedRequest::by_steps). Costs k!
//                  visits per k-word solution; collects and sorts. The only
//                  search that traces.
SolutionList traced_search(const PreparedRequest& request, StopWatch& watch, TraceFile* trace);

// fast_search      Walks multisets of word classes (each multiset of words
//                  once), collects and sorts. Chosen for every other
//                  request that solve() answers as a list. Costs about one
//                  step per solution, plus the sort and a row per solution.
SolutionList fast_search(const PreparedRequest& request, StopWatch& watch);

// OrderedSearch    Yields the solutions in the result order, resumably, in
//                  batches, without collecting them: memory bounded by its
//                  tables (capped), never by the number of solutions.
//                  Chosen for iter_solve, and by solve() for large plain
//                  results (no sort). Costs tables over the sub-multisets of
//                  the phrase's letters, then a few steps per solution.
//                  supports() tells which requests it takes.
class OrderedSearch;

// table_count      Counts without building a solution: a table over the
//                  sub-multisets of the phrase's letters, one pass per word
//                  class (a start-letter demand costs a few counts, each
//                  pattern doubles the counts). Past the table's cap, the
//                  same count over only the reached sub-multisets, hashed,
//                  the rest dense; both on several threads. Chosen by count()
//                  first. Costs milliseconds for most phrases, seconds for
//                  some of 30-40 letters; gives nothing for more than five
//                  patterns or a costly demand (the walk count answers), and
//                  too_large, at once or within seconds, when the reached
//                  states pass their budget. Exact; ignores max_solutions.
struct TableCountOptions {
  unsigned threads = 0;               // 0: thread_count() (search/shared/threads.h)
  std::optional<int> sparse_letters;  // for tests: skip the dense table, expand this many letters
  bool split_every_step = false;      // for tests: split every dense stage on every free dim
  bool reached_only = false;          // for tests: skip the dense table, sparse or dense as costs choose
  std::optional<uint32_t> tail_cells;  // for tests: the most cells of a reached state's tail (1: none)
};
std::optional<SolutionCount> table_count(const PreparedRequest& request, StopWatch& watch,
                                         const TableCountOptions& options = {});

// walk_count       Counts on the class walk of fast_search, adding the word
//                  multisets each class multiset stands for. Chosen by
//                  count() where the table count gives nothing, or finds
//                  its tables too large under a cap or a word limit (then
//                  for 10 s at most). Costs one walk step per class
//                  multiset; stops at max_solutions.
SolutionCount walk_count(const PreparedRequest& request, StopWatch& watch);

// RankedSearch     Yields the solutions best first, resumably, in batches: by
//                  score (the sum of the scores given per candidate)
//                  descending, equal scores in the result order, the first
//                  max_solutions of that. Chosen for iter_best and best.
//                  Costs a bound table over the sub-multisets of the
//                  phrase's letters reachable from it, filled only where the
//                  walk needs it (every value once past the first few
//                  solutions), and a best-first walk whose frontier grows
//                  with the solutions taken; a run of equal scores is
//                  collected whole before any of it is given. Everything is
//                  capped: past the cap it ends with over_cap(). supports()
//                  tells which requests it takes.
class RankedSearch;

// ---------------------------------------------------------------------------

namespace internal {
struct RankedEngine;
struct OrderedEngine;
struct OrderedRequest;
}  // namespace internal

class OrderedSearch {
 public:
  // Takes the request's candidates (a copy: the search may outlive the
  // dictionary) and builds its tables; `watch` may stop that.
  OrderedSearch(const PreparedRequest& request, StopWatch& watch);
  // A request in the search's own terms, for tests and benchmarks that tune
  // its table cap.
  explicit OrderedSearch(internal::OrderedRequest request);
  ~OrderedSearch();
  OrderedSearch(OrderedSearch&&) noexcept;
  OrderedSearch& operator=(OrderedSearch&&) noexcept;

  // Does it take this (prepared, not finished, not by_steps) request? At most
  // 64 patterns, at most 65,535 words owed one start letter, and phrases
  // whose letter counts pack into 128 bits.
  static bool supports(const PreparedRequest& request);

  // Appends up to `max_count` next solutions to `out` and returns how many.
  // Fewer than `max_count` means the search has ended; `status` says why.
  size_t next_batch(RowBatch& out, size_t max_count, StopWatch& watch);
  size_t next_batch(RowBatch& out, size_t max_count);  // with no time limit
  // The next solution, or false at the end.
  bool next(std::vector<uint32_t>& solution);

  // kRunning until it has ended.
  SearchStatus status() const;
  // The candidates the word numbers of the solutions index.
  const std::vector<std::string>& words() const;
  // The most bytes the capped tables have held at once.
  size_t table_peak_bytes() const;
  // True once some block has run without its table (the cap was too small).
  bool used_fallback() const;

 private:
  std::unique_ptr<internal::OrderedEngine> engine_;
};

// The most bytes a ranked search may hold (its tables, frontier and a run of
// equal scores), unless its caller gives another cap.
inline constexpr size_t kRankedMemoryCap = size_t{1} << 30;
// The most words an anagram may have for the ranked search to take it.
inline constexpr uint64_t kRankedMaxWords = 4096;

// How a ranked search keeps its bound table: the defaults are the
// dispatcher's; the others let tests take every path.
struct RankedTuning {
  size_t memory_cap = kRankedMemoryCap;
  bool dense_table = true;  // an array by state number where it fits
  bool exhaustive = false;  // every state's exact value, from the start
};

class RankedSearch {
 public:
  // `scores[w]` is the score of candidate w. Takes a copy of the candidates
  // (the search may outlive the dictionary) and builds its bound table;
  // `watch` may stop that, and the cap may end it (over_cap()).
  RankedSearch(const PreparedRequest& request, std::vector<FixedScore> scores, StopWatch& watch,
               RankedTuning tuning = {});
  ~RankedSearch();
  RankedSearch(RankedSearch&&) noexcept;
  RankedSearch& operator=(RankedSearch&&) noexcept;

  // Does it take this (prepared, not finished, not by_steps) request with
  // these scores? Phrases whose letter counts pack into 128 bits, whose
  // anagrams have at most kRankedMaxWords words (its walks nest that deep)
  // and whose sums of scores stay far inside int64.
  static bool supports(const PreparedRequest& request, std::span<const FixedScore> scores);

  // Appends up to `max_count` next solutions to `out` and their scores to
  // `scores`; returns how many. Fewer than `max_count` means the search has
  // ended; `status` says why.
  size_t next_batch(RowBatch& out, std::vector<FixedScore>& scores, size_t max_count, StopWatch& watch);

  // kRunning until it has ended; kCancelled also when it passed its cap.
  SearchStatus status() const;
  // True once the search ended because its memory would pass the cap.
  bool over_cap() const;
  size_t memory_cap() const;
  // The candidates the word numbers of the solutions index.
  const std::vector<std::string>& words() const;
  // The most bytes its tables and frontier have held.
  size_t peak_bytes() const;

 private:
  std::unique_ptr<internal::RankedEngine> engine_;
};

}  // namespace anagram
