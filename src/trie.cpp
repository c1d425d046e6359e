#include "trie.h"

#include <algorithm>

#include "char_utils.h"

Trie::Trie() : nodes_(1), free_blocks_(27) {}

void Trie::insert(std::string_view text) {
  const std::string word = normalize_word(text);
  if (word.empty()) return;
  const uint32_t len = static_cast<uint32_t>(std::min<size_t>(word.size(), kNoWordLen - 1));
  min_word_len_ = std::min(min_word_len_, len);
  max_word_len_ = std::max(max_word_len_, len);
  uint32_t current = kRoot;
  for (char ch : word) {
    const int letter = ch - 'a';
    current = nodes_[current].has_child(letter) ? nodes_[current].child(letter)
                                                : add_child(current, letter);
  }
  nodes_[current].letters |= TrieNode::kIsWordBit;
}

// Gives `parent` a child for `letter`: its block of children moves to a block
// one larger (a reused one when there is one), keeping letter order.
uint32_t Trie::add_child(uint32_t parent, int letter) {
  const uint32_t old_letters = nodes_[parent].child_letters();
  const uint32_t old_size = static_cast<uint32_t>(__builtin_popcount(old_letters));
  const uint32_t block = allocate_block(old_size + 1);  // may move nodes_
  TrieNode& node = nodes_[parent];
  const uint32_t before = static_cast<uint32_t>(__builtin_popcount(old_letters & ((1u << letter) - 1)));
  for (uint32_t i = 0; i < old_size; ++i) {
    nodes_[block + i + (i >= before ? 1 : 0)] = nodes_[node.children + i];
  }
  nodes_[block + before] = TrieNode{};
  if (old_size > 0) free_blocks_[old_size].push_back(node.children);
  node.children = block;
  node.letters |= 1u << letter;
  ++node_count_;
  return block + before;
}

uint32_t Trie::allocate_block(uint32_t size) {
  std::vector<uint32_t>& reusable = free_blocks_[size];
  if (!reusable.empty()) {
    const uint32_t block = reusable.back();
    reusable.pop_back();
    return block;
  }
  const uint32_t block = static_cast<uint32_t>(nodes_.size());
  nodes_.resize(nodes_.size() + size);
  return block;
}
