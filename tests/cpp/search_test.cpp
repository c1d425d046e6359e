#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <random>

#include "search/search.h"
#include "search/shared/prepare.h"
#include "search/shared/rules.h"
#include "search/shared/walk.h"
#include "engine/solver.h"
#include "test_util.h"

using namespace anagram;

namespace {

using test_util::random_word;
using test_util::Solutions;

Solutions traced_result(const AnagramSolver& solver, std::string_view phrase, const SolverConstraints& c) {
  return test_util::to_vectors(test_util::step_search(solver, phrase, c));
}

Solutions fast_result(const AnagramSolver& solver, std::string_view phrase, const SolverConstraints& c) {
  return test_util::to_vectors(solver.solve(phrase, c));
}

// The fast search must return exactly what the step-by-step search returns,
// for every combination of options, whenever neither cap nor clock stops it.
TEST(FastSearch, AgreesWithTracedSearchOnRandomRequests) {
  std::mt19937 rng(12345);
  const std::string alphabet = "aabcdeeiklnorst";
  for (int round = 0; round < 1500; ++round) {
    AnagramSolver solver;
    const int words = 1 + static_cast<int>(rng() % 14);
    for (int i = 0; i < words; ++i) solver.trie.insert(random_word(rng, alphabet, 4));
    const std::string phrase = random_word(rng, alphabet, 9);
    SolveOptions o;
    const auto maybe = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
    if (maybe(25)) o.max_words = rng() % 5;
    if (maybe(25)) o.min_word_length = rng() % 4;
    if (maybe(20)) o.must_start_with = random_word(rng, alphabet + " ,", 3);
    if (maybe(20)) o.can_only_ever_start_with = maybe(10) ? "" : random_word(rng, alphabet, 5);
    if (maybe(20)) o.must_not_start_with = random_word(rng, alphabet, 3);
    if (maybe(25)) {
      o.contains_patterns.emplace();
      const int n = static_cast<int>(rng() % 3);
      for (int i = 0; i < n; ++i) o.contains_patterns->push_back(maybe(15) ? "1-" : random_word(rng, alphabet, 3));
    }
    if (maybe(10)) o.timeout_seconds = maybe(50) ? std::nan("") : 1e9;
    const SolverConstraints c = build_constraints(o);
    ASSERT_EQ(fast_result(solver, phrase, c), traced_result(solver, phrase, c)) << "round " << round;
  }
}

TEST(FastSearch, CapAndClock) {
  AnagramSolver solver;
  for (const char* w : {"a", "b", "ab", "ba", "c", "abc", "ca"}) solver.trie.insert(w);
  const Solutions all = fast_result(solver, "aabbcc", SolverConstraints{});
  ASSERT_GT(all.size(), 5u);
  for (uint32_t cap : {0u, 1u, 3u, 1000u}) {
    SolveOptions o;
    o.max_solutions = cap;
    const Solutions some = fast_result(solver, "aabbcc", build_constraints(o));
    EXPECT_EQ(some.size(), std::min<size_t>(cap, all.size()));
    for (const auto& s : some) EXPECT_NE(std::find(all.begin(), all.end(), s), all.end());
  }
  // Words with the same letters but other start letters form separate
  // classes; the cap must hold across them.
  AnagramSolver split;
  split.trie.insert("ce");
  split.trie.insert("ec");
  SolveOptions capped;
  capped.must_start_with = "c";
  capped.max_solutions = 1;
  EXPECT_EQ(fast_result(split, "ccee", build_constraints(capped)).size(), 1u);
  for (double limit : {0.0, -1.0}) {
    SolveOptions o;
    o.timeout_seconds = limit;
    EXPECT_TRUE(fast_result(solver, "aabbcc", build_constraints(o)).empty());
    EXPECT_TRUE(traced_result(solver, "aabbcc", build_constraints(o)).empty());
  }
  for (double limit : {std::nan(""), static_cast<double>(INFINITY)}) {
    SolveOptions o;
    o.timeout_seconds = limit;
    EXPECT_EQ(fast_result(solver, "aabbcc", build_constraints(o)), all);
  }
}

TEST(FastSearch, ResultOrder) {
  AnagramSolver solver;
  for (const char* w : {"ab", "cd", "abcd", "a", "bcd", "acd", "b"}) solver.trie.insert(w);
  SolveOptions o;
  o.max_words = 2;
  EXPECT_EQ(fast_result(solver, "abcd", build_constraints(o)),
            (Solutions{{"abcd"}, {"ab", "cd"}, {"a", "bcd"}, {"acd", "b"}}));
}

TEST(FastSearch, LongPhrasesNeedNoDeepStack) {
  AnagramSolver solver;
  solver.trie.insert("a");
  const SolutionList result = solver.solve(std::string(1000000, 'a'), SolverConstraints{});
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result.blocks.at(0).width, 1000000u);
  // The step-by-step search runs on a stack sized for the phrase.
  EXPECT_EQ(traced_result(solver, std::string(100000, 'a'), SolverConstraints{}).at(0).size(), 100000u);
}

TEST(FastSearch, WideCountsBeyondTwoMachineWords) {
  // Every letter many times: the packed form does not fit in 128 bits.
  AnagramSolver solver;
  std::string phrase;
  for (char ch = 'a'; ch <= 'z'; ++ch) {
    solver.trie.insert(std::string(1, ch));
    solver.trie.insert(std::string(2, ch));
    phrase += std::string(9, ch);
  }
  SolveOptions o;
  o.max_solutions = 50;
  EXPECT_EQ(fast_result(solver, phrase, build_constraints(o)).size(), 50u);
  // A few long words keep the step-by-step search (every ordering) small.
  AnagramSolver small;
  for (const char* w : {"ab", "ba", "a", "b", "aab"}) small.trie.insert(w);
  std::string p;
  for (char ch = 'c'; ch <= 'z'; ++ch) p += std::string(17, ch);
  small.trie.insert(p);
  EXPECT_EQ(fast_result(small, p + "aabb", SolverConstraints{}), traced_result(small, p + "aabb", SolverConstraints{}));
}

}  // namespace

namespace {

struct CancelAfter {
  int calls = 0;
  int cancel_at;
};
bool cancel_after(void* context) {
  auto* c = static_cast<CancelAfter*>(context);
  return ++c->calls >= c->cancel_at;
}

// Both searches say why they stopped, and a poll hook cancels both.
TEST(SearchStatuss, BothSearchesReportWhyTheyStopped) {
  AnagramSolver solver;
  for (const char* w : {"a", "b", "ab", "ba", "c", "abc", "ca", "bc", "cb"}) solver.trie.insert(w);
  const std::string phrase = "aabbcc";
  const auto fast = [&](const SolveOptions& o, PollHook hook = {}) { return solver.solve(phrase, build_constraints(o), hook); };
  const auto step = [&](const SolveOptions& o, PollHook hook = {}) {
    return test_util::step_search(solver, phrase, build_constraints(o), hook);
  };
  for (const auto& search : {std::function<SolutionList(const SolveOptions&, PollHook)>(fast),
                             std::function<SolutionList(const SolveOptions&, PollHook)>(step)}) {
    const SolutionList all = search(SolveOptions{}, {});
    EXPECT_EQ(all.stop, SearchStatus::kCompleted);
    SolveOptions capped;
    capped.max_solutions = 2;
    EXPECT_EQ(search(capped, {}).stop, SearchStatus::kSolutionCap);
    EXPECT_EQ(search(capped, {}).size(), 2u);
    SolveOptions late;
    late.timeout_seconds = -1.0;
    EXPECT_EQ(search(late, {}).stop, SearchStatus::kTimeLimit);
    late.timeout_seconds = std::nan("");
    EXPECT_EQ(search(late, {}).stop, SearchStatus::kCompleted);
    // A hook that never cancels changes nothing.
    CancelAfter never{0, INT32_MAX};
    const SolutionList polled = search(SolveOptions{}, PollHook{cancel_after, &never});
    EXPECT_EQ(test_util::to_vectors(polled), test_util::to_vectors(all));
    EXPECT_EQ(polled.stop, SearchStatus::kCompleted);
    EXPECT_GT(never.calls, 0);
    CancelAfter first{0, 1};
    const SolutionList cancelled = search(SolveOptions{}, PollHook{cancel_after, &first});
    EXPECT_EQ(cancelled.stop, SearchStatus::kCancelled);
    EXPECT_EQ(cancelled.size(), 0u);
  }
  // Cancelled in the middle of a large search: a sorted part of the whole.
  AnagramSolver many;
  for (const char* w : {"abc", "acb", "bac", "bca", "cab", "cba", "ab", "ba", "ac", "ca", "bc", "cb", "a", "b", "c"}) {
    many.trie.insert(w);
  }
  const std::string big = "abcabcabcabcabcabcabcabc";
  const Solutions whole = fast_result(many, big, SolverConstraints{});
  ASSERT_GT(whole.size(), 4 * kClockInterval);
  // Looks before and after gathering the candidates, when the walk starts,
  // then once an interval of work is done.
  CancelAfter soon{0, 4};
  const CharCounts big_counts = std::get<CharCounts>(CharCounts::from_str(big));
  const StopCondition soon_stop{std::chrono::steady_clock::now(), std::nullopt, PollHook{cancel_after, &soon}};
  const SolverConstraints plain;
  StopWatch soon_watch(soon_stop);
  const PreparedRequest prepared = prepare_request(many.trie, big_counts, plain, soon_watch);
  const SolutionList part = fast_search(prepared, soon_watch);
  EXPECT_EQ(part.stop, SearchStatus::kCancelled);
  EXPECT_EQ(soon.calls, 4);
  const Solutions got = test_util::to_vectors(part);
  EXPECT_GT(got.size(), 0u);
  EXPECT_LT(got.size(), whole.size());
  for (const auto& s : got) EXPECT_NE(std::find(whole.begin(), whole.end(), s), whole.end());
}

// More distinct patterns than the fast search takes: the request runs the
// step-by-step search and still gets every solution.
TEST(Dispatch, ManyPatternsGoStepByStep) {
  AnagramSolver solver;
  const std::string long_word = "abcdefghijkl";
  for (const char* w : {"abcdefghijkl", "abcdefghijk", "l", "abcdef", "ghijkl", "ghijklm", "m"}) solver.trie.insert(w);
  SolveOptions many;
  many.contains_patterns.emplace();
  for (size_t i = 0; i < 11; ++i) {
    for (size_t n = 1; i + n <= 11; ++n) many.contains_patterns->push_back(long_word.substr(i, n));
  }
  ASSERT_GT(distinct_patterns(build_constraints(many)).size(), 64u);
  SolveOptions one;
  one.contains_patterns = std::vector<std::string>{"abcdefghijk"};
  const Solutions expected = fast_result(solver, "abcdefghijklm", build_constraints(one));
  EXPECT_EQ(expected, (Solutions{{"abcdefghijkl", "m"}, {"abcdefghijk", "l", "m"}}));
  EXPECT_EQ(fast_result(solver, "abcdefghijklm", build_constraints(many)), expected);
}

// A deep step-by-step search needs a thread with a large stack; when the
// address space cannot hold it, the request fails as an allocation would.
TEST(StepSearchThread, NoStackMeansBadAlloc) {
  AnagramSolver solver;
  solver.trie.insert("a");
  const SolverConstraints none;
  const std::string phrase(100000, 'a');
  EXPECT_EXIT(
      {
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        std::ifstream statm("/proc/self/statm");
        size_t pages = 0;
        statm >> pages;
        // Room for small allocations, none for a stack of 300 MiB.
        limit.rlim_cur = pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) + (64u << 20);
        setrlimit(RLIMIT_AS, &limit);
        try {
          test_util::step_search(solver, phrase, none);
        } catch (const std::bad_alloc&) {
          std::_Exit(0);
        } catch (...) {
          std::_Exit(2);
        }
        std::_Exit(1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace

namespace {

// A class sink that counts without expanding: a group of m words from a
// class of c words stands for C(c+m-1, m) word multisets.
struct CountingSink {
  const PreparedRequest& p;
  uint64_t solutions = 0;
  void take(std::span<const ClassGroup> groups) {
    uint64_t product = 1;
    for (const ClassGroup& g : groups) {
      const uint64_t c = p.classes[g.cls].words.size();
      uint64_t choose = 1;
      for (uint64_t i = 1; i <= g.count; ++i) choose = choose * (c + i - 1) / i;
      product *= choose;
    }
    solutions += product;
  }
};

// The walk feeds any class sink: counting the class multisets gives the
// number of solutions the request lists.
TEST(ClassWalk, CountsWithoutExpanding) {
  std::mt19937 rng(99);
  uint64_t total = 0, multiplied = 0;  // solutions; those of requests with a class of several words
  for (int round = 0; round < 300; ++round) {
    AnagramSolver solver;
    for (int i = 0; i < 30; ++i) solver.trie.insert(random_word(rng, "aabest", 3));
    const std::string phrase = random_word(rng, "aabest", 10);
    SolveOptions o;
    if (rng() % 3 == 0) o.max_words = rng() % 5;
    if (rng() % 3 == 0) o.must_start_with = random_word(rng, "abst", 2);
    const SolverConstraints c = build_constraints(o);
    const StopCondition forever{std::chrono::steady_clock::now(), std::nullopt, {}};
    StopWatch watch(forever);
    const CharCounts counts = std::get<CharCounts>(CharCounts::from_str(phrase));
    const PreparedRequest prepared = prepare_request(solver.trie, counts, c, watch);
    CountingSink sink{prepared};
    if (!prepared.finished) {
      visit_packed_word(prepared.layout, [&]<typename Word>(std::type_identity<Word>) {
        walk_class_multisets<Word>(prepared, sink, watch);
      });
    }
    EXPECT_EQ(watch.reason(), SearchStatus::kCompleted);
    ASSERT_EQ(sink.solutions, solver.solve(phrase, c).size()) << round;
    total += sink.solutions;
    const bool several = std::any_of(prepared.classes.begin(), prepared.classes.end(),
                                     [](const WordClass& cls) { return cls.words.size() > 1; });
    if (several) multiplied += sink.solutions;
  }
  // The random requests are not all empty, and classes do hold several words.
  EXPECT_GT(total, 1000u);
  EXPECT_GT(multiplied, 0u);
}

}  // namespace
