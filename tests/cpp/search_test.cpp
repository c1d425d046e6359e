#include <gtest/gtest.h>

#include <random>

#include "solver.h"
#include "test_util.h"

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
