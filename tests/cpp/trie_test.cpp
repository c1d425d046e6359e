#include "trie.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "solver.h"

namespace {

// Every word in the tree, by walking it.
void collect(const Trie& trie, uint32_t node, std::string& prefix, std::set<std::string>& out) {
  const TrieNode& n = trie.node(node);
  if (n.is_word()) out.insert(prefix);
  for (int letter = 0; letter < 26; ++letter) {
    if (!n.has_child(letter)) continue;
    prefix.push_back(static_cast<char>('a' + letter));
    collect(trie, n.child(letter), prefix, out);
    prefix.pop_back();
  }
}

std::set<std::string> words_of(const Trie& trie) {
  std::set<std::string> out;
  std::string prefix;
  collect(trie, Trie::kRoot, prefix, out);
  return out;
}

TEST(Trie, NewTreeIsEmpty) {
  Trie trie;
  EXPECT_TRUE(words_of(trie).empty());
  EXPECT_EQ(trie.min_word_len(), 4294967295u);
  EXPECT_EQ(trie.max_word_len(), 0u);
  EXPECT_FALSE(trie.root().is_word());
}

TEST(Trie, InsertNormalisesAndTracksLengths) {
  Trie trie;
  for (const char* text : {"", "123", "\u2014", "?!"}) trie.insert(text);
  EXPECT_TRUE(words_of(trie).empty());
  EXPECT_EQ(trie.min_word_len(), 4294967295u);
  EXPECT_EQ(trie.max_word_len(), 0u);
  trie.insert("Cat");
  trie.insert("cat");
  EXPECT_EQ(words_of(trie), (std::set<std::string>{"cat"}));
  EXPECT_EQ(trie.min_word_len(), 3u);
  EXPECT_EQ(trie.max_word_len(), 3u);
  trie.insert("café");
  trie.insert("Don't");
  trie.insert("a");
  trie.insert("hippopotamus");
  EXPECT_EQ(words_of(trie), (std::set<std::string>{"a", "caf", "cat", "dont", "hippopotamus"}));
  EXPECT_EQ(trie.min_word_len(), 1u);
  EXPECT_EQ(trie.max_word_len(), 12u);
}

TEST(Trie, PrefixWordsInEitherOrder) {
  Trie first, second;
  first.insert("cart");
  first.insert("car");
  second.insert("car");
  second.insert("cart");
  EXPECT_EQ(words_of(first), words_of(second));
  EXPECT_EQ(words_of(first), (std::set<std::string>{"car", "cart"}));
}

TEST(Trie, ManyWordsSurviveBlockMoves) {
  // Children blocks move as nodes gain children; every word must stay.
  Trie trie;
  std::set<std::string> expected;
  for (int i = 0; i < 5000; ++i) {
    std::string w;
    for (int x = i * 7919 + 13; w.size() < static_cast<size_t>(1 + i % 7); x /= 26) w += static_cast<char>('a' + (x % 26));
    trie.insert(w);
    expected.insert(w);
  }
  EXPECT_EQ(words_of(trie), expected);
}

TEST(LoadDictionary, LineRules) {
  AnagramSolver solver;
  solver.load_dictionary_from_text("cat\r\ndog\n\nbird");
  EXPECT_EQ(words_of(solver.trie), (std::set<std::string>{"bird", "cat", "dog"}));
  AnagramSolver blank;
  blank.load_dictionary_from_text("\n\n\n");
  EXPECT_TRUE(words_of(blank.trie).empty());
  AnagramSolver spaced;
  spaced.load_dictionary_from_text("\xEF\xBB\xBFice cream\nend\r");
  EXPECT_EQ(words_of(spaced.trie), (std::set<std::string>{"end", "icecream"}));
}

}  // namespace
