// File: engine/ranked_stream.h
//
// The solutions of one request best first, with their scores, taken in
// batches: what the iterator of iter_best holds. Rows come from the ranked
// search, or from a list sorted here by score (requests the ranked search
// does not take). It owns everything it reads, so the dictionary and its
// scores may change or go away while it is alive. One thread at a time.
// Part of the dispatcher; tested by tests/cpp/differential_test.cpp and tests/python/test_best.py.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dict/scores.h"
#include "request/records.h"
#include "request/stop.h"

namespace anagram {

class RankedSearch;

class RankedStream {
 public:
  // A stream with nothing in it.
  RankedStream();
  // Streams a ranked search; the time limit of `stop` counts from its start
  // (the request's), its poll hook is dropped (each batch brings its own).
  RankedStream(RankedSearch search, const StopCondition& stop);
  // Streams a list in the result order ranked by the scores of its words
  // (`word_scores[w]` for list.words[w]), equal scores in the list's order,
  // its first `max_solutions` when given.
  RankedStream(SolutionList list, const std::vector<FixedScore>& word_scores, std::optional<uint32_t> max_solutions);
  ~RankedStream();
  RankedStream(RankedStream&&) noexcept;
  RankedStream& operator=(RankedStream&&) noexcept;

  // Appends up to `max_count` next solutions to `out` and their scores to
  // `scores`; returns how many. `cancel` is polled while it works. Fewer
  // than asked means the end.
  size_t next_batch(RowBatch& out, std::vector<ScoreTotal>& scores, size_t max_count, PollHook cancel = {});
  bool ended() const;
  // Why the stream ended (kCompleted while it has not).
  SearchStatus stop() const;
  // True when it ended because the search's memory would pass its cap.
  bool over_cap() const;
  size_t memory_cap() const;
  // The most bytes the search's tables and frontier have held so far.
  size_t peak_bytes() const;
  // The words that the numbers of the solutions index.
  const std::vector<std::string>& words() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace anagram
