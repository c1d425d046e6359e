// File: engine/stream.h
//
// The solutions of one request as a stream in the result order, taken in
// batches: what an iterator over a request holds. Rows come from the ordered
// search, or from a list already in the result order; either way the holder
// sees only RowBatch. Tested by tests/cpp/search_ordered_test.cpp and
// fuzz/fuzz_stream.cpp. It owns everything it
// reads (its own copy of the candidate words), so the dictionary may change
// or go away while it is alive. One thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "request/records.h"
#include "request/stop.h"

namespace anagram {

class OrderedSearch;

class SolutionStream {
 public:
  // A stream with nothing in it.
  SolutionStream();
  // Streams an ordered search; the time limit of `stop` counts from its
  // start (the request's), its poll hook is dropped (each batch brings its
  // own), and `max_solutions` ends the stream after that many.
  SolutionStream(OrderedSearch search, const StopCondition& stop, std::optional<uint32_t> max_solutions);
  // Streams a list already in the result order (requests the ordered search
  // does not take), its first `max_solutions` when given.
  SolutionStream(SolutionList list, std::optional<uint32_t> max_solutions);
  ~SolutionStream();
  SolutionStream(SolutionStream&&) noexcept;
  SolutionStream& operator=(SolutionStream&&) noexcept;

  // Appends up to `max_count` next solutions to `out`; returns how many.
  // `cancel` is polled while it works. Fewer than asked means the end.
  size_t next_batch(RowBatch& out, size_t max_count, PollHook cancel = {});
  bool ended() const;
  // Takes every solution left, as one list in the result order.
  SolutionList drain(PollHook cancel = {});
  // Why the stream ended (kCompleted while it has not).
  SearchStatus stop() const;
  // The words that the numbers of the solutions index.
  const std::vector<std::string>& words() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace anagram
