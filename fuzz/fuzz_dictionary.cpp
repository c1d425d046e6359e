// Dictionary loading on arbitrary text: the tree must hold exactly the
// normalised non-empty lines, with matching shortest and longest lengths,
// whether the text is loaded at once, line by line or in two halves.
#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "engine/solver.h"

using namespace anagram;

namespace {

// No tree can have more nodes than the root plus one per input letter.
size_t g_node_limit = 1;

// Splits like the loader should: LF ends a line, a CR right before it goes
// with it, no empty line after a final LF.
std::vector<std::string> reference_lines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    size_t stop = end;
    if (stop > start && text[stop - 1] == '\r') --stop;
    lines.emplace_back(text.substr(start, stop - start));
    start = end + 1;
  }
  return lines;
}

// Every word of the tree, by a walk from the root; also counts the nodes.
void collect(const Trie& trie, uint32_t index, std::string& prefix, std::set<std::string>& words, size_t& nodes) {
  ++nodes;
  FUZZ_CHECK(nodes <= g_node_limit);  // also guards against a cycle
  const TrieNode& node = trie.node(index);
  if (node.is_word()) {
    FUZZ_CHECK(!prefix.empty());
    words.insert(prefix);
  }
  FUZZ_CHECK(prefix.size() <= trie.max_word_len());
  for (int letter = 0; letter < 26; ++letter) {
    if (!node.has_child(letter)) continue;
    prefix.push_back(static_cast<char>('a' + letter));
    collect(trie, node.child(letter), prefix, words, nodes);
    prefix.pop_back();
  }
  // A node that ends no word must lead to one.
  FUZZ_CHECK(node.is_word() || node.child_letters() != 0 || index == Trie::kRoot);
}

std::set<std::string> words_of(const Trie& trie) {
  std::set<std::string> words;
  std::string prefix;
  size_t nodes = 0;
  collect(trie, Trie::kRoot, prefix, words, nodes);
  FUZZ_CHECK(nodes == trie.node_count());
  return words;
}

void check_lengths(const Trie& trie, const std::set<std::string>& words) {
  if (words.empty()) {
    FUZZ_CHECK(trie.min_word_len() == Trie::kNoWordLen && trie.max_word_len() == 0);
    return;
  }
  size_t lo = SIZE_MAX, hi = 0;
  for (const std::string& w : words) lo = std::min(lo, w.size()), hi = std::max(hi, w.size());
  FUZZ_CHECK(trie.min_word_len() == lo && trie.max_word_len() == hi);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  g_node_limit = 1 + size;

  std::set<std::string> expected;
  for (const std::string& line : reference_lines(text)) {
    std::string word;
    for (char ch : line) {
      if (fuzz::is_ascii_letter(ch)) word += fuzz::lower(ch);
    }
    if (!word.empty()) expected.insert(word);
  }

  AnagramSolver whole;
  whole.load_dictionary_from_text(text);
  const std::set<std::string> loaded = words_of(whole.trie);
  FUZZ_CHECK(loaded == expected);
  check_lengths(whole.trie, loaded);

  // The same words inserted one by one, in reverse order, give the same set.
  AnagramSolver single;
  const std::vector<std::string> lines = reference_lines(text);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) single.trie.insert(*it);
  FUZZ_CHECK(words_of(single.trie) == expected);
  FUZZ_CHECK(single.trie.node_count() == whole.trie.node_count());

  // Loading adds: the text cut at a line end and loaded in two calls, then
  // loaded again in full, changes nothing.
  const size_t cut = text.find('\n', text.size() / 2);
  if (cut != std::string_view::npos) {
    AnagramSolver halves;
    halves.load_dictionary_from_text(text.substr(0, cut + 1));
    halves.load_dictionary_from_text(text.substr(cut + 1));
    halves.load_dictionary_from_text(text);
    FUZZ_CHECK(words_of(halves.trie) == expected);
    check_lengths(halves.trie, expected);
  }
  return 0;
}
