// File: search/count/reach_count.cpp
//
// The count over reachable states (reach_count.h), search part. Tested by
// tests/cpp/search_count_test.cpp and the differential tests.
//
// A state is the rest of the phrase still to spell, packed one field per
// letter with a guard bit above each (so "fits" is one subtraction), field 0
// the letter the fewest classes hold. A state waits in the table of its
// lowest non-zero field; the tables are taken in field order, and a state of
// field k spends all of its letter k on classes of group k (those whose first
// field is k) in each possible way, with C(w+m-1, m) word choices for m uses
// of a class of w words. Its value, the number of ways to reach it (per
// number of words used, under a word limit), flows into the state left.
//
// The last few fields (the commonest letters) are each state's tail: a dense
// table of its own, indexed by the tail letters used, that a flow shifts
// into the target's as a whole (ReachPlan). Flows are sorted by target so
// that a target's tail is added to while in cache.
//
// A group's classes are found through an index on the letters they hold
// (GroupIndex), so a state tries about twice as many classes as fit it, not
// the whole group; a flow into a state waits a moment in a short buffer
// while that state's slot is loaded (the tables are far larger than cache).
// Before each field the count weighs expanding it against counting the
// fields from it on as one dense table, and takes the dense table once that
// is the cheaper.
//
// Exactness as in the dense table: a first pass in 64 bits with carry
// detection; past that a pass in floating point bounds the count and passes
// modulo large primes rebuild it.
//
// Threads: without tails, each thread expands a share of the waiting states
// into tables of its own (split into shards by hash); before a field's
// states are expanded, its tables of every thread are merged shard by
// shard. With tails, every thread walks every waiting state but adds only
// the flows into the states it owns (by hash), so no tail is held twice.
// Sums are exact (modular), so the count does not depend on how the work
// was split.
#include "search/count/reach_count.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <new>
#include <utility>
#include <span>
#include <type_traits>
#include <vector>

#include "search/count/box_runs.h"
#include "search/count/exact_cells.h"
#include "search/shared/threads.h"

namespace anagram {

namespace {

using internal::FloatArith;
using internal::ModArith;
using internal::WrapArith;

constexpr size_t kSlotsPerItem = 2048;  // waiting states (slots) one work item scans
constexpr int kShardBits = 6;           // shards per table when threads share the work
constexpr int kIndexFields = 12;                    // letters a group's index may key on
constexpr size_t kMaxIndexEntries = size_t{1} << 20;  // positions one group's index may hold
constexpr uint64_t kTryOverCell = 2;
constexpr uint64_t kCellsPerTry = 32;      // tail cells a flow adds for the work of one class fit tried
constexpr uint64_t kTailCellsMoved = 8;    // of a state's tail cells, the share a flow moves: 1/8 (measured)
constexpr uint32_t kSortedFlowCells = 16;  // a state of this many cells takes its flows sorted
constexpr uint64_t kMaskBlock = 64;        // most cells of a masked block
constexpr size_t kIndexedGroup = 16;  // smaller groups are simply scanned

uint64_t mix(uint64_t x) {
  x ^= x >> 31;
  x *= 0x9E3779B97F4A7C15ull;
  x ^= x >> 29;
  x *= 0xBF58476D1CE4E5B9ull;
  return x ^ (x >> 32);
}
uint64_t hash_of(uint64_t key) { return mix(key); }
uint64_t hash_of(u128 key) {
  return mix(static_cast<uint64_t>(key) ^ mix(static_cast<uint64_t>(key >> 64) + 0x632BE59BD9B4E019ull));
}

// Freed blocks of cells, kept for the next tables of a count: giving a
// large block back to the system, or taking fresh zero pages from it, makes
// the kernel interrupt every other core of the process to flush its address
// cache (a fifth of a count on two threads, measured). Shared by a count's
// threads; holds at most `cap` bytes.
template <typename Cell>
class BlockCache {
 public:
  explicit BlockCache(size_t cap) : cap_(cap) {}
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;
  ~BlockCache() {
    for (auto& [cells, blocks] : free_) {
      for (Cell* block : blocks) std::free(block);
    }
  }

  // A zeroed block of `cells` cells.
  Cell* take(size_t cells) {
    Cell* block = nullptr;
    {
      std::lock_guard<std::mutex> hold(lock_);
      auto it = free_.find(cells);
      if (it != free_.end() && !it->second.empty()) {
        block = it->second.back();
        it->second.pop_back();
        held_ -= cells * sizeof(Cell);
      }
    }
    // Zeroed by writing, not by calloc: a page of calloc's first read and
    // then written costs the same flush of every core's address cache.
    if (block == nullptr) block = static_cast<Cell*>(std::malloc(cells * sizeof(Cell)));
    if (block == nullptr) throw std::bad_alloc();
    std::fill_n(block, cells, Cell{0});
    return block;
  }

  void give(Cell* block, size_t cells) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (held_ + cells * sizeof(Cell) <= cap_) {
        free_[cells].push_back(block);
        held_ += cells * sizeof(Cell);
        return;
      }
    }
    std::free(block);
  }

  size_t bytes() const {
    std::lock_guard<std::mutex> hold(lock_);
    return held_;
  }

 private:
  mutable std::mutex lock_;
  std::map<size_t, std::vector<Cell*>> free_;  // by cells
  size_t held_ = 0;
  size_t cap_;
};

// Cells of many states, in blocks of 2^k states for k = 0, 1, 2, ... so
// that growing never moves them. Blocks come from and go back to a
// BlockCache.
template <typename Cell>
class CellPool {
 public:
  CellPool() = default;
  CellPool(const CellPool&) = delete;
  CellPool& operator=(const CellPool&) = delete;
  CellPool(CellPool&& other) noexcept { *this = std::move(other); }
  CellPool& operator=(CellPool&& other) noexcept {
    clear();
    blocks_ = std::move(other.blocks_);
    other.blocks_.clear();
    states_ = std::exchange(other.states_, 0);
    width_ = other.width_;
    cache_ = other.cache_;
    return *this;
  }
  ~CellPool() { clear(); }

  void set_width(uint32_t width, BlockCache<Cell>* cache) {
    width_ = width;
    cache_ = cache;
  }
  size_t bytes() const { return ((size_t{1} << blocks_.size()) - 1) * width_ * sizeof(Cell); }
  Cell* cells(size_t state) {
    const int block = 63 - __builtin_clzll(state + 1);
    return blocks_[block] + (state + 1 - (size_t{1} << block)) * width_;
  }
  const Cell* cells(size_t state) const { return const_cast<CellPool*>(this)->cells(state); }
  // A new state's zeroed cells; its number is size() before the call.
  size_t add() {
    if (std::has_single_bit(states_ + 1)) blocks_.push_back(cache_->take((states_ + 1) * width_));
    return states_++;
  }
  void clear() {
    for (size_t b = 0; b < blocks_.size(); ++b) cache_->give(blocks_[b], (size_t{1} << b) * width_);
    blocks_.clear();
    states_ = 0;
  }

 private:
  std::vector<Cell*> blocks_;  // block b holds 2^b states
  size_t states_ = 0;
  uint32_t width_ = 1;
  BlockCache<Cell>* cache_ = nullptr;
};

// An open-addressing table from state to its cells: beside the key, or in
// a pool (CellPool) when the states hold tails.
template <typename Word, typename Cell>
class StateTable {
 public:
  static constexpr Word kEmpty = ~Word{0};  // never a state: guard bits are set
  static constexpr uint32_t kPooledWidth = 16;

  size_t size() const { return used_; }
  size_t capacity() const { return keys_.size(); }
  size_t bytes() const {
    if (pooled()) return keys_.size() * (sizeof(Word) + sizeof(uint32_t)) + pool_.bytes();
    return keys_.size() * (sizeof(Word) + width_ * sizeof(Cell));
  }
  bool used(size_t slot) const { return keys_[slot] != kEmpty; }
  Word key(size_t slot) const { return keys_[slot]; }
  const Cell* cells(size_t slot) const { return pooled() ? pool_.cells(index_[slot]) : &cells_[slot * width_]; }

  void set_width(uint32_t width, BlockCache<Cell>* cache) {
    width_ = width;
    pool_.set_width(width, cache);
  }

  void prefetch(uint64_t hash) const {
    if (keys_.empty()) return;
    const size_t slot = hash & mask_;
    __builtin_prefetch(&keys_[slot], 1);
    if (!pooled()) __builtin_prefetch(&cells_[slot * width_], 1);
  }

  // The cells of `key`, zeroed when it is new.
  Cell* at(Word key, uint64_t hash) {
    if ((used_ + 1) * 4 > keys_.size() * 3) grow();
    const size_t slot = place(key, hash);
    if (!pooled()) return &cells_[slot * width_];
    if (index_[slot] == kNoState) index_[slot] = static_cast<uint32_t>(pool_.add());
    return pool_.cells(index_[slot]);
  }

  void clear() {
    std::vector<Word>().swap(keys_);
    std::vector<Cell>().swap(cells_);
    std::vector<uint32_t>().swap(index_);
    pool_.clear();
    used_ = 0;
    mask_ = 0;
  }

 private:
  static constexpr uint32_t kNoState = ~uint32_t{0};

  bool pooled() const { return width_ >= kPooledWidth; }

  // The slot of `key`, taken for it when new.
  size_t place(Word key, uint64_t hash) {
    size_t slot = hash & mask_;
    while (keys_[slot] != key) {
      if (keys_[slot] == kEmpty) {
        keys_[slot] = key;
        ++used_;
        break;
      }
      slot = (slot + 1) & mask_;
    }
    return slot;
  }

  void grow() {
    const size_t capacity = keys_.empty() ? 64 : keys_.size() * 2;
    std::vector<Word> keys(capacity, kEmpty);
    keys_.swap(keys);
    mask_ = capacity - 1;
    used_ = 0;
    if (pooled()) {
      std::vector<uint32_t> index(capacity, kNoState);
      index_.swap(index);
      for (size_t slot = 0; slot < keys.size(); ++slot) {
        if (keys[slot] != kEmpty) index_[place(keys[slot], hash_of(keys[slot]))] = index[slot];
      }
      return;
    }
    std::vector<Cell> cells(capacity * width_, Cell{0});
    cells_.swap(cells);
    for (size_t slot = 0; slot < keys.size(); ++slot) {
      if (keys[slot] == kEmpty) continue;
      std::copy_n(&cells[slot * width_], width_, &cells_[place(keys[slot], hash_of(keys[slot])) * width_]);
    }
  }

  std::vector<Word> keys_;
  std::vector<Cell> cells_;       // by slot, when not pooled
  std::vector<uint32_t> index_;   // by slot: the state's number in pool_, when pooled
  CellPool<Cell> pool_;
  size_t mask_ = 0;
  size_t used_ = 0;
  uint32_t width_ = 1;
};

// A class of a group: its letters in the key and in the tail, its count of
// the group's letter, where its word choices for each number of uses begin
// (small: tried many times).
template <typename Word>
struct GroupClass {
  Word letters;
  uint64_t tail;    // packed as ReachPlan::tail_top
  uint64_t shift;   // tail states from u to u + its tail letters
  uint32_t lead;
  uint32_t choices;  // plan.choices[choices + m]: C(w+m-1, m); 0 when w == 1
};

int bits_for(uint32_t count) { return 32 - __builtin_clz(count) + 1; }  // count bits and the guard

// Which classes of a group may fit a state, keyed by which of the group's
// commonest few letters the state still holds: a class holding one the state
// lacks is never tried. Positions ascend within a key, so leads do too.
struct GroupIndex {
  std::array<int, kIndexFields> fields{};
  int width = 0;                // fields in the key; 0: every class is a candidate
  std::vector<uint32_t> start;  // by key: where its positions begin in `at`
  std::vector<uint32_t> at;     // positions in the group
};

// The fields are split in two: the key fields, packed into a state's key,
// and the tail, the last (commonest) few, which a state holds as a small
// dense table of its own: cell u (mixed radix over the tail fields, the last
// innermost) counts the ways to the state having used u of the tail
// letters. A flow then moves a whole tail at once, a run of additions close
// in memory, instead of one hashed state per tail.
template <typename Word>
struct ReachPlan {
  int fields = 0;
  int key_fields = 0;  // fields 0..key_fields-1; the tail is the rest
  uint64_t box = 1;    // tail states
  uint32_t cells = 1;  // of a state: box * width
  // By tail field (field key_fields + j): the strides make_dense gives the
  // same fields, since finish_dense plants a tail whole.
  std::array<uint64_t, 26> tail_stride{};
  std::array<int, 26> tail_offset{};       // its bits in a packed tail
  std::array<uint64_t, 26> tail_mask{};    // its count's bits, at bit 0
  uint64_t tail_guard = 0;
  uint64_t tail_top = 0;  // the phrase's tail letters, packed with a guard bit each
  // The innermost tail fields form blocks of `block` states that a flow adds
  // whole, a source cell that would leave the room masked to 0: runs of a
  // few cells would cost more than the cells. block_mask[s * block + u]:
  // whether u + s stays within the block's letters (no word limit only).
  int block_fields = 0;
  uint64_t block = 1;
  std::vector<uint64_t> block_mask;
  // Where the fields turn dense: forced (tests), or chosen as the count goes
  // by dense_cost, the cell updates of a dense table from field k on
  // (UINT64_MAX where that table passes its share of the cap).
  std::optional<int> sparse_fields;
  std::vector<uint64_t> dense_cost;               // by field
  std::array<uint32_t, 26> top{};                 // the phrase's count of each field
  std::vector<std::array<uint32_t, 26>> counts;   // of each usable class, by field
  std::vector<uint64_t> words;                    // of each usable class
  std::array<int, 26> offset{};
  std::array<Word, 26> count_mask{};  // of each field, at bit 0
  std::array<uint8_t, 128> field_of_bit{};
  Word guard{};
  Word phrase{};
  uint32_t width = 1;
  std::vector<std::vector<GroupClass<Word>>> groups;  // by first field; lead ascending
  std::vector<GroupIndex> index;                      // by first field
  std::vector<uint64_t> choices{0};                   // of every class; [0] unused

  // The positions of group f's classes that may fit `state`.
  std::span<const uint32_t> candidates(int f, Word state) const {
    const GroupIndex& g = index[f];
    uint32_t key = 0;
    for (int j = 0; j < g.width; ++j) key |= uint32_t{field(state, g.fields[j]) != 0} << j;
    return {g.at.data() + g.start[key], g.at.data() + g.start[key + 1]};
  }

  bool fits(Word have, Word need) const { return (((have | guard) - need) & guard) == guard; }
  bool tail_fits(uint64_t room, uint64_t need) const { return (((room | tail_guard) - need) & tail_guard) == tail_guard; }
  uint32_t field(Word state, int f) const { return static_cast<uint32_t>((state >> offset[f]) & count_mask[f]); }
  uint32_t tail_field(uint64_t tail, int j) const {
    return static_cast<uint32_t>((tail >> tail_offset[j]) & tail_mask[j]);
  }
  // The table a state waits in: its lowest non-zero field, key_fields once
  // the key is spent.
  int lowest_field(Word state) const {
    if (state == Word{0}) return key_fields;
    const uint64_t low = static_cast<uint64_t>(state);
    const int bit = low ? __builtin_ctzll(low) : 64 + __builtin_ctzll(static_cast<uint64_t>(state >> 32 >> 32));
    return field_of_bit[bit];
  }
};

// Group f's index, keyed on the fields after f its classes hold most often,
// as many as keep the index within kMaxIndexEntries.
template <typename Word>
GroupIndex make_index(const ReachPlan<Word>& plan, int f) {
  const auto& group = plan.groups[f];
  GroupIndex g;
  std::vector<std::pair<size_t, int>> held;  // (classes holding it, field)
  for (int h = f + 1; h < plan.key_fields; ++h) {
    size_t n = 0;
    for (const auto& c : group) n += plan.field(c.letters, h) != 0;
    if (n > 0) held.emplace_back(n, h);
  }
  std::sort(held.rbegin(), held.rend());
  std::vector<uint32_t> keys(group.size());
  const auto key_of = [&](const GroupClass<Word>& c, int width) {
    uint32_t key = 0;
    for (int j = 0; j < width; ++j) key |= uint32_t{plan.field(c.letters, held[j].second) != 0} << j;
    return key;
  };
  int width = std::min<int>(kIndexFields, held.size());
  if (group.size() < kIndexedGroup) width = 0;
  for (; width > 0; --width) {
    size_t entries = 0;
    for (const auto& c : group) entries += size_t{1} << (width - std::popcount(key_of(c, width)));
    if (entries <= kMaxIndexEntries) break;
  }
  g.width = width;
  for (int j = 0; j < width; ++j) g.fields[j] = held[j].second;
  const uint32_t all = (uint32_t{1} << width) - 1;
  g.start.assign(size_t{all} + 2, 0);
  // A class is a candidate under every key holding its own: count, then fill.
  const auto each_key = [&](uint32_t own, auto&& visit) {
    const uint32_t free = all & ~own;
    for (uint32_t sub = free;; sub = (sub - 1) & free) {
      visit(own | sub);
      if (sub == 0) break;
    }
  };
  for (size_t p = 0; p < group.size(); ++p) {
    keys[p] = key_of(group[p], width);
    each_key(keys[p], [&](uint32_t key) { ++g.start[key + 1]; });
  }
  for (size_t key = 1; key < g.start.size(); ++key) g.start[key] += g.start[key - 1];
  g.at.resize(g.start.back());
  std::vector<uint32_t> fill(g.start.begin(), g.start.end() - 1);
  for (size_t p = 0; p < group.size(); ++p) {
    each_key(keys[p], [&](uint32_t key) { g.at[fill[key]++] = static_cast<uint32_t>(p); });
  }
  return g;
}

// Cell updates of a dense table of the fields from each k on (by k, up to
// plan.fields): a class whose first field is f counts in the tables from
// every k <= f alike, once per word over the box its letters leave from f
// on (the fields before its first full). One pass over the classes, not
// one a field: with 17,000 classes that took 3 ms.
template <typename Word>
std::vector<uint64_t> dense_work(const ReachPlan<Word>& plan) {
  std::vector<uint64_t> work(plan.fields + 1, 0);
  for (size_t c = 0; c < plan.counts.size(); ++c) {
    const auto& counts = plan.counts[c];
    int first = 0;
    while (first < plan.fields && counts[first] == 0) ++first;
    uint64_t box = plan.words[c];
    for (int f = first; f < plan.fields; ++f) box = internal::saturating_mul(box, uint64_t{plan.top[f]} - counts[f] + 1);
    work[first] = std::min(work[first] + box, UINT64_MAX / 2);
  }
  for (int k = plan.fields; k-- > 0;) work[k] = std::min(work[k] + work[k + 1], UINT64_MAX / 2);
  return work;
}

// The plan, or false when the phrase's key does not pack into Word or a
// class's word choices pass 64 bits. The tail takes the last fields while
// a state's cells stay within tail_cells.
template <typename Word>
bool make_plan(const CharCounts& phrase, const std::vector<const AnagramClass*>& usable, uint32_t width,
               size_t dense_bytes, std::optional<int> sparse_letters, uint32_t tail_cells, unsigned threads,
               ReachPlan<Word>& plan) {
  std::array<std::pair<size_t, int>, 26> holding{};  // (classes holding it, slot)
  int letters = 0;
  for (int slot = 0; slot < 26; ++slot) {
    if (phrase.counts[slot] == 0) continue;
    size_t n = 0;
    for (const AnagramClass* c : usable) n += c->letters.counts[slot] > 0;
    holding[letters++] = {n, slot};
  }
  std::sort(holding.begin(), holding.begin() + letters);
  plan.fields = letters;
  plan.width = width;
  for (int f = 0; f < letters; ++f) plan.top[f] = phrase.counts[holding[f].second];
  int tail = 0;
  while (tail < letters && plan.box * (plan.top[letters - 1 - tail] + 1) * width <= tail_cells) {
    plan.box *= plan.top[letters - 1 - tail] + 1;
    ++tail;
  }
  plan.key_fields = letters - tail;
  plan.cells = static_cast<uint32_t>(plan.box * width);
  std::array<int, 26> field_of_slot;
  field_of_slot.fill(-1);
  int bit = 0;
  for (int f = 0; f < plan.key_fields; ++f) {
    const int slot = holding[f].second;
    const int bits = bits_for(phrase.counts[slot]);
    if (bit + bits > static_cast<int>(sizeof(Word) * 8)) return false;
    field_of_slot[slot] = f;
    plan.offset[f] = bit;
    plan.count_mask[f] = (Word{1} << (bits - 1)) - 1;
    plan.guard |= Word{1} << (bit + bits - 1);
    for (int b = bit; b < bit + bits; ++b) plan.field_of_bit[b] = static_cast<uint8_t>(f);
    plan.phrase |= static_cast<Word>(phrase.counts[slot]) << bit;
    bit += bits;
  }
  bit = 0;
  for (int j = tail, stride = 1; j-- > 0;) {
    plan.tail_stride[j] = static_cast<uint64_t>(stride);
    stride *= static_cast<int>(plan.top[plan.key_fields + j]) + 1;
  }
  for (int j = 0; j < tail; ++j) {
    const int f = plan.key_fields + j;
    field_of_slot[holding[f].second] = f;
    const int bits = bits_for(plan.top[f]);  // tail_cells keeps the tail well within 64 bits
    plan.tail_offset[j] = bit;
    plan.tail_mask[j] = (uint64_t{1} << (bits - 1)) - 1;
    plan.tail_guard |= uint64_t{1} << (bit + bits - 1);
    plan.tail_top |= uint64_t{plan.top[f]} << bit;
    bit += bits;
  }
  if (width == 1) {
    while (plan.block_fields < tail && plan.block * (plan.top[letters - 1 - plan.block_fields] + 1) <= kMaskBlock) {
      plan.block *= plan.top[letters - 1 - plan.block_fields] + 1;
      ++plan.block_fields;
    }
    plan.block_mask.assign(plan.block * plan.block, 0);
    for (uint64_t s = 0; s < plan.block; ++s) {
      for (uint64_t u = 0; u < plan.block; ++u) {
        bool inside = true;
        for (int j = tail - plan.block_fields; j < tail; ++j) {
          const uint64_t radix = uint64_t{plan.top[plan.key_fields + j]} + 1;
          inside = inside && (u / plan.tail_stride[j]) % radix + (s / plan.tail_stride[j]) % radix < radix;
        }
        plan.block_mask[s * plan.block + u] = inside ? ~uint64_t{0} : 0;
      }
    }
  }
  for (const AnagramClass* c : usable) {
    std::array<uint32_t, 26> counts{};
    for (int f = 0; f < letters; ++f) counts[f] = c->letters.counts[holding[f].second];
    plan.counts.push_back(counts);
    plan.words.push_back(c->words);
  }
  // What a dense table from each field on would cost.
  const size_t cell_budget = dense_bytes / (sizeof(u128) * width);
  plan.dense_cost.assign(letters + 1, UINT64_MAX);
  const std::vector<uint64_t> work = dense_work(plan);
  for (int k = 0; k <= plan.key_fields; ++k) {
    uint64_t box = 1;
    for (int f = k; f < letters && box <= cell_budget; ++f) box *= uint64_t{plan.top[f]} + 1;
    if (box <= cell_budget) plan.dense_cost[k] = work[k] * width;
  }
  if (sparse_letters) plan.sparse_fields = std::min(*sparse_letters, plan.key_fields);
  // Classes of the tail's letters alone are the dense finish's.
  plan.groups.assign(plan.key_fields, {});
  for (const AnagramClass* c : usable) {
    GroupClass<Word> g{};
    int first = letters;
    for (int slot = 0; slot < 26; ++slot) {
      const uint32_t n = c->letters.counts[slot];
      if (n == 0) continue;
      const int f = field_of_slot[slot];
      first = std::min(first, f);
      if (f < plan.key_fields) {
        g.letters |= static_cast<Word>(n) << plan.offset[f];
      } else {
        g.tail |= uint64_t{n} << plan.tail_offset[f - plan.key_fields];
        g.shift += n * plan.tail_stride[f - plan.key_fields];
      }
    }
    if (first >= plan.key_fields) continue;
    g.lead = plan.field(g.letters, first);
    if (c->words > 1) {
      const uint32_t most = plan.field(plan.phrase, first) / g.lead;
      u128 choose = 1;
      g.choices = static_cast<uint32_t>(plan.choices.size());
      plan.choices.push_back(1);
      for (uint32_t m = 1; m <= most; ++m) {
        choose = choose * (c->words + m - 1) / m;  // each partial product is a binomial
        if (choose >> 64) return false;
        plan.choices.push_back(static_cast<uint64_t>(choose));
      }
    }
    plan.groups[first].push_back(g);
  }
  for (auto& group : plan.groups) {
    std::stable_sort(group.begin(), group.end(), [](const auto& a, const auto& b) { return a.lead < b.lead; });
  }
  // The groups' indexes are independent, and a long phrase's take
  // milliseconds (8-24 ms for 17,000-25,000 classes).
  plan.index.resize(plan.key_fields);
  run_parallel(threads, static_cast<size_t>(plan.key_fields), nullptr, [&](unsigned, size_t f) {
    plan.index[f] = make_index(plan, static_cast<int>(f));
    return true;
  });
  return true;
}

// The dense table of the fields from k on (dim 0 outermost) and its steps:
// the classes holding none of the fields before k, grouped by first dense
// field, each applied over the box where the fields before its first are
// full.
template <typename Word>
internal::DenseShape make_dense(const ReachPlan<Word>& plan, int k, const internal::StageLimits& limits) {
  internal::DenseShape d;
  d.dims = plan.fields - k;
  for (int i = 0; i < d.dims; ++i) d.top[i] = plan.top[k + i];
  internal::set_strides(d);
  for (size_t c = 0; c < plan.counts.size(); ++c) {
    const auto& counts = plan.counts[c];
    if (std::any_of(counts.begin(), counts.begin() + k, [](uint32_t n) { return n != 0; })) continue;
    internal::add_step(d, plan.words[c], [&](int i) { return counts[k + i]; });
  }
  internal::make_stages(d, plan.width, limits);
  return d;
}

// The waiting states of one field, split into shards by hash.
template <typename Word, typename Cell>
struct Waiting {
  std::vector<StateTable<Word, Cell>> shards;
  int shard_bits = 0;

  StateTable<Word, Cell>& shard_of(uint64_t hash) { return shards[shard_bits ? hash >> (64 - shard_bits) : 0]; }
  size_t bytes() const {
    size_t total = 0;
    for (const auto& s : shards) total += s.bytes();
    return total;
  }
};

enum class PassEnd { kDone, kStopped, kTooLarge };

// A flow into a reached state not yet added: held a moment so that the
// state's slot is loaded meanwhile (the tables are far larger than cache).
template <typename Word, typename Cell>
struct Pending {
  Word rest;
  uint64_t hash;
  const Cell* value;  // the source state's cells: stable while its field expands
  Cell coef;
  bool scaled;
  uint32_t words;
  uint64_t room;   // the tail letters left to the flow, cut to the source's reach
  uint64_t low;    // the least tail letters the source's non-zero cells used
  uint64_t shift;  // tail states the flow moves by
};
constexpr size_t kPending = 32;
// With tails, flows wait in a far longer buffer, sorted by target before
// they are added: the flows of about a hundred sources into one target then
// run while that target's tail is in cache, and the sources stay there too.
constexpr size_t kTailPending = size_t{1} << 16;

// One thread's tables: the states it made, by field, and its arithmetic.
template <typename Word, typename Arith>
struct Worker {
  using Cell = typename Arith::Cell;
  std::vector<Pending<Word, Cell>> pending;
  size_t pending_count = 0;
  // The box of the tail cells of the state being expanded that are not 0
  // (packed as ReachPlan::tail_top).
  uint64_t source_low = 0, source_high = 0;
  int owner = -1;  // >= 0: adds only the flows into states whose hash it owns
  std::vector<Waiting<Word, Cell>> waiting;  // by field; [key_fields]: the spent key
  Arith arith;
  uint64_t updates = 0;
  uint64_t tries = 0;  // class fits tried
  uint64_t states = 0;
  std::atomic<size_t> bytes{0};
  std::atomic<uint64_t> tries_seen{0};
};

template <typename Word, typename Arith>
class ReachPass {
 public:
  using Cell = typename Arith::Cell;

  ReachPass(const ReachPlan<Word>& plan, const Arith& arith, const CountLimits& limits)
      : plan_(plan), limits_(limits), threads_(limits.threads_used()), cache_(limits.max_reach_bytes / 4) {
    const int shard_bits = threads_ > 1 ? kShardBits : 0;
    workers_.reserve(threads_);
    for (unsigned t = 0; t < threads_; ++t) {
      auto w = std::make_unique<Worker<Word, Arith>>();
      w->arith = arith;
      w->pending.resize(plan.cells >= kSortedFlowCells ? kTailPending : kPending);
      w->waiting.resize(plan.key_fields + 1);
      for (auto& waiting : w->waiting) {
        waiting.shard_bits = shard_bits;
        waiting.shards.resize(size_t{1} << shard_bits);
        for (auto& shard : waiting.shards) shard.set_width(plan.cells, &cache_);
      }
      workers_.push_back(std::move(w));
    }
  }

  // Runs the pass; `result` is the sum over word counts of the empty rest.
  PassEnd run(Cell& result, CountResult& stats) {
    Worker<Word, Arith>& first = *workers_[0];
    std::vector<Cell> one(plan_.cells, Cell{0});
    one[0] = first.arith.of(1);
    first.source_high = plan_.tail_top;
    emit(first, plan_.phrase, one.data(), Cell{}, false, 0, plan_.tail_top, 0);
    flush(first);
    PassEnd end = PassEnd::kDone;
    int f = 0;
    for (; f < plan_.key_fields && end == PassEnd::kDone; ++f) {
      if (!merge_field(f)) {
        end = stopped();
        break;
      }
      const uint64_t ahead = tries_ahead(f);
      if (turns_dense(f, ahead)) break;
      end = expand_field(f, ahead);
    }
    if (end == PassEnd::kDone) end = finish_dense(f, result);
    for (auto& w : workers_) {
      stats.cell_updates += w->updates;
      stats.states += w->states;
    }
    stats.table_bytes = std::max(stats.table_bytes, peak_bytes_);
    return end;
  }

  Arith& arith() { return workers_[0]->arith; }
  // Whether any thread's arithmetic carried (wrapping cells only).
  uint64_t carried() const {
    uint64_t any = 0;
    if constexpr (requires(Arith a) { a.carried; }) {
      for (const auto& w : workers_) any |= w->arith.carried;
    }
    return any;
  }

 private:
  size_t total_bytes() const {
    size_t total = 0;
    for (const auto& w : workers_) total += w->bytes.load(std::memory_order_relaxed);
    return total + merged_bytes_ + cache_.bytes();
  }

  // Adds value * coef, shifted by `words` word counts and by `shift` tail
  // states within `room`, to the state `rest`. (Flows wait in w.pending
  // until flush().)
  void emit(Worker<Word, Arith>& w, Word rest, const Cell* value, Cell coef, bool scaled, uint32_t words,
            uint64_t room, uint64_t shift) {
    const uint64_t hash = hash_of(rest);
    if (w.owner >= 0 && (hash >> 32) % threads_ != static_cast<uint64_t>(w.owner)) return;  // another thread's
    if (plan_.box > 1) {
      // Only the box of the source's non-zero cells moves; none of it may fit.
      uint64_t cut = 0;
      for (int j = 0; j < plan_.fields - plan_.key_fields; ++j) {
        const uint32_t most = std::min(plan_.tail_field(room, j), plan_.tail_field(w.source_high, j));
        if (most < plan_.tail_field(w.source_low, j)) return;
        cut |= uint64_t{most} << plan_.tail_offset[j];
      }
      room = cut;
    }
    ++w.updates;
    w.waiting[plan_.lowest_field(rest)].shard_of(hash).prefetch(hash);
    w.pending[w.pending_count++] = {rest, hash, value, coef, scaled, words, room, w.source_low, shift};
    if (w.pending_count == w.pending.size()) flush(w);
  }

  void flush(Worker<Word, Arith>& w) {
    if (w.pending.size() > kPending) {
      std::sort(w.pending.begin(), w.pending.begin() + w.pending_count,
                [](const auto& a, const auto& b) { return a.hash < b.hash; });
    }
    for (size_t i = 0; i < w.pending_count; ++i) {
      const Pending<Word, Cell>& p = w.pending[i];
      auto& table = w.waiting[plan_.lowest_field(p.rest)].shard_of(p.hash);
      const size_t before = table.size();
      Cell* to = table.at(p.rest, p.hash);
      w.states += table.size() - before;
      add(w, to, p.value, p.coef, p.scaled, p.words, p.room, p.low, p.shift);
    }
    w.pending_count = 0;
  }

  // to[u + shift] += value[u] * coef for every tail state u from `low` to
  // `room` (the tail letters the flow leaves, cut to those the source's
  // non-zero cells reach), word counts moved up by `words`: run by run, the
  // tail fields spanned whole (innermost) making one run with the next field
  // out, or block by block.
  void add(Worker<Word, Arith>& w, Cell* to, const Cell* value, Cell coef, bool scaled, uint32_t words,
           uint64_t room, uint64_t low, uint64_t shift) {
    const uint32_t width = plan_.width;
    if (width == 1) words = 0;  // no word limit: one cell
    to += shift * width;
    Arith arith = w.arith;  // its carry flag in a register, not aliased by the cells
    const auto run = [&](uint64_t at, uint64_t states) {
      Cell* into = to + at * width;
      const Cell* from = value + at * width;
      if (width == 1) {
        if (scaled) {
          for (uint64_t j = 0; j < states; ++j) into[j] = arith.add(into[j], arith.mul(from[j], coef));
        } else {
          for (uint64_t j = 0; j < states; ++j) into[j] = arith.add(into[j], from[j]);
        }
        return;
      }
      for (uint64_t j = 0; j < states; ++j) {
        for (uint32_t k = 0; k + words < width; ++k) {
          const Cell add = scaled ? arith.mul(from[j * width + k], coef) : from[j * width + k];
          into[j * width + k + words] = arith.add(into[j * width + k + words], add);
        }
      }
    };
    // The same over part of a block, cells leaving the room masked (width 1).
    const uint64_t* mask = nullptr;
    const auto masked_run = [&](uint64_t at, uint64_t states) {
      Cell* into = to + at;
      const Cell* from = value + at;
      const uint64_t* keep = mask + at % plan_.block;
      if constexpr (std::is_same_v<Arith, WrapArith<uint64_t>>) {
        arith.carried |= scaled ? internal::add_masked_scaled(into, from, keep, states, coef)
                                : internal::add_masked(into, from, keep, states);
        return;
      }
      for (uint64_t j = 0; j < states; ++j) {
        if (keep[j] != 0) into[j] = arith.add(into[j], scaled ? arith.mul(from[j], coef) : from[j]);
      }
    };
    const int tail = plan_.fields - plan_.key_fields;
    if (tail == 0) {
      run(0, 1);
      w.arith = arith;
      return;
    }
    std::array<uint32_t, 26> least{}, most{}, at{};
    uint64_t states = 1;
    for (int j = 0; j < tail; ++j) {
      least[j] = plan_.tail_field(low, j);
      most[j] = plan_.tail_field(room, j);
      states *= uint64_t{most[j] - least[j]} + 1;
    }
    w.tries += states / kCellsPerTry;
    // Runs from `base` over the odometer of the fields before `inner`.
    int inner = tail - 1;
    uint64_t base = 0, length;
    if (plan_.block > 1) {
      inner = tail - plan_.block_fields;
      mask = &plan_.block_mask[(shift % plan_.block) * plan_.block];
      uint64_t end = 0;
      for (int j = inner; j < tail; ++j) {
        base += least[j] * plan_.tail_stride[j];
        end += most[j] * plan_.tail_stride[j];
      }
      length = end - base + 1;
    } else {
      while (inner > 0 && least[inner] == 0 && most[inner] == plan_.top[plan_.key_fields + inner]) --inner;
      base = least[inner] * plan_.tail_stride[inner];
      length = (uint64_t{most[inner] - least[inner]} + 1) * plan_.tail_stride[inner];
    }
    for (int d = 0; d < inner; ++d) {
      at[d] = least[d];
      base += least[d] * plan_.tail_stride[d];
    }
    while (true) {
      if (mask != nullptr) {
        masked_run(base, length);
      } else {
        run(base, length);
      }
      int d = inner - 1;
      for (; d >= 0; --d) {
        if (at[d] < most[d]) {
          ++at[d];
          base += plan_.tail_stride[d];
          break;
        }
        base -= (at[d] - least[d]) * plan_.tail_stride[d];
        at[d] = least[d];
      }
      if (d < 0) break;
    }
    w.arith = arith;
  }

  // The least and the most of each tail letter among the non-zero cells of
  // a tail (packed); low above high when all are 0.
  void tail_support(const Cell* cells, uint64_t& low, uint64_t& high) const {
    const int tail = plan_.fields - plan_.key_fields;
    std::array<uint32_t, 26> least, most{}, at{};
    for (int j = 0; j < tail; ++j) least[j] = plan_.top[plan_.key_fields + j];
    bool any = false;
    for (uint64_t u = 0; u < plan_.box; ++u) {
      bool set = false;
      for (uint32_t k = 0; k < plan_.width; ++k) set = set || cells[u * plan_.width + k] != Cell{0};
      if (set) {
        any = true;
        for (int j = 0; j < tail; ++j) {
          least[j] = std::min(least[j], at[j]);
          most[j] = std::max(most[j], at[j]);
        }
      }
      for (int j = tail; j-- > 0;) {
        if (++at[j] <= plan_.top[plan_.key_fields + j]) break;
        at[j] = 0;
      }
    }
    low = high = 0;
    for (int j = 0; j < tail; ++j) {
      low |= uint64_t{any ? least[j] : plan_.top[plan_.key_fields + j]} << plan_.tail_offset[j];
      high |= uint64_t{any ? most[j] : 0} << plan_.tail_offset[j];
    }
  }

  // Every way group f's classes from `next` on spend the `need` letters f
  // left in `rest`.
  void spend(Worker<Word, Arith>& w, const std::vector<GroupClass<Word>>& group, std::span<const uint32_t> candidates,
             size_t next, Word rest, uint32_t need, const Cell* value, Cell coef, bool scaled, uint32_t words,
             uint64_t room, uint64_t shift) {
    for (size_t i = next; i < candidates.size(); ++i) {
      const GroupClass<Word>& c = group[candidates[i]];
      if (c.lead > need) break;
      ++w.tries;
      Word left = rest;
      uint64_t room_left = room, shift_left = shift;
      uint32_t still = need;
      for (uint32_t m = 1; uint64_t{m} * c.lead <= need; ++m) {
        if (!plan_.fits(left, c.letters) || !plan_.tail_fits(room_left, c.tail)) break;
        left -= c.letters;
        room_left -= c.tail;
        shift_left += c.shift;
        still -= c.lead;
        if (words + m >= plan_.width && plan_.width > 1) break;
        Cell mine = coef;
        bool now_scaled = scaled;
        if (c.choices != 0) {
          const Cell choose = w.arith.of(plan_.choices[c.choices + m]);
          mine = scaled ? w.arith.mul(coef, choose) : choose;
          now_scaled = true;
        }
        if (still == 0) {
          emit(w, left, value, mine, now_scaled, words + m, room_left, shift_left);
        } else {
          spend(w, group, candidates, i + 1, left, still, value, mine, now_scaled, words + m, room_left, shift_left);
        }
      }
    }
  }

  // Whether each thread adds only the flows into the states it owns (see
  // expand_field): then every state is in one thread's tables alone.
  bool owners() const { return threads_ > 1 && plan_.cells >= kSortedFlowCells; }

  // Merges every thread's states of field f into the first's, shard by
  // shard, where a state may be in several threads' tables.
  bool merge_field(int f) {
    Waiting<Word, Cell>& input = workers_[0]->waiting[f];
    if (threads_ == 1 || owners()) return true;
    return run_parallel(threads_, input.shards.size(), limits_.watch, [&](unsigned t_run, size_t s) {
        Arith& arith = workers_[t_run]->arith;
        auto& base = input.shards[s];
        for (unsigned t = 1; t < threads_; ++t) {
          auto& other = workers_[t]->waiting[f].shards[s];
          for (size_t slot = 0; slot < other.capacity(); ++slot) {
            if (!other.used(slot)) continue;
            Cell* to = base.at(other.key(slot), hash_of(other.key(slot)));
            const Cell* from = other.cells(slot);
            for (uint32_t k = 0; k < plan_.cells; ++k) to[k] = arith.add(to[k], from[k]);
          }
          other.clear();
        }
        return true;
      });
  }

  // The class fits field f's (merged) states will try.
  uint64_t tries_ahead(int f) const {
    uint64_t ahead = 0;
    for (const auto& w : workers_) {
      for (const auto& shard : w->waiting[f].shards) {
        for (size_t slot = 0; slot < shard.capacity(); ++slot) {
          if (shard.used(slot)) ahead += plan_.candidates(f, shard.key(slot)).size();
        }
      }
    }
    return ahead;
  }

  // Whether the fields from f on are counted as one dense table: where
  // that costs less than expanding field f alone would (a class fit tried
  // costs about kTryOverCell cell updates: a hashed state far from cache,
  // against a run through the table; and its tail, the part of the tail
  // the room and the source's non-zero cells leave).
  bool turns_dense(int f, uint64_t ahead) const {
    if (plan_.sparse_fields) return f >= *plan_.sparse_fields;
    const uint64_t cost = plan_.dense_cost[f];
    const uint64_t per_try = kTryOverCell + (plan_.cells > 1 ? plan_.cells / kTailCellsMoved : 0);
    return cost != UINT64_MAX && cost / per_try <= ahead;
  }

  // Expands field f's states: every thread's tables of f, each state in one
  // of them (merged, or owned).
  PassEnd expand_field(int f, uint64_t ahead) {
    struct Item {
      const StateTable<Word, Cell>* table;
      size_t first;  // slot
    };
    std::vector<Item> items;
    const size_t per_item = std::max<size_t>(16, kSlotsPerItem / plan_.cells);
    merged_bytes_ = 0;
    for (auto& w : workers_) {
      for (const auto& shard : w->waiting[f].shards) {
        for (size_t slot = 0; slot < shard.capacity(); slot += per_item) items.push_back({&shard, slot});
      }
      // The input leaves every thread's own count of bytes: it is counted here.
      merged_bytes_ += w->waiting[f].bytes();
      w->bytes = bytes_of(*w, f);
    }
    std::atomic<bool> too_large{false};
    const std::vector<GroupClass<Word>>& group = plan_.groups[f];
    // A field whose fits to try pass the budget gives up at once.
    uint64_t tried = 0;
    for (const auto& w : workers_) tried += w->tries;
    if (tried + ahead > limits_.max_sparse_work) return PassEnd::kTooLarge;
    const auto expand = [&](Worker<Word, Arith>& w, size_t item) {
      const auto& table = *items[item].table;
      const size_t end = std::min(table.capacity(), items[item].first + per_item);
      for (size_t slot = items[item].first; slot < end; ++slot) {
        if (!table.used(slot)) continue;
        const Word state = table.key(slot);
        if (plan_.box > 1) tail_support(table.cells(slot), w.source_low, w.source_high);
        spend(w, group, plan_.candidates(f, state), 0, state, plan_.field(state, f), table.cells(slot), Cell{}, false, 0,
              plan_.tail_top, 0);
      }
      flush(w);
    };
    // After an item: false once the tables or the work pass the budget.
    const auto within = [&](Worker<Word, Arith>& w, unsigned t) {
      w.bytes.store(bytes_of(w, f), std::memory_order_relaxed);
      const size_t now = total_bytes();
      if (t == 0) peak_bytes_ = std::max(peak_bytes_, now);
      uint64_t tries = 0;
      for (const auto& other : workers_) tries += other->tries_seen.load(std::memory_order_relaxed);
      w.tries_seen.store(w.tries, std::memory_order_relaxed);
      if (now > limits_.max_reach_bytes || tries > limits_.max_sparse_work) {
        too_large = true;
        return false;
      }
      return true;
    };
    bool finished;
    if (owners()) {
      // Flows with tails cost their cells, not the enumeration: each thread
      // walks every state but adds only the flows into the states it owns,
      // so no state is held twice and no tail is merged.
      std::atomic<bool> halt{false};
      finished = run_parallel(threads_, threads_, nullptr, [&](unsigned t, size_t owner) {
        Worker<Word, Arith>& w = *workers_[owner];
        w.owner = static_cast<int>(owner);
        for (size_t item = 0; item < items.size() && !halt.load(std::memory_order_relaxed); ++item) {
          expand(w, item);
          if (!within(w, t) || (t == 0 && limits_.watch != nullptr && limits_.watch->check())) halt = true;
        }
        w.owner = -1;
        return !halt.load();
      });
    } else {
      finished = run_parallel(threads_, items.size(), limits_.watch, [&](unsigned t, size_t item) {
        Worker<Word, Arith>& w = *workers_[t];
        expand(w, item);
        return within(w, t);
      });
    }
    peak_bytes_ = std::max(peak_bytes_, total_bytes());
    for (auto& w : workers_) {
      for (auto& shard : w->waiting[f].shards) shard.clear();
    }
    merged_bytes_ = 0;
    if (too_large) return PassEnd::kTooLarge;
    if (!finished) return stopped();
    return PassEnd::kDone;
  }

  // The fields from k on, as one dense table: the waiting states planted
  // at the letters they used (a state's tail whole, at its key's place),
  // then every class of those fields' groups applied as in the dense count
  // (table_count.cpp), group by group, each over the part of the table that
  // can still reach the phrase. With no field left, the table is the one
  // state of the spent phrase.
  PassEnd finish_dense(int k, Cell& result) {
    Arith& arith = workers_[0]->arith;
    const uint32_t width = plan_.width;
    result = Cell{0};
    for (auto& w : workers_) {
      if constexpr (requires(Arith a) { a.carried; }) arith.carried |= w->arith.carried;
    }
    const internal::DenseShape d = make_dense(plan_, k, {threads_, limits_.min_split_cells, limits_.slab_cells});
    const internal::AlignedCells<Cell> table = internal::zeroed_cells<Cell>(threads_, d.states * width);
    peak_bytes_ = std::max(peak_bytes_, total_bytes() + d.states * width * sizeof(Cell));
    for (auto& w : workers_) {
      for (int f = k; f <= plan_.key_fields; ++f) {
        for (auto& shard : w->waiting[f].shards) {
          for (size_t slot = 0; slot < shard.capacity(); ++slot) {
            if (!shard.used(slot)) continue;
            const Word rest = shard.key(slot);
            uint64_t at = 0;
            for (int i = 0; i < plan_.key_fields - k; ++i) at += (d.top[i] - plan_.field(rest, k + i)) * d.stride[i];
            Cell* to = &table[at * width];
            const Cell* from = shard.cells(slot);
            for (uint32_t c = 0; c < plan_.cells; ++c) to[c] = arith.add(to[c], from[c]);
          }
          shard.clear();
        }
      }
    }
    uint64_t since_check = 0;
    const bool going = internal::apply_steps(threads_, arith, table.get(), d, width, [&](uint64_t done) {
      workers_[0]->updates += done / width;
      since_check += done;
      if (since_check < (uint64_t{1} << 18)) return true;
      since_check = 0;
      return limits_.watch == nullptr || !limits_.watch->check();
    });
    if (!going) return PassEnd::kStopped;
    const Cell* last = table.get() + (d.states - 1) * width;
    for (uint32_t k = 0; k < width; ++k) result = arith.add(result, last[k]);
    return PassEnd::kDone;
  }

  PassEnd stopped() {
    if (limits_.watch != nullptr && limits_.watch->stopped()) return PassEnd::kStopped;
    return PassEnd::kTooLarge;
  }

  // The bytes of a thread's tables of the fields after f.
  size_t bytes_of(const Worker<Word, Arith>& w, int f) const {
    size_t total = 0;
    for (int g = f + 1; g <= plan_.key_fields; ++g) total += w.waiting[g].bytes();
    return total;
  }

  const ReachPlan<Word>& plan_;
  const CountLimits& limits_;
  unsigned threads_;
  BlockCache<Cell> cache_;  // before the workers: their tables give blocks back to it
  std::vector<std::unique_ptr<Worker<Word, Arith>>> workers_;
  size_t merged_bytes_ = 0;
  size_t peak_bytes_ = 0;
};

template <typename Word>
CountResult count_on(const ReachPlan<Word>& plan, const CountLimits& limits) {
  CountResult result;
  const auto finish = [&](PassEnd end) {
    if (end == PassEnd::kTooLarge) result.too_large = true;
    if (end == PassEnd::kStopped) result.status = limits.watch->reason();
    return result;
  };
  // Most counts fit 64 bits: cells of 64 bits halve the memory the dense
  // part streams through.
  uint64_t low = 0;
  ReachPass<Word, WrapArith<uint64_t>> wide(plan, WrapArith<uint64_t>{}, limits);
  if (const PassEnd end = wide.run(low, result); end != PassEnd::kDone) return finish(end);
  if (wide.carried() == 0) {
    result.count = BigUnsigned(low);
    return result;
  }
  // Past 64 bits: a bound, then residues.
  long double approx = 0;
  ReachPass<Word, FloatArith<long double>> bounding(plan, FloatArith<long double>{}, limits);
  result.passes = 2;
  if (const PassEnd end = bounding.run(approx, result); end != PassEnd::kDone) return finish(end);
  const std::optional<double> bits =
      internal::bound_bits(approx, static_cast<long double>(result.cell_updates) + 64);
  if (!bits) return finish(PassEnd::kTooLarge);
  const std::vector<uint64_t> primes = internal::large_primes(internal::primes_for(*bits, 64));
  std::vector<uint64_t> residues;
  for (uint64_t p : primes) {
    uint64_t residue = 0;
    ReachPass<Word, ModArith> modular(plan, ModArith{p}, limits);
    ++result.passes;
    if (const PassEnd end = modular.run(residue, result); end != PassEnd::kDone) return finish(end);
    residues.push_back(residue);
  }
  result.count = internal::from_residues(BigUnsigned(low), 64, primes, residues);
  return result;
}

}  // namespace

CountResult count_reachable(const CharCounts& phrase, std::span<const AnagramClass> classes,
                            const CountLimits& limits) {
  if (auto answer = internal::answer_before_counting(phrase, limits)) return *answer;
  const internal::SpinBurst burst(limits.threads);  // the count's jobs come one after another
  CountResult result;
  std::vector<const AnagramClass*> usable;
  uint32_t min_length = UINT32_MAX;
  std::array<bool, 26> covered{};
  for (const AnagramClass& c : classes) {
    if (c.words == 0 || c.letters.is_empty() || !phrase.can_subtract(c.letters)) continue;
    usable.push_back(&c);
    min_length = std::min(min_length, c.letters.total());
    for (int s = 0; s < 26; ++s) covered[s] = covered[s] || c.letters.counts[s] > 0;
  }
  for (int s = 0; s < 26; ++s) {
    if (phrase.counts[s] > 0 && !covered[s]) return result;
  }
  uint32_t width = 1;
  if (limits.max_words) {
    if (*limits.max_words == 0) return result;
    if (*limits.max_words < phrase.total() / min_length) width = *limits.max_words + 1;
  }
  const size_t dense_bytes = limits.max_reach_bytes / 2;
  ReachPlan<uint64_t> narrow;
  const unsigned threads = limits.threads_used();
  if (make_plan(phrase, usable, width, dense_bytes, limits.sparse_letters, limits.tail_cells, threads, narrow)) {
    return count_on(narrow, limits);
  }
  ReachPlan<u128> wide;
  if (make_plan(phrase, usable, width, dense_bytes, limits.sparse_letters, limits.tail_cells, threads, wide)) {
    return count_on(wide, limits);
  }
  result.too_large = true;
  return result;
}

}  // namespace anagram
