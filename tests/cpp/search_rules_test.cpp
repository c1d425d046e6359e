#include "search/shared/rules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

using namespace anagram;

namespace {

using Clock = std::chrono::steady_clock;

struct PollCounter {
  int calls = 0;
  int cancel_at = -1;  // the call that returns true; -1: never
};
bool poll_counter(void* context) {
  auto* counter = static_cast<PollCounter*>(context);
  return ++counter->calls == counter->cancel_at;
}

TEST(StopRules, TimeLimitThenPollHook) {
  const auto start = Clock::now();
  const auto check = [&](std::optional<double> limit, PollHook poll = {}) {
    return check_stop(StopCondition{start, limit, poll});
  };
  EXPECT_EQ(check(std::nullopt), SearchStatus::kCompleted);
  EXPECT_EQ(check(-1.0), SearchStatus::kTimeLimit);
  EXPECT_EQ(check(1e9), SearchStatus::kCompleted);
  EXPECT_EQ(check(std::nan("")), SearchStatus::kCompleted);
  EXPECT_EQ(check(INFINITY), SearchStatus::kCompleted);
  EXPECT_EQ(check(-INFINITY), SearchStatus::kTimeLimit);
  // Strictly greater: the limit 0 passes once any time has gone by.
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(check(0.0), SearchStatus::kTimeLimit);
  EXPECT_GT(elapsed_seconds(start), 0.001);
  EXPECT_LT(elapsed_seconds(start), 3600.0);
  PollCounter counter{0, 2};
  const PollHook hook{poll_counter, &counter};
  EXPECT_EQ(check(std::nullopt, hook), SearchStatus::kCompleted);
  EXPECT_EQ(check(std::nullopt, hook), SearchStatus::kCancelled);
  // The clock is asked first and the hook not at all once the time is up.
  EXPECT_EQ(check(-1.0, hook), SearchStatus::kTimeLimit);
  EXPECT_EQ(counter.calls, 2);
}

TEST(StopRules, StopWatchLooksEveryIntervalAndKeepsTheFirstReason) {
  PollCounter counter{0, 3};
  const StopCondition condition{Clock::now(), std::nullopt, PollHook{poll_counter, &counter}};
  StopWatch watch(condition);
  uint64_t units = 0;
  while (!watch.tick()) ++units;
  EXPECT_EQ(counter.calls, 3);
  EXPECT_EQ(units + 1, 3 * kClockInterval);
  EXPECT_EQ(watch.reason(), SearchStatus::kCancelled);
  watch.stop(SearchStatus::kSolutionCap);
  EXPECT_EQ(watch.reason(), SearchStatus::kCancelled);
  StopWatch capped(condition);
  capped.stop(SearchStatus::kSolutionCap);
  EXPECT_TRUE(capped.check());
  EXPECT_EQ(capped.reason(), SearchStatus::kSolutionCap);
  EXPECT_TRUE(cap_reached(0u, 0));
  EXPECT_FALSE(cap_reached(std::nullopt, 1u << 31));
  EXPECT_FALSE(cap_reached(3u, 2));
}

TEST(WordRules, FirstLetterLengthAndStartDemand) {
  SolveOptions o;
  EXPECT_TRUE(may_start_word(build_constraints(o), 'q'));
  o.must_not_start_with = "Ab";
  o.can_only_ever_start_with = "abc";
  const SolverConstraints c = build_constraints(o);
  EXPECT_FALSE(may_start_word(c, 'a'));
  EXPECT_FALSE(may_start_word(c, 'b'));
  EXPECT_TRUE(may_start_word(c, 'c'));
  EXPECT_FALSE(may_start_word(c, 'd'));
  o.can_only_ever_start_with = "";
  o.must_not_start_with = "";
  EXPECT_FALSE(may_start_word(build_constraints(o), 'c'));  // an empty "only" set allows nothing
  o.min_word_length = 3;
  EXPECT_FALSE(long_enough(build_constraints(o), 2));
  EXPECT_TRUE(long_enough(build_constraints(o), 3));
  EXPECT_TRUE(long_enough(SolverConstraints{}, 0));

  StartCounts starts{};
  starts['a' - 'a'] = 2;
  starts['t' - 'a'] = 1;
  EXPECT_EQ(first_unmet_start(CharCountMap{{'a', 2}, {'t', 1}}, starts), nullptr);
  EXPECT_EQ(first_unmet_start(CharCountMap{}, starts), nullptr);
  const CharCountMap more_a{{'a', 3}};
  ASSERT_NE(first_unmet_start(more_a, starts), nullptr);
  EXPECT_EQ(first_unmet_start(more_a, starts)->first, U'a');
  // No word begins with a character outside a..z.
  EXPECT_NE(first_unmet_start(CharCountMap{{' ', 1}}, starts), nullptr);
  EXPECT_EQ(words_starting_with(starts, U'\u00e9'), 0u);

  Trie trie;
  EXPECT_TRUE(trie.empty());
  EXPECT_EQ(trie.shortest_word(), 0u);
  trie.insert("abc");
  EXPECT_FALSE(trie.empty());
  EXPECT_EQ(trie.shortest_word(), 3u);
}

TEST(PatternRules, DistinctInFirstSeenOrder) {
  SolveOptions o;
  EXPECT_TRUE(distinct_patterns(build_constraints(o)).empty());
  o.contains_patterns = std::vector<std::string>{"In-G", "", "at", "ing", "1", "AT", "ca"};
  EXPECT_EQ(distinct_patterns(build_constraints(o)), (std::vector<std::string>{"ing", "at", "ca"}));
}

}  // namespace
