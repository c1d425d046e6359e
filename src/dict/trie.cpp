// File: dict/trie.cpp
//
// The prefix tree of normalised words and its bulk loading (dict/trie.h).
// The dictionary. Tested by tests/cpp/trie_test.cpp and
// fuzz/fuzz_dictionary.cpp.
#include "dict/trie.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "text/char_utils.h"

namespace anagram {

namespace {

// Per byte: the lower-case form of an ASCII letter, 0 for any other byte.
constexpr std::array<char, 256> make_lower_table() {
  std::array<char, 256> table{};
  for (int c = 'a'; c <= 'z'; ++c) table[c] = static_cast<char>(c);
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = static_cast<char>(c - 'A' + 'a');
  return table;
}
constexpr std::array<char, 256> kLowerLetter = make_lower_table();

bool is_letter(char ch) { return static_cast<unsigned char>(ch - 'a') < 26; }
// Radix bucket of a byte of a normalised word: 1 + letter, 0 for its end.
uint32_t bucket_of(char ch) { return is_letter(ch) ? static_cast<uint32_t>(ch - 'a' + 1) : 0; }

// Longer lines go through `insert`: the bulk build keeps one record per
// letter of the current word, and real words are far shorter.
constexpr size_t kMaxBulkLine = 255;
// Sorted runs shorter than this are walked in word by word: merging them
// costs more than it saves.
constexpr uint32_t kShortRun = 8;
// Bytes of text per batch, so that scratch stays bounded.
constexpr size_t kBatchBytes = size_t{16} << 20;

// Eight bytes at a time: normalising a word list is mostly checking lines
// that are lower case already.
constexpr uint64_t kHighBits = 0x8080808080808080ull;
constexpr uint64_t kOnes = 0x0101010101010101ull;

// Eight bytes, the first in the lowest bits whatever the machine's byte order.
uint64_t load8(const char* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  return x;
}
void store8(char* p, uint64_t x) { std::memcpy(p, &x, 8); }  // byte order kept

// High bit of each byte of `x` that is not 'a'..'z'.
uint64_t non_lower_bytes(uint64_t x) {
  const uint64_t at_least_a = (x | kHighBits) - 'a' * kOnes;  // per byte: high bit iff low 7 bits >= 'a'
  const uint64_t above_z = (x | kHighBits) - ('z' + 1) * kOnes;
  return (at_least_a & ~above_z & ~x & kHighBits) ^ kHighBits;
}

// Whether the `n` bytes at `p` are all a..z; reads them eight at a time, up
// to seven bytes past the end.
bool all_lower(const char* p, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    if (non_lower_bytes(load8(p + i)) != 0) return false;
  }
  if (i == n) return true;
  const uint64_t inside = ~uint64_t{0} >> (64 - 8 * (n - i));
  return (non_lower_bytes(load8(p + i)) & inside) == 0;
}

uint32_t popcount(uint32_t bits) { return static_cast<uint32_t>(__builtin_popcount(bits)); }

uint32_t clamp_len(size_t len) { return static_cast<uint32_t>(std::min<size_t>(len, Trie::kNoWordLen - 1)); }

}  // namespace

// The normalised words of a run of lines. A line that is all a..z already
// stays where it is in the text, ended by its line feed; others are
// normalised into `scratch`, each ended by zero bytes. A word is a pointer to
// its first letter and ends at its first byte that is not a letter. Also
// cuts the words into sorted runs and notes, for each word, the letters it
// shares with the word before in its run: enough to build a tree from one
// run in one pass and to merge the others without sorting.
struct Trie::WordBatch {
  // Eight end bytes after each normalised word, for the eight-byte compare.
  static constexpr size_t kEndBytes = 8;

  explicit WordBatch(size_t text_bytes)
      : scratch(new char[text_bytes + 1 + kEndBytes]), capacity(text_bytes + 1) {
    // A word takes a letter and a line end; pages are touched only when used.
    words.reserve(text_bytes / 2 + 1);
    shared.reserve(text_bytes / 2 + 1);
  }

  bool fits(size_t line_bytes) const { return used + line_bytes <= capacity; }

  // Adds the normalised `line` (at most kMaxBulkLine bytes, of which the
  // text holds at least `readable` from its start); returns its length (0:
  // no word, nothing kept).
  uint32_t add(std::string_view line, size_t readable) {
    const char* word = line.data();
    size_t length = line.size();
    // In place needs the line feed after it and eight bytes of reading room.
    if (length == 0 || readable < length + 8 || !all_lower(word, length)) {
      char* out = scratch.get() + used;
      length = filter(line, out);
      if (length == 0) return 0;
      store8(out + length, 0);
      used += length + 1;
      word = out;
    }
    size_t common = 0;
    if (!words.empty()) {
      const char* before = words.back();
      for (;; common += 8) {
        const uint64_t mine = load8(word + common);
        const uint64_t stop = (load8(before + common) ^ mine) | non_lower_bytes(mine);
        if (stop != 0) {
          common += static_cast<size_t>(std::countr_zero(stop)) / 8;
          break;
        }
      }
      // In order: the earlier word is a prefix of this one or smaller at the first difference.
      if (bucket_of(before[common]) > bucket_of(word[common])) {  // this word starts a new run
        runs.push_back(Run{runs.back().end, runs.back().end, 0});
        common = 0;
      }
    }
    runs.back().prefixes += length - common;
    words.push_back(word);
    runs.back().end = static_cast<uint32_t>(words.size());
    shared.push_back(static_cast<uint8_t>(common));
    return static_cast<uint32_t>(length);
  }

  // Keeps the ASCII letters of `line`, lower-cased, in `out`; returns how many.
  static size_t filter(std::string_view line, char* out) {
    size_t length = 0;
    for (char ch : line) {  // branch-free: write always, advance on letters
      const char letter = kLowerLetter[static_cast<unsigned char>(ch)];
      out[length] = letter;
      length += letter != 0;
    }
    return length;
  }

  std::unique_ptr<char[]> scratch;  // uninitialised: only the used part is touched
  size_t capacity;
  size_t used = 0;
  std::vector<const char*> words;
  struct Run {
    uint32_t begin, end;  // word indices
    size_t prefixes;      // distinct non-empty prefixes of its words
  };
  std::vector<uint8_t> shared;  // letters each word shares with the one before in its run
  std::vector<Run> runs{Run{0, 0, 0}};
};

Trie::Trie() : nodes_(1), free_blocks_(27) {}

void Trie::insert(std::string_view text) {
  const std::string word = normalize_word(text);
  if (word.empty()) return;
  const uint32_t len = clamp_len(word.size());
  min_word_len_ = std::min(min_word_len_, len);
  max_word_len_ = std::max(max_word_len_, len);
  walk_and_mark(kRoot, word.c_str());
}

// Follows `letters` (a..z, ended by any other byte) down from `node`,
// creating what is missing, and marks the node reached as a word.
void Trie::walk_and_mark(uint32_t node, const char* letters) {
  while (is_letter(*letters) && nodes_[node].has_child(*letters - 'a')) node = nodes_[node].child(*letters++ - 'a');
  if (is_letter(*letters) && nodes_[node].child_letters() != 0) {
    const int letter = *letters++ - 'a';
    add_children(node, 1u << letter);
    node = nodes_[node].child(letter);
  }
  node = append_chain(node, letters);
  nodes_[node].letters |= TrieNode::kIsWordBit;
}

// Hangs `letters` below the childless `node` as one new run of nodes, each
// the only child of the one before; returns the last.
uint32_t Trie::append_chain(uint32_t node, const char* letters) {
  size_t count = 0;
  while (is_letter(letters[count])) ++count;
  if (count == 0) return node;
  const auto first = static_cast<uint32_t>(nodes_.size());
  nodes_.resize(nodes_.size() + count);
  for (size_t i = 0; i < count; ++i) {
    nodes_[node].letters |= 1u << (letters[i] - 'a');
    nodes_[node].children = first + static_cast<uint32_t>(i);
    node = first + static_cast<uint32_t>(i);
  }
  node_count_ += count;
  return node;
}

void Trie::insert_lines(std::string_view text) {
  auto batch = std::make_unique<WordBatch>(std::min(text.size(), kBatchBytes));
  std::vector<std::string_view> long_lines;  // added last, so that a first batch finds the tree empty
  const char* pos = text.data();
  const char* const end = pos + text.size();
  while (pos < end) {
    const auto* newline = static_cast<const char*>(std::memchr(pos, '\n', static_cast<size_t>(end - pos)));
    const char* line_end = newline != nullptr ? newline : end;
    const std::string_view line(pos, static_cast<size_t>(line_end - pos));
    pos = newline != nullptr ? newline + 1 : end;
    if (line.size() > kMaxBulkLine) {
      long_lines.push_back(line);
      continue;
    }
    if (!batch->fits(line.size() + 1)) {
      merge_batch(*batch);
      batch = std::make_unique<WordBatch>(std::min(static_cast<size_t>(end - line.data()), kBatchBytes));
    }
    if (const uint32_t len = batch->add(line, static_cast<size_t>(end - line.data()))) {
      min_word_len_ = std::min(min_word_len_, len);
      max_word_len_ = std::max(max_word_len_, len);
    }
  }
  merge_batch(*batch);
  for (std::string_view line : long_lines) insert(line);
}

// A word list is sorted, or nearly (a locale's order, where normalisation
// moves some words): into an empty tree its longest sorted run gets the
// one-pass build, and the other runs merge in. Unsorted text ends up merged
// a few words at a time, about as fast as inserting them one by one.
void Trie::merge_batch(WordBatch& batch) {
  if (batch.words.empty()) return;
  const auto longest = std::max_element(batch.runs.begin(), batch.runs.end(), [](const auto& a, const auto& b) {
    return a.end - a.begin < b.end - b.begin;
  });
  const WordBatch::Run* built = nullptr;
  if (root().child_letters() == 0) {
    built = &*longest;
    build_sorted(batch, built->begin, built->end, built->prefixes);
  }
  const char** const words = batch.words.data();
  for (const WordBatch::Run& run : batch.runs) {
    if (&run == built) continue;
    if (run.end - run.begin < kShortRun) {
      for (uint32_t i = run.begin; i < run.end; ++i) walk_and_mark(kRoot, words[i]);
    } else {
      merge(kRoot, words + run.begin, words + run.end, 0);
    }
  }
}

// Builds the tree of the batch's words [begin, end), a sorted run with
// `prefixes` distinct non-empty prefixes, below the empty root in one pass. The
// nodes on the path of the current word stay open; a node closes when the
// words move past its prefix, and all its children, closed before it, are
// then known: they get their block at its final size. Closed children wait
// on one stack, a node's above those of its ancestors.
void Trie::build_sorted(const WordBatch& batch, uint32_t begin, uint32_t end, size_t prefixes) {
  struct Open {
    uint32_t first_child;  // stack index of its first closed child
    uint32_t letters;      // TrieNode::letters so far
    uint32_t letter;       // its own letter
  };
  std::array<Open, kMaxBulkLine + 1> path;
  path[0] = Open{0, 0, 0};
  std::vector<TrieNode> stack(26 * (kMaxBulkLine + 1));  // at most 26 children per open node
  uint32_t top = 0;
  size_t next = nodes_.size();
  nodes_.resize(next + prefixes);
  node_count_ += prefixes;
  TrieNode* const pool = nodes_.data();
  // Gives the open node at `depth` its block; returns the node.
  auto close = [&](size_t depth) {
    const Open& open = path[depth];
    const auto block = static_cast<uint32_t>(top > open.first_child ? next : 0);
    for (uint32_t i = open.first_child; i < top; ++i) pool[next++] = stack[i];
    top = open.first_child;
    return TrieNode{open.letters, block};
  };
  size_t depth = 0;
  for (size_t i = begin; i < end; ++i) {
    for (const size_t common = batch.shared[i]; depth > common; --depth) {
      stack[top++] = close(depth);
      path[depth - 1].letters |= 1u << path[depth].letter;
    }
    const char* word = batch.words[i];
    for (; is_letter(word[depth]); ++depth) {
      path[depth + 1] = Open{top, 0, static_cast<uint32_t>(word[depth] - 'a')};
    }
    path[depth].letters |= TrieNode::kIsWordBit;
  }
  for (; depth > 0; --depth) {
    stack[top++] = close(depth);
    path[depth - 1].letters |= 1u << path[depth].letter;
  }
  pool[kRoot] = close(0);
}

// Adds the sorted words [first, last), which all share the prefix of `node`
// (of `depth` letters), below `node`: gives the node all new children at
// once and goes down the group of words of each next letter.
void Trie::merge(uint32_t node, const char** first, const char** last, uint32_t depth) {
  // end[b]: one past the last word of bucket b, for the buckets present.
  // Sorted, a bucket's words are together, so plain stores find the groups
  // (no histogram, whose increments would chain through memory).
  std::array<uint32_t, 27> end;
  uint32_t buckets = 0;  // bit b: some word falls in bucket b
  const auto size = static_cast<uint32_t>(last - first);
  for (uint32_t i = 0; i < size; ++i) {
    const uint32_t bucket = bucket_of(first[i][depth]);
    end[bucket] = i + 1;
    buckets |= 1u << bucket;
  }
  uint32_t begin = 0;
  if ((buckets & 1u) != 0) {
    nodes_[node].letters |= TrieNode::kIsWordBit;
    begin = end[0];
  }
  const uint32_t letters = buckets >> 1;
  add_children(node, letters);
  // Children sit in letter order, so the k-th one is at `children + k`.
  uint32_t child = nodes_[node].children;
  for (uint32_t rest = nodes_[node].child_letters(); rest != 0; rest &= rest - 1, ++child) {
    const int letter = std::countr_zero(rest);
    if ((letters >> letter & 1u) == 0) continue;
    const uint32_t group_end = end[letter + 1];
    if (group_end - begin == 1) {
      walk_and_mark(child, first[begin] + depth + 1);
    } else {
      merge(child, first + begin, first + group_end, depth + 1);
    }
    begin = group_end;
  }
}

// Gives `parent` a child for every letter in `letters` that it lacks: its
// block of children moves to a block of the final size (a reused one when
// there is one), keeping letter order.
void Trie::add_children(uint32_t parent, uint32_t letters) {
  const uint32_t old_letters = nodes_[parent].child_letters();
  const uint32_t added = letters & ~old_letters;
  if (added == 0) return;
  const uint32_t all = old_letters | added;
  const uint32_t block = allocate_block(popcount(all));  // may move nodes_
  uint32_t old_child = nodes_[parent].children;
  uint32_t slot = block;
  for (uint32_t rest = all; rest != 0; rest &= rest - 1, ++slot) {
    const uint32_t bit = rest & (~rest + 1);
    nodes_[slot] = (old_letters & bit) != 0 ? nodes_[old_child++] : TrieNode{};
  }
  if (old_letters != 0) free_blocks_[popcount(old_letters)].push_back(nodes_[parent].children);
  nodes_[parent].children = block;
  nodes_[parent].letters |= added;
  node_count_ += popcount(added);
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

}  // namespace anagram
