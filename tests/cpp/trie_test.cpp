#include "dict/trie.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/solver.h"

using namespace anagram;

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

namespace {

// The reference: each line through `insert`, lines cut at LF with a CR
// before it dropped.
void insert_each_line(Trie& trie, std::string_view text) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    trie.insert(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

void expect_same_tree(const Trie& bulk, const Trie& reference, const std::string& what) {
  EXPECT_EQ(words_of(bulk), words_of(reference)) << what;
  EXPECT_EQ(bulk.min_word_len(), reference.min_word_len()) << what;
  EXPECT_EQ(bulk.max_word_len(), reference.max_word_len()) << what;
  EXPECT_EQ(bulk.node_count(), reference.node_count()) << what;
}

// Random lines: mostly lower-case words, some with bytes normalisation drops
// or folds (capitals, CR, NUL, blanks, UTF-8 of é, a lone 0xFF), some empty.
std::string random_text(std::mt19937& rng, size_t lines, int alphabet) {
  static const std::vector<std::string> kOdd = {"A", "Q", "\r", std::string(1, '\0'), " ", "'", "\xC3\xA9", "\xFF", "7"};
  std::string text;
  for (size_t i = 0; i < lines; ++i) {
    const size_t length = rng() % 9;
    const bool odd = rng() % 4 == 0;
    for (size_t k = 0; k < length; ++k) {
      if (odd && rng() % 3 == 0) {
        text += kOdd[rng() % kOdd.size()];
      } else {
        text += static_cast<char>('a' + rng() % alphabet);
      }
    }
    text += rng() % 5 == 0 ? "\r\n" : "\n";
  }
  if (rng() % 2 == 0 && !text.empty()) text.pop_back();  // no final line feed
  return text;
}

// Lower-case words, sorted and one per line: the shape of a word list.
std::string sorted_word_list(std::mt19937& rng, size_t count, int alphabet) {
  std::set<std::string> words;
  while (words.size() < count) {
    std::string w;
    for (size_t k = 1 + rng() % 10; k > 0; --k) w += static_cast<char>('a' + rng() % alphabet);
    words.insert(w);
  }
  std::string text;
  for (const std::string& w : words) text += w + "\n";
  return text;
}

TEST(InsertLines, MatchesInsertingEachLine) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 300; ++round) {
    const std::string text =
        round % 3 == 0 ? sorted_word_list(rng, 1 + rng() % 300, 2 + round % 25) : random_text(rng, rng() % 60, 2 + round % 25);
    const std::string before = random_text(rng, round % 2 == 0 ? 0 : rng() % 20, 3);
    const std::string after = random_text(rng, rng() % 10, 4);
    // Into an empty or a filled tree, then more words both ways.
    Trie bulk, reference;
    insert_each_line(bulk, before);
    insert_each_line(reference, before);
    bulk.insert_lines(text);
    insert_each_line(reference, text);
    expect_same_tree(bulk, reference, "round " + std::to_string(round));
    insert_each_line(bulk, after);
    insert_each_line(reference, after);
    bulk.insert_lines(before + text);
    insert_each_line(reference, before + text);
    expect_same_tree(bulk, reference, "round " + std::to_string(round) + ", added to");
  }
}

TEST(InsertLines, EdgeCases) {
  const std::string long_word(300, 'q');
  const std::vector<std::string> texts = {
      "",
      "\n\n\r\n",
      "cat\r",                             // CR at the very end stays in the line; normalisation drops it
      "ca\rt\ndog",                        // CR inside a line
      std::string("c\0at\n\0\n", 7),       // NUL bytes inside lines
      "\xEF\xBB\xBF" "cat\ncaf\xC3\xA9\n",  // byte order mark, non-ASCII letter
      "a\nab\nabc\nabd\nb\nb\nba\n",       // sorted, with prefixes and a duplicate
      "ba\nb\nabd\nabc\nab\na\n",          // the same, reversed
      "ice cream\nDon't\nX-RAY\n",
      long_word + "\n" + long_word + "x\nq\n",  // lines too long for the bulk path
      "zebra\napple\n" + long_word,
  };
  for (const std::string& text : texts) {
    Trie bulk, reference;
    bulk.insert_lines(text);
    insert_each_line(reference, text);
    expect_same_tree(bulk, reference, "text of " + std::to_string(text.size()) + " bytes");
  }
  Trie trie;
  trie.insert_lines("\n123\n\xE2\x80\x94\n");
  EXPECT_TRUE(words_of(trie).empty());
  EXPECT_EQ(trie.min_word_len(), 4294967295u);
  EXPECT_EQ(trie.max_word_len(), 0u);
}

TEST(InsertLines, WordListUsesNoMorePoolThanInsert) {
  // A sorted list gets every block at its final size: the pool holds just
  // the nodes, where word-by-word insertion leaves abandoned blocks behind.
  std::mt19937 rng(7);
  const std::string text = sorted_word_list(rng, 20000, 26);
  Trie bulk, reference;
  bulk.insert_lines(text);
  insert_each_line(reference, text);
  expect_same_tree(bulk, reference, "word list");
  EXPECT_EQ(bulk.pool_bytes(), bulk.node_count() * sizeof(TrieNode));
  EXPECT_LE(bulk.pool_bytes(), reference.pool_bytes());
}

TEST(InsertLines, TextLargerThanOneBatch) {
  // Past the batch size the rest merges into the tree the first part built.
  std::string text;
  while (text.size() < (size_t{17} << 20)) text += "abc\nabd\nAb\n";
  text += "zz\nab\r\nabcdefghijklmnopqrstuvwxyz\n";
  Trie trie;
  trie.insert_lines(text);
  EXPECT_EQ(words_of(trie), (std::set<std::string>{"ab", "abc", "abd", "abcdefghijklmnopqrstuvwxyz", "zz"}));
  EXPECT_EQ(trie.min_word_len(), 2u);
  EXPECT_EQ(trie.max_word_len(), 26u);
  Trie reference;
  insert_each_line(reference, "abc\nabd\nab\nzz\nabcdefghijklmnopqrstuvwxyz\n");
  EXPECT_EQ(trie.node_count(), reference.node_count());
}

}  // namespace
