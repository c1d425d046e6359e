// Every search of the list (search_list.h) where a narrow field or a
// product of two counts would wrap: letter counts, word counts and word
// lengths of 2^k - 1, 2^k and 2^k + 1 for k = 8 and 16, on shapes the
// step-by-step reference walks in linear time; the one shape it walks in
// quadratic time is checked against its answer by arithmetic at 2^16. The
// packed forms at 2^32 - 1 are built directly, no search being that long.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "search/shared/lattice.h"
#include "search/shared/packed.h"
#include "search_list.h"
#include "test_util.h"

using namespace anagram;
using namespace anagram::test_util;

namespace {

struct Shape {
  std::string what;
  std::vector<std::string> words;
  std::string phrase;
  SolveOptions options;
};

std::string a(size_t n) { return std::string(n, 'a'); }

// Shapes of n with one solution, which the reference reaches in one
// ordering: n is the letters of one kind, the words of the solution, the
// letters of a word, the words owed a start letter, or two of them at once.
std::vector<Shape> shapes(size_t n) {
  std::vector<Shape> out;
  out.push_back({"n words of one letter", {"a"}, a(n), {}});
  out.push_back({"one word of n letters", {a(n)}, a(n), {}});
  std::string ab;
  for (size_t i = 0; i < n; ++i) ab += "ab";
  out.push_back({"n words of two letters", {"ab"}, ab, {}});
  Shape owed{"n words owed their start", {"a"}, a(n), {}};
  owed.options.must_start_with = a(n);
  out.push_back(owed);
  return out;
}

// Widths only: a solution of 65,537 words is no message to print.
std::string widths(const Solutions& s) {
  std::string out = std::to_string(s.size()) + " solutions of";
  for (const auto& words : s) {
    out += ' ';
    out += std::to_string(words.size());
  }
  return out;
}

// Every search but the reference (entry 0, which gave or confirmed
// `expected`) against `expected`, and the dispatcher's solve, count and
// stream too.
void expect_every_search(const Shape& shape, size_t n, const Solutions& expected) {
  AnagramSolver solver;
  for (const std::string& w : shape.words) solver.add_word(w);
  const SolverConstraints c = build_constraints(shape.options);
  const std::string what = shape.what + ", n = " + std::to_string(n);
  for (const SearchUnderTest& search : std::span(kSearches).subspan(1)) {
    const std::optional<SearchAnswer> got = run_search(search, solver, shape.phrase, c);
    if (!got) continue;
    EXPECT_EQ(got->status, SearchStatus::kCompleted) << search.name << ": " << what;
    EXPECT_EQ(got->count, BigUnsigned(expected.size())) << search.name << ": " << what;
    if (search.order == Order::kResultOrder) {
      EXPECT_TRUE(*got->solutions == expected) << search.name << ": " << what << ": " << widths(*got->solutions);
    } else if (search.order == Order::kByScore) {
      EXPECT_TRUE(*got->solutions == by_score(expected))
          << search.name << ": " << what << ": " << widths(*got->solutions);
    }
  }
  const Solutions solved = to_vectors(solver.solve(shape.phrase, c));
  EXPECT_TRUE(solved == expected) << "solve: " << what << ": " << widths(solved);
  EXPECT_EQ(solver.count(shape.phrase, c).value, BigUnsigned(expected.size())) << "count: " << what;
  const Solutions streamed = to_vectors(solver.stream(shape.phrase, c).drain());
  EXPECT_TRUE(streamed == expected) << "stream: " << what << ": " << widths(streamed);
}

TEST(Boundaries, EverySearchAgreesAtPowersOfTwo) {
  for (size_t k : {8, 16}) {
    for (size_t n = (size_t{1} << k) - 1; n <= (size_t{1} << k) + 1; ++n) {
      for (const Shape& shape : shapes(n)) {
        AnagramSolver solver;
        for (const std::string& w : shape.words) solver.add_word(w);
        const Solutions reference = to_vectors(step_search(solver, shape.phrase, build_constraints(shape.options)));
        ASSERT_EQ(reference.size(), 1u) << shape.what << ", n = " << n;
        expect_every_search(shape, n, reference);
      }
    }
  }
}

// n letters a over the words a and a^(n-1): the word and the rest, and n
// words. The reference at 2^8; at 2^16 it walks the long word's letters
// again for every word before it (some minutes), so there the answer comes
// from arithmetic: x + (n - 1) y = n only for (1, 1) and (n, 0).
TEST(Boundaries, EverySearchFindsTheWordAndTheRest) {
  for (size_t k : {8, 16}) {
    for (size_t n = (size_t{1} << k) - 1; n <= (size_t{1} << k) + 1; ++n) {
      const Shape shape{"a and a^(n-1)", {"a", a(n - 1)}, a(n), {}};
      const Solutions expected = {{"a", a(n - 1)}, std::vector<std::string>(n, "a")};
      if (k == 8) {
        AnagramSolver solver;
        for (const std::string& w : shape.words) solver.add_word(w);
        ASSERT_TRUE(to_vectors(step_search(solver, shape.phrase, {})) == expected) << n;
      }
      expect_every_search(shape, n, expected);
    }
  }
}

// Counts of 2^32 - 1, the widest a letter count holds: each packed form
// keeps them whole, and the lattice numbers the states past them.
TEST(Boundaries, PackedFormsHoldThirtyTwoBitCounts) {
  constexpr uint32_t kMost = UINT32_MAX;
  CharCounts phrase;
  phrase.counts[0] = kMost;
  phrase.counts[1] = 1;
  phrase.counts[2] = uint32_t{1} << 20;

  const PackedLayout lattice = make_lattice_layout(phrase);
  ASSERT_TRUE(lattice.ok);
  EXPECT_EQ(lattice.stride[1], uint64_t{1} << 32);
  EXPECT_EQ(lattice.stride[2], uint64_t{1} << 33);
  EXPECT_EQ(lattice.states, (uint64_t{1} << 33) * ((uint64_t{1} << 20) + 1));
  EXPECT_EQ(state_index(phrase, lattice), lattice.states - 1);
  const u128 all = pack(phrase, lattice);
  EXPECT_EQ(letter_count(all, 0, lattice), kMost);
  EXPECT_EQ(letter_count(all, 2, lattice), uint32_t{1} << 20);
  CharCounts less = phrase;
  less.counts[0] = kMost - 1;
  EXPECT_TRUE(fits(all, pack(less, lattice), lattice.guard));
  EXPECT_FALSE(fits(pack(less, lattice), all, lattice.guard));
  ClassTable table;
  table.classes.push_back({pack(CharCounts{}, lattice), 0, 1, 0, 1, 0});
  EXPECT_EQ(memo_build_steps(table, lattice, 1), lattice.states);

  Candidates none;
  const Layout walk = make_walk_layout(phrase, none);
  ASSERT_EQ(walk.total_bits, 33 + 2 + 22);
  const PackedCounts<u128> arith(walk);
  std::array<uint32_t, kLetterCount> have{}, need{};
  have[0] = kMost;
  have[1] = 1;
  have[2] = uint32_t{1} << 20;
  need = have;
  const u128 packed = arith.pack(have);
  EXPECT_EQ(arith.field(packed, walk.field_of_letter[0]), kMost);
  EXPECT_TRUE(arith.fits(packed, arith.pack(need)));
  need[0] = 1;
  need[2] = 0;
  EXPECT_EQ(arith.field(arith.minus(packed, arith.pack(need)), walk.field_of_letter[0]), kMost - 1);
  have[0] = kMost - 1;
  need[0] = kMost;
  EXPECT_FALSE(arith.fits(arith.pack(have), arith.pack(need)));
}

}  // namespace
