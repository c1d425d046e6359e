// The solutions of one request as a stream in the result order, taken in
// batches: what an iterator over a request holds. It owns everything it
// reads (its own copy of the candidate words), so the dictionary may change
// or go away while it is alive. One thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "search_ordered.h"
#include "solver_records.h"

class SolutionStream {
 public:
  // A stream with nothing in it.
  SolutionStream();
  // Streams an ordered search; `timeout_seconds` counts from `start` (the
  // request), and `max_solutions` ends the stream after that many.
  SolutionStream(OrderedRequest request, std::chrono::steady_clock::time_point start,
                 std::optional<double> timeout_seconds, std::optional<uint32_t> max_solutions);
  // Streams a list already in the result order (requests the ordered search
  // does not take), its first `max_solutions` when given.
  SolutionStream(SolutionList list, std::optional<uint32_t> max_solutions);
  ~SolutionStream();
  SolutionStream(SolutionStream&&) noexcept;
  SolutionStream& operator=(SolutionStream&&) noexcept;

  // Appends up to `max_count` next solutions to `out`; returns how many.
  // `cancel` is polled while it works. Fewer than asked means the end.
  size_t next_batch(OrderedBatch& out, size_t max_count, PollHook cancel = {});
  bool ended() const;
  // Takes every solution left, as one list in the result order.
  SolutionList drain(PollHook cancel = {});
  // Why the stream ended (kCompleted while it has not).
  StopReason stop() const;
  // The words that the numbers of the solutions index.
  const std::vector<std::string>& words() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};
