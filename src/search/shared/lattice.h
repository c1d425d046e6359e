// File: search/shared/lattice.h
//
// Tables over the lattice of sub-multisets of a phrase's letters: the
// letters packed into one 128-bit number that also numbers the sub-multiset
// (its state), the candidates grouped by their letters, the index of class
// pairs by state, and the completion bound (which partial solutions can
// still be completed, and with which smallest word). Kept by the ordered
// search; shared so that any search over the lattice can use them. Tested by
// tests/cpp/search_ordered_test.cpp.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "text/char_utils.h"
#include "request/stop.h"
#include "search/shared/packed.h"

namespace anagram {


// Each letter of the phrase gets one field of count bits plus a guard bit
// above them, in letter order (fits_packed in packed.h). The same counts also number the sub-multisets of the phrase's
// letters (mixed radix, letter by letter), which index the memo.
struct PackedLayout {
  bool ok = false;  // false: the fields need more than 128 bits
  int fields = 0;
  std::array<int, 26> letter_of_field{};
  std::array<int, 26> offset{};
  std::array<uint32_t, 26> cap{};     // the phrase's count of the letter
  std::array<uint64_t, 26> stride{};  // of the letter in a state number
  std::array<u128, 26> count_bits{};  // the field's bits below its guard
  uint64_t states = 0;                // 0: more than 64 bits can number
  u128 guard = 0;
};

PackedLayout make_lattice_layout(const CharCounts& phrase);
// The same with the fields in `letters` order (every letter of the phrase
// once): field 0 in the lowest bits and the smallest stride.
PackedLayout make_lattice_layout(const CharCounts& phrase, const std::vector<int>& letters);
// `counts` must fit in the phrase.
u128 pack(const CharCounts& counts, const PackedLayout& layout);
uint64_t state_index(const CharCounts& counts, const PackedLayout& layout);
uint32_t letter_count(u128 packed, int letter, const PackedLayout& layout);

inline bool fits(u128 remaining, u128 word, u128 guard) { return fits_packed(remaining, word, guard); }

// Candidates with the same letters. Their numbers, ascending, are
// `members[first..end)`.
struct OrderedClass {
  u128 packed;
  uint64_t index;  // state number of the class's letters
  uint32_t len;
  uint32_t first, end;
  uint32_t max_word;
};

struct ClassTable {
  std::vector<OrderedClass> classes;
  std::vector<uint32_t> members;
  std::vector<uint32_t> class_of_word;
  std::vector<uint32_t> slots;  // open addressing by letters: class + 1, 0 empty

  static constexpr uint32_t kNone = UINT32_MAX;
  uint32_t find(u128 packed) const;
  size_t bytes() const;
};

ClassTable make_class_table(const std::vector<u128>& packed_words, const std::vector<uint64_t>& word_index,
                            const std::vector<uint32_t>& word_len);

// Every pair of classes whose letters together fit in the phrase, by the
// state number of their sum: pairs[start[s]..start[s + 1]).
struct PairIndex {
  std::vector<uint32_t> start;
  std::vector<std::array<uint32_t, 2>> pairs;

  size_t bytes() const {
    return start.capacity() * sizeof(uint32_t) + pairs.capacity() * sizeof(std::array<uint32_t, 2>);
  }
};

// Empty when it would take more than `max_bytes`.
PairIndex make_pair_index(const ClassTable& table, const PackedLayout& layout, u128 phrase, size_t max_bytes);

// The regular stop checks of a long table build or walk: the watch of the
// call in progress (none between calls), and the first reason to stop,
// which sticks.
struct StopCheck {
  StopWatch* watch = nullptr;
  SearchStatus reason = SearchStatus::kRunning;

  // Asks the watch (the clock and the poll); true once it says stop.
  bool stopped();
};

// For the words of at least `min_len` letters: per state, number of words
// left (2..max_left) and whether a word of exactly `min_len` letters is still
// needed, the largest smallest word number that any completion can have, plus
// one; 0 when there is no completion. A next word w is worth entering when
// the state after it holds a value above w.
struct CompletionMemo {
  uint32_t min_len = 0;
  uint32_t max_left = 0;
  uint64_t states = 0;
  std::vector<uint32_t> best;

  uint32_t get(uint64_t index, uint32_t left, bool need_shortest) const {
    return best[((left - 2) * 2 + (need_shortest ? 1 : 0)) * states + index];
  }
  size_t bytes() const { return best.capacity() * sizeof(uint32_t); }
};

// State updates `build_memo` makes for `min_len`: the states holding each
// class, summed. Saturates at about 2^62.
uint64_t memo_build_steps(const ClassTable& table, const PackedLayout& layout, uint32_t min_len);

// The memo for two words left only, from every pair of classes that fits in
// the phrase: quick when the lattice is too big for `build_memo`.
bool build_pair_memo(CompletionMemo& memo, const ClassTable& table, const PackedLayout& layout, u128 phrase,
                     uint32_t min_len, StopCheck& stop);

// `states` times `per_state`, or SIZE_MAX when that does not fit.
size_t state_table_bytes(uint64_t states, size_t per_state);
// Bytes a memo of `max_left` takes while it is built (its scratch included).
size_t memo_build_bytes(uint64_t states, uint32_t max_left);

// Fills the memo by adding classes in descending word order to a knapsack
// over all states: the class at which a state first becomes reachable with
// j words gives its value. False when `stop` ended it (the memo is then
// unusable).
bool build_memo(CompletionMemo& memo, const ClassTable& table, const PackedLayout& layout, uint32_t min_len,
                uint32_t max_left, StopCheck& stop);

// The values of a CompletionMemo (largest smallest word of a completion,
// plus one; 0 for none), for any shortest length and word count, computed
// only for the states the walk asks about and kept in a bounded cache. A
// value comes from the classes holding the state's rarest letter, as every
// completion uses one of them: the rest is a completion with one word fewer.
// An evicted value is computed again, so the cache stays within its limit
// on any lattice, at the price of time only.
struct CompletionCache {
  struct Entry {
    uint64_t index;
    uint32_t tag;  // shortest length, words left, need_shortest; 0 empty
    uint32_t value;
  };
  static constexpr size_t kWays = 4;
  struct alignas(64) Bucket {  // one cache line
    Entry ways[4];
  };
  static constexpr size_t kMinBytes = 4096;
  static constexpr uint32_t kMaxWords = 127;
  static constexpr uint32_t kMaxLength = (1u << 23) - 1;

  const ClassTable* table = nullptr;
  const PackedLayout* layout = nullptr;
  const PairIndex* pairs = nullptr;                       // may be empty
  const std::vector<uint32_t>* class_of_state = nullptr;  // may be empty
  StopCheck* stop = nullptr;
  uint32_t max_len = 0;
  // Per field: the classes holding its letter, largest word first, copied
  // so that a scan reads them in a row; the fields by how few classes hold
  // them.
  struct Held {
    u128 packed;
    uint64_t index;
    uint32_t len, max_word;
  };
  std::vector<std::vector<Held>> holding;
  // The same classes' letters alone, where they fit in 64 bits; else empty.
  std::vector<std::vector<uint64_t>> holding_low;
  std::vector<int> rarest_first;
  // One bit per hash of a class's letters: most letters left are no word,
  // and this says so from a table small enough to stay in the caches,
  // where the class table's lookup takes two misses.
  std::vector<uint64_t> class_filter;
  std::vector<Bucket> buckets;
  // The values for two and three words, asked for most (three once per
  // next word above the last three words, two by every value for three), in
  // plain tables by (state, need_shortest) where the room holds them: no
  // eviction there. kUnknown: not yet computed.
  static constexpr uint32_t kUnknown = UINT32_MAX;
  struct Plain {
    std::vector<uint32_t> values;
    uint32_t min_len = 0;  // the shortest length they are for
    // Slots set since the last reset while few, so that a reset clears only
    // them; `overflow` once too many to list.
    std::vector<uint64_t> touched;
    bool overflow = false;
    size_t bytes() const { return values.capacity() * sizeof(uint32_t) + touched.capacity() * sizeof(uint64_t); }
  };
  std::array<Plain, 2> plain;  // for two words, three words
  size_t live = 0;
  size_t limit = 0;        // most bytes the entries may take
  size_t others = 0;       // bytes of the other capped tables, for the peak
  size_t* peak = nullptr;  // the engine's peak of all capped tables
  uint32_t polls = 0;

  void init(const ClassTable& t, const PackedLayout& l, const PairIndex& p, const std::vector<uint32_t>& by_state,
            uint32_t longest, StopCheck& s, size_t* peak_bytes);
  // Sets the bytes the cache may take, dropping its entries above them.
  void set_limit(size_t max_bytes, size_t other_bytes);
  bool usable(uint32_t min_len, uint32_t words) const {
    return limit >= kMinBytes && min_len <= kMaxLength && words <= kMaxWords;
  }
  // The value for `words` (at least 1) words of at least `min_len` letters
  // spelling `remaining` (`letters` letters, state number `index`). 0 when
  // `stop` ended it, which the caller must check.
  uint32_t get(u128 remaining, uint64_t index, uint32_t letters, uint32_t min_len, uint32_t words,
               bool need_shortest);
  // Whether any such completion exists: the same walk, which ends at the
  // first completion found instead of seeking the best, so cheap where
  // completions abound. Kept apart from the values. False too when `stop`
  // ended it, which the caller must check.
  bool exists(u128 remaining, uint64_t index, uint32_t letters, uint32_t min_len, uint32_t words,
              bool need_shortest);
  // exists() computing at most `max_computed` values: nullopt where that
  // was not enough to tell (what it did compute stays cached).
  std::optional<bool> exists_within(u128 remaining, uint64_t index, uint32_t letters, uint32_t min_len,
                                    uint32_t words, bool need_shortest, uint64_t max_computed);
  size_t bytes() const {
    return buckets.capacity() * sizeof(Bucket) + plain[0].bytes() + plain[1].bytes();
  }
  // Starts loading the slot of a value `get` will soon be asked for.
  void prefetch(uint64_t index, uint32_t min_len, uint32_t words, bool need_shortest) const;

 private:
  // The value, or with `any` some value above 0 where there is one.
  uint32_t value(u128 remaining, uint64_t index, uint32_t letters, uint32_t min_len, uint32_t words,
                 bool need_shortest, bool any);
  uint32_t compute(u128 remaining, uint64_t index, uint32_t letters, uint32_t min_len, uint32_t words,
                   bool need_shortest, bool any);
  bool halted() const { return stop->reason != SearchStatus::kRunning || out_of_budget; }

  std::optional<uint64_t> budget;  // values exists_within may still compute
  bool out_of_budget = false;
  uint32_t last_word(u128 remaining, uint64_t index, uint32_t min_len, bool need_shortest) const;
  uint32_t last_pair(uint64_t index, uint32_t min_len, bool need_shortest) const;
  void store(uint64_t index, uint32_t tag, uint32_t value);
  void resize(size_t count);
  uint32_t* plain_slot(uint64_t index, uint32_t min_len, uint32_t words, bool need_shortest);
};

}  // namespace anagram
