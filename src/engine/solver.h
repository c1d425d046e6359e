// File: engine/solver.h
//
// The search engine: the dictionary and the requests on top of it. This is
// the dispatcher: it alone chooses a search (search/search.h), and nothing
// below it (the searches, the records, the dictionary) includes it. The
// Python layer sits on top of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "request/records.h"
#include "engine/ranked_stream.h"
#include "engine/stream.h"
#include "search/search.h"
#include "dict/scores.h"
#include "dict/trie.h"

namespace anagram {

// What solve_lazily gives: the list, or for large plain results the same
// list as a stream in the result order (taken whole, it skips building the
// list twice), with how many solutions the stream holds when it is not cut
// short by the time limit.
struct SolveResult {
  SolutionList list;
  std::optional<SolutionStream> stream;
  uint64_t stream_size = 0;
};

struct AnagramSolver {
  Trie trie;
  // A score per normalised word, for the ranked requests.
  WordScores scores;

  // Inserts each line of `text` as one word; CRLF and LF both end a line.
  void load_dictionary_from_text(std::string_view text);
  // Inserts one word, or each of `words` in order (normalised by the tree).
  void add_word(std::string_view word);
  void add_words(const std::vector<std::string>& words);

  // Every combination of dictionary words whose letters are exactly the
  // phrase's, under the constraints, in the result order. Never fails; a
  // time limit, the cap or `cancel` can cut it short (see the list's stop).
  // Throws std::bad_alloc when memory (or a deep search's thread) runs out.
  SolutionList solve(std::string_view phrase, const SolverConstraints& constraints, PollHook cancel = {}) const;
  // solve() as the dispatcher runs it: the searches that collect give their
  // list, the ordered one a stream of it (drained, that is solve()).
  // `collect_limit` bounds what is collected as max_solutions would (the
  // caller's memory bound; a trace still shows the request as given).
  SolveResult solve_lazily(std::string_view phrase, const SolverConstraints& constraints, PollHook cancel = {},
                           std::optional<uint32_t> collect_limit = std::nullopt) const;

  // How many solutions solve() returns for the same request, exactly, without
  // building them; the time limit and `cancel` stop it (see the stop).
  SolutionCount count(std::string_view phrase, const SolverConstraints& constraints, PollHook cancel = {}) const;

  // The solutions of solve() for the same request, in the same order, as a
  // stream that computes them as they are taken; max_solutions gives the
  // first ones of that order, and the time limit counts from this call.
  // `cancel` is polled while the stream is set up; each batch takes its own.
  SolutionStream stream(std::string_view phrase, const SolverConstraints& constraints, PollHook cancel = {}) const;

  // The solutions of solve() for the same request best first: by the sum of
  // their words' scores, descending, equal sums in the result order;
  // max_solutions gives the first ones of that order. As a stream, like
  // stream(); it owns a copy of the words and their scores.
  // The search's memory is capped at `memory_cap` bytes (see RankedSearch).
  RankedStream rank(std::string_view phrase, const SolverConstraints& constraints, PollHook cancel = {},
                    size_t memory_cap = kRankedMemoryCap) const;
};

}  // namespace anagram
