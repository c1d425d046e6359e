// Every search of the list (search_list.h) against the step-by-step
// reference, over random dictionaries, phrases and every option: the same
// solutions in the result order, or the same count. With a cap, each gives
// min(cap, total) solutions of the reference's (the ordered search its
// first ones). A new search is checked here once it joins the list.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>

#include "search_list.h"
#include "test_util.h"

using namespace anagram;
using namespace anagram::test_util;

namespace {

std::optional<std::string> maybe_letters(std::mt19937& rng, const std::string& alphabet) {
  if (rng() % 3) return std::nullopt;
  std::string out;
  for (size_t n = rng() % 3; n > 0; --n) out += alphabet[rng() % alphabet.size()];
  return out;
}

// Any of the options, each often absent, with values that matter on small
// phrases (no time limit: the answers must be whole).
SolveOptions random_options(std::mt19937& rng, const std::string& alphabet) {
  SolveOptions o;
  o.must_start_with = maybe_letters(rng, alphabet);
  o.can_only_ever_start_with = maybe_letters(rng, alphabet);
  if (o.can_only_ever_start_with && rng() % 2) *o.can_only_ever_start_with = alphabet;
  o.must_not_start_with = maybe_letters(rng, alphabet);
  if (rng() % 3 == 0) o.max_words = rng() % 5;
  if (rng() % 3 == 0) o.min_word_length = rng() % 4;
  if (rng() % 4 == 0) {
    o.contains_patterns.emplace();
    for (size_t n = rng() % 3; n > 0; --n) o.contains_patterns->push_back(random_word(rng, alphabet, 2));
  }
  return o;
}

// Every solution of a ranked stream, in its order.
Solutions ranked_solutions(RankedStream stream) {
  SolutionList list;
  RowBatch batch;
  std::vector<ScoreTotal> scores;
  while (!stream.ended()) stream.next_batch(batch, scores, 5);
  list.blocks = std::move(batch.blocks);
  list.words = stream.words();
  return to_vectors(list);
}

std::string describe(const std::string& phrase, const SolveOptions& o, uint32_t round) {
  std::string s = "round " + std::to_string(round) + " phrase '" + phrase + "'";
  if (o.must_start_with) s += " must '" + *o.must_start_with + "'";
  if (o.can_only_ever_start_with) s += " only '" + *o.can_only_ever_start_with + "'";
  if (o.must_not_start_with) s += " not '" + *o.must_not_start_with + "'";
  if (o.max_words) s += " max_words " + std::to_string(*o.max_words);
  if (o.min_word_length) s += " min_len " + std::to_string(*o.min_word_length);
  if (o.contains_patterns) {
    s += " patterns";
    for (const std::string& p : *o.contains_patterns) s += " '" + p + "'";
  }
  return s;
}

TEST(EverySearch, AgreesWithTheStepByStepSearch) {
  std::mt19937 rng(20261208);
  size_t compared = 0, solutions = 0;
  for (uint32_t round = 0; round < 2000; ++round) {
    const std::string alphabet = std::string("abcdefgh").substr(0, 2 + rng() % 5);
    AnagramSolver solver;
    for (size_t n = 3 + rng() % 25; n > 0; --n) solver.add_word(random_word(rng, alphabet, 4));
    std::string phrase;
    for (size_t n = 1 + rng() % 8; n > 0; --n) phrase += alphabet[rng() % alphabet.size()];
    SolveOptions options = random_options(rng, alphabet);
    const SolverConstraints c = build_constraints(options);
    const std::string what = describe(phrase, options, round);

    const std::optional<SearchAnswer> reference = run_search(kSearches[0], solver, phrase, c);
    ASSERT_TRUE(reference && reference->solutions) << what;
    ASSERT_EQ(reference->status, SearchStatus::kCompleted) << what;
    solutions += reference->solutions->size();
    for (const SearchUnderTest& search : kSearches) {
      const std::optional<SearchAnswer> got = run_search(search, solver, phrase, c);
      if (!got) continue;
      ++compared;
      EXPECT_EQ(got->status, SearchStatus::kCompleted) << search.name << " " << what;
      EXPECT_EQ(got->count, BigUnsigned(reference->solutions->size())) << search.name << " " << what;
      if (search.order == Order::kResultOrder) {
        EXPECT_EQ(*got->solutions, *reference->solutions) << search.name << " " << what;
      } else if (search.order == Order::kByScore) {
        EXPECT_EQ(*got->solutions, by_score(*reference->solutions)) << search.name << " " << what;
      }
    }

    // Capped: min(cap, total) of the reference's solutions, never more.
    const uint32_t cap = static_cast<uint32_t>(rng() % 4);
    options.max_solutions = cap;
    const SolverConstraints capped = build_constraints(options);
    const std::set<std::vector<std::string>> all(reference->solutions->begin(), reference->solutions->end());
    const size_t want = std::min<size_t>(cap, all.size());
    for (const SearchUnderTest& search : kSearches) {
      const std::optional<SearchAnswer> got = run_search(search, solver, phrase, capped);
      if (!got) continue;
      if (search.order == Order::kCountOnly) {
        // The table count ignores the cap (the dispatcher applies it).
        EXPECT_TRUE(got->count == BigUnsigned(want) || got->count == BigUnsigned(all.size()))
            << search.name << " cap " << cap << " " << what;
        continue;
      }
      const Solutions& part = *got->solutions;
      if (search.order == Order::kByScore) {
        // The best `cap` of the ranked order.
        const Solutions ranked = by_score(*reference->solutions);
        EXPECT_EQ(part, Solutions(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(want)))
            << search.name << " cap " << cap << " " << what;
        continue;
      }
      if (std::string_view(search.name) == "ordered") {
        // The ordered search caps nothing itself: the stream takes its first.
        continue;
      }
      EXPECT_EQ(part.size(), want) << search.name << " cap " << cap << " " << what;
      for (const auto& s : part) EXPECT_TRUE(all.count(s)) << search.name << " " << what;
    }
  }
  // Enough of the searches took enough requests to mean something.
  EXPECT_GT(compared, 6000u);
  EXPECT_GT(solutions, 4000u);
}

// The dispatcher's answers against the same reference: solve, count and the
// stream, which choose among the searches above.
TEST(EverySearch, DispatcherAgreesWithTheStepByStepSearch) {
  std::mt19937 rng(8122026);
  for (uint32_t round = 0; round < 1000; ++round) {
    const std::string alphabet = std::string("abcdef").substr(0, 2 + rng() % 4);
    AnagramSolver solver;
    for (size_t n = 3 + rng() % 20; n > 0; --n) {
      const std::string word = random_word(rng, alphabet, 4);
      solver.add_word(word);
      solver.scores.by_word[word] = test_score(word);
    }
    std::string phrase;
    for (size_t n = 1 + rng() % 8; n > 0; --n) phrase += alphabet[rng() % alphabet.size()];
    const SolveOptions options = random_options(rng, alphabet);
    const SolverConstraints c = build_constraints(options);
    const std::string what = describe(phrase, options, round);
    const Solutions expected = to_vectors(step_search(solver, phrase, c));
    EXPECT_EQ(to_vectors(solver.solve(phrase, c)), expected) << what;
    EXPECT_EQ(solver.count(phrase, c).value, BigUnsigned(expected.size())) << what;
    EXPECT_EQ(to_vectors(solver.stream(phrase, c).drain()), expected) << what;
    EXPECT_EQ(ranked_solutions(solver.rank(phrase, c)), by_score(expected)) << what;
  }
}

}  // namespace
