// File: dict/trie.h
//
// The dictionary: a prefix tree of normalised words (letters a..z only).
//
// The dictionary. Tested by tests/cpp/trie_test.cpp and
// fuzz/fuzz_dictionary.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

namespace anagram {

// One node of the tree. Children live in the owning Trie's node pool as one
// contiguous block in letter order, so a node costs 8 bytes, finding the
// child for a letter is one popcount, and walking the children allocates
// nothing.
struct TrieNode {
  uint32_t letters = 0;   // bit i: a child for letter 'a' + i exists; bit 31: is_word
  uint32_t children = 0;  // pool index of the first child, when any

  static constexpr uint32_t kIsWordBit = 1u << 31;
  static constexpr uint32_t kLetterMask = (1u << 26) - 1;

  bool is_word() const { return (letters & kIsWordBit) != 0; }
  uint32_t child_letters() const { return letters & kLetterMask; }
  bool has_child(int letter) const { return (letters >> letter) & 1u; }
  // Pool index of the child for `letter` (0..25); has_child(letter) must hold.
  uint32_t child(int letter) const {
    return children + static_cast<uint32_t>(__builtin_popcount(letters & ((1u << letter) - 1)));
  }
};

class Trie {
 public:
  static constexpr uint32_t kNoWordLen = std::numeric_limits<uint32_t>::max();
  static constexpr uint32_t kRoot = 0;

  Trie();

  // Normalises `text` and adds it; a text without ASCII letters adds nothing.
  void insert(std::string_view text);
  // Adds every line of `text` as one word, exactly as `insert` of each line
  // would (a line ends at LF; a CR before it is dropped by normalisation
  // anyway). Builds each node's block of children at its final size, so
  // loading a word list moves no blocks.
  void insert_lines(std::string_view text);

  const TrieNode& node(uint32_t index) const { return nodes_[index]; }
  const TrieNode& root() const { return nodes_[kRoot]; }
  uint32_t min_word_len() const { return min_word_len_; }
  uint32_t max_word_len() const { return max_word_len_; }
  // No word yet: the shortest length is unset (or 0).
  bool empty() const { return min_word_len_ == kNoWordLen || min_word_len_ == 0; }
  // The shortest word's length, 0 while there is none.
  uint32_t shortest_word() const { return min_word_len_ == kNoWordLen ? 0 : min_word_len_; }
  // Nodes in use, the root included (freed blocks are not counted).
  size_t node_count() const { return node_count_; }
  size_t pool_bytes() const { return nodes_.capacity() * sizeof(TrieNode); }

 private:
  struct WordBatch;

  void walk_and_mark(uint32_t node, const char* letters);
  uint32_t append_chain(uint32_t node, const char* letters);
  void merge_batch(WordBatch& batch);
  void build_sorted(const WordBatch& batch, uint32_t begin, uint32_t end, size_t prefixes);
  void merge(uint32_t node, const char** first, const char** last, uint32_t depth);
  void add_children(uint32_t parent, uint32_t letters);
  uint32_t allocate_block(uint32_t size);

  std::vector<TrieNode> nodes_;
  // free_blocks_[n]: pool indices of abandoned blocks of n nodes, for reuse.
  std::vector<std::vector<uint32_t>> free_blocks_;
  size_t node_count_ = 1;
  uint32_t min_word_len_ = kNoWordLen;
  uint32_t max_word_len_ = 0;
};

}  // namespace anagram
