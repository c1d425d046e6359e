// File: request/stop.h
//
// When a search stops, in one form for every search: the status a search
// ends with, the caller's cancel hook, and the stop watch that applies the
// time limit and the hook. Part of the request records (the bottom of the
// engine); tested by tests/cpp/search_rules_test.cpp.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace anagram {

// Where a search stands. Only kCompleted means every solution was found;
// kRunning is the state of a resumable search between two batches.
enum class SearchStatus {
  kCompleted,
  kTimeLimit,    // timeout_seconds passed
  kSolutionCap,  // max_solutions solutions collected
  kCancelled,    // the caller's poll hook asked to stop
  kRunning,
};

// A caller's way to cancel a running search: polled where the search looks
// at the clock; returning true stops it. Must not throw.
struct PollHook {
  bool (*poll)(void* context) = nullptr;
  void* context = nullptr;
};

// Units of work (walk steps, solutions handed out) between two looks at the
// clock and the poll hook in a search's inner loops. A power of two.
inline constexpr uint64_t kClockInterval = 1024;

// When a search must stop before it is done, apart from its solution cap.
struct StopCondition {
  std::chrono::steady_clock::time_point start_time;  // read just before the search
  std::optional<double> timeout_seconds;
  PollHook poll;
};

// Seconds since `start`: whole seconds plus nanoseconds / 1e9.
double elapsed_seconds(std::chrono::steady_clock::time_point start);

// kTimeLimit when the elapsed time is strictly greater than the limit (so a
// NaN or infinite limit never passes; the clock is read only when a limit is
// given), else kCancelled when the poll hook asks to stop, else kCompleted.
inline SearchStatus check_stop(const StopCondition& condition) {
  if (condition.timeout_seconds && elapsed_seconds(condition.start_time) > *condition.timeout_seconds) {
    return SearchStatus::kTimeLimit;
  }
  if (condition.poll.poll && condition.poll.poll(condition.poll.context)) return SearchStatus::kCancelled;
  return SearchStatus::kCompleted;
}

// True when `found` solutions fill the cap.
inline bool cap_reached(const std::optional<uint32_t>& max_solutions, uint64_t found) {
  return max_solutions && found >= *max_solutions;
}

// The stop condition as every search sees it: counts work, looks at the
// clock every kClockInterval units (or when asked) and keeps the first
// reason to stop.
class StopWatch {
 public:
  explicit StopWatch(const StopCondition& condition) : condition_(&condition) {}

  // Looks at the clock and the poll hook now.
  bool check() {
    if (!stopped()) reason_ = check_stop(*condition_);
    return stopped();
  }
  // One unit of work; looks at the clock when an interval is full.
  bool tick() { return (++steps_ & (kClockInterval - 1)) == 0 ? check() : stopped(); }
  void stop(SearchStatus why) {
    if (!stopped()) reason_ = why;
  }
  bool stopped() const { return reason_ != SearchStatus::kCompleted; }
  SearchStatus reason() const { return reason_; }
  const StopCondition& condition() const { return *condition_; }

 private:
  const StopCondition* condition_;
  uint64_t steps_ = 0;
  SearchStatus reason_ = SearchStatus::kCompleted;
};

}  // namespace anagram
