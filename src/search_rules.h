// The request rules that every search applies, each stated once: when a
// search must stop (time limit, poll hook, solution cap), which words may be
// used (first letter, length) and the start-letter demand on a solution.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "solver_records.h"
#include "trie.h"

// Units of work (walk steps, solutions handed out) between two looks at the
// clock and the poll hook in the loops of the fast search. A power of two.
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
inline StopReason check_stop(const StopCondition& condition) {
  if (condition.timeout_seconds && elapsed_seconds(condition.start_time) > *condition.timeout_seconds) {
    return StopReason::kTimeLimit;
  }
  if (condition.poll.poll && condition.poll.poll(condition.poll.context)) return StopReason::kCancelled;
  return StopReason::kCompleted;
}

// True when `found` solutions fill the cap.
inline bool cap_reached(const std::optional<uint32_t>& max_solutions, uint64_t found) {
  return max_solutions && found >= *max_solutions;
}

// The stop condition as the fast search's loops see it: counts work, looks
// at the clock every kClockInterval units and keeps the first reason to stop.
class StopWatch {
 public:
  explicit StopWatch(const StopCondition& condition) : condition_(condition) {}

  // Looks at the clock and the poll hook now.
  bool check() {
    if (!stopped()) reason_ = check_stop(condition_);
    return stopped();
  }
  // One unit of work; looks at the clock when an interval is full.
  bool tick() { return (++steps_ & (kClockInterval - 1)) == 0 ? check() : stopped(); }
  void stop(StopReason why) {
    if (!stopped()) reason_ = why;
  }
  bool stopped() const { return reason_ != StopReason::kCompleted; }
  StopReason reason() const { return reason_; }

 private:
  const StopCondition& condition_;
  uint64_t steps_ = 0;
  StopReason reason_ = StopReason::kCompleted;
};

// May a word begin with `letter`? must_not_start_with forbids, a given
// can_only_ever_start_with allows only its own letters (none when empty).
inline bool may_start_word(const SolverConstraints& c, char32_t letter) {
  if (c.must_not_start_with && c.must_not_start_with->count(letter)) return false;
  if (c.can_only_ever_start_with && !c.can_only_ever_start_with->count(letter)) return false;
  return true;
}

// Is a word of `letters` letters long enough for min_word_length?
inline bool long_enough(const SolverConstraints& c, size_t letters) {
  return !c.min_word_length || letters >= *c.min_word_length;
}

// The dictionary's shortest word, 0 while it has none.
inline uint32_t shortest_dictionary_word(const Trie& trie) {
  return trie.min_word_len() == Trie::kNoWordLen ? 0 : trie.min_word_len();
}
// A dictionary holds no word while its shortest length is unset (or 0).
inline bool dictionary_is_empty(const Trie& trie) {
  return trie.min_word_len() == Trie::kNoWordLen || trie.min_word_len() == 0;
}

// Words of a solution by first letter, slot 0 for 'a'.
using StartCounts = std::array<uint32_t, 26>;

// How many words begin with `letter`; none begins with a non-letter.
inline uint32_t words_starting_with(const StartCounts& starts, char32_t letter) {
  return letter >= 'a' && letter <= 'z' ? starts[letter - 'a'] : 0;
}

// The first entry of must_start_with, in the map's order, that `starts`
// does not meet (fewer words begin with the letter than it needs), or null.
const CharCountMap::value_type* first_unmet_start(const CharCountMap& demand, const StartCounts& starts);

// The entries of contains_patterns without repeats, in first-seen order.
std::vector<std::string> distinct_patterns(const SolverConstraints& c);
