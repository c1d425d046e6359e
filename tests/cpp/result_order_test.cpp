#include "request/result_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "test_util.h"

using namespace anagram;

namespace {

using test_util::Solutions;

// The result order written out plainly: fewer words, then the longer
// shortest word, then word by word.
bool comes_before(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  const auto shortest = [](const std::vector<std::string>& s) {
    size_t n = SIZE_MAX;
    for (const std::string& w : s) n = std::min(n, w.size());
    return n;
  };
  if (shortest(a) != shortest(b)) return shortest(a) > shortest(b);
  return a < b;
}

// Adds each solution, given as words, to a sorter over `words`.
SolutionList sort_with_sorter(const std::vector<std::string>& words, const Solutions& solutions) {
  SolutionSorter sorter(words);
  for (const auto& s : solutions) {
    std::vector<uint32_t> ids;
    for (const std::string& w : s) {
      ids.push_back(static_cast<uint32_t>(std::lower_bound(words.begin(), words.end(), w) - words.begin()));
    }
    sorter.add(ids.data(), ids.size());
  }
  EXPECT_EQ(sorter.size(), solutions.size());
  return sorter.finish();
}

TEST(ResultOrder, WordCountThenShortestWordThenWords) {
  const std::vector<std::string> words = {"a", "ab", "abcd", "acd", "b", "bcd", "cd"};
  const Solutions expected = {{"abcd"}, {"ab", "cd"}, {"a", "bcd"}, {"acd", "b"}};
  Solutions scrambled = {{"acd", "b"}, {"abcd"}, {"a", "bcd"}, {"ab", "cd"}};
  const SolutionList list = sort_with_sorter(words, scrambled);
  EXPECT_EQ(test_util::to_vectors(list), expected);
  EXPECT_EQ(list.size(), 4u);
  EXPECT_EQ(list.words, words);
  // One block per word count and shortest length, in the order they come.
  ASSERT_EQ(list.blocks.size(), 3u);
  EXPECT_EQ(list.blocks[0].width, 1u);
  EXPECT_EQ(list.blocks[1].width, 2u);
  EXPECT_EQ(list.blocks[2].size(), 2u);
}

TEST(ResultOrder, AgreesWithThePlainComparisonOnRandomSolutions) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::set<std::string> dict;
    const int n_words = 1 + static_cast<int>(rng() % 30);
    while (static_cast<int>(dict.size()) < n_words) dict.insert(test_util::random_word(rng, "abc", 5));
    const std::vector<std::string> words(dict.begin(), dict.end());
    std::set<std::vector<std::string>> distinct;
    const int n_solutions = static_cast<int>(rng() % 60);
    for (int i = 0; i < n_solutions; ++i) {
      std::vector<std::string> s;
      const int width = 1 + static_cast<int>(rng() % 4);
      for (int k = 0; k < width; ++k) s.push_back(words[rng() % words.size()]);
      std::sort(s.begin(), s.end());
      distinct.insert(s);
    }
    Solutions shuffled(distinct.begin(), distinct.end());
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    Solutions expected = shuffled;
    std::sort(expected.begin(), expected.end(), comes_before);
    ASSERT_EQ(test_util::to_vectors(sort_with_sorter(words, shuffled)), expected) << round;
  }
  // A finished sorter is empty and can be used again.
  SolutionSorter sorter({"a"});
  const uint32_t a = 0;
  sorter.add(&a, 1);
  EXPECT_EQ(sorter.finish().size(), 1u);
  EXPECT_EQ(sorter.size(), 0u);
}

}  // namespace
