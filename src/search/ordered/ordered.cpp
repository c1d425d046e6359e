// File: search/ordered/ordered.cpp
//
// The ordered search walks the result order block by block: one block per
// number of words k (ascending) and shortest word length L (descending). In a
// block it picks w1 <= w2 <= ... <= wk by word number, every word of at least
// L letters and one of exactly L, depth first with an explicit stack, so the
// rows come out in lexicographic order of their numbers, which is the byte
// order of their words. A completion memo (search/shared/lattice.h) lets it enter
// only words after which the rest can still be completed (on lattices too big
// for it, the same values from a bounded cache filled on demand); the final
// word is found directly, as the class of exactly the letters left, and the
// final two from an index of class pairs by their letters (on small
// lattices, kept sorted per state for the block, which also lets a frame
// with three words left write all its rows at once).
//
// The ordered search (search/ordered/). Tested by
// tests/cpp/search_ordered_test.cpp, fuzz/fuzz_stream.cpp and the differential
// tests of every search.
#include "search/ordered/ordered.h"

#include <algorithm>
#include <array>
#include <numeric>

#include "search/shared/lattice.h"

namespace anagram {

namespace {

// The candidates of [first, last) before word `limit` with at most `longest`
// letters that fit in `remaining`, written from `out` on; returns their end.
// `Bits` is the narrowest type the phrase's packed letters fit in. With
// `kCover`, the letters of the words kept are added to `covered`.
template <typename Bits, bool kCover, typename Candidate>
Candidate* keep_fitting(const Candidate* first, const Candidate* last, Candidate* out, uint32_t limit,
                        uint32_t longest, u128 remaining, u128 guard_bits, uint32_t* covered,
                        const uint32_t* letter_set = nullptr) {
  const Bits guard = static_cast<Bits>(guard_bits);
  const Bits room = static_cast<Bits>(remaining) | guard;
  for (; first != last && first->word < limit; ++first) {
    *out = *first;
    const bool keep = (first->len <= longest) & (((room - static_cast<Bits>(first->packed)) & guard) == guard);
    out += keep;
    if (kCover && keep) *covered |= letter_set[first->word];
  }
  return out;
}

}  // namespace

namespace internal {

namespace {

// Start letters owed fit a frame's 16-bit counts; a demand for more words
// than the phrase has letters is met by nothing, whatever its size.
constexpr uint32_t kMostOwed = UINT16_MAX;

// At most one bit per pattern, the phrase's letters in 128 bits, and what
// each start letter is owed in 16.
bool takes(const OrderedRequest& r) {
  const uint32_t total = r.phrase.total();
  for (const auto& [letter, needed] : r.start_demand) {
    if (needed > kMostOwed && needed <= total) return false;
  }
  return r.patterns.size() <= 64 && make_lattice_layout(r.phrase).ok;
}

}  // namespace

bool ordered_search_supports(const OrderedRequest& request) { return takes(request); }

namespace {

// Start letters still owed: per letter, how many more words must begin with
// it (at most kMostOwed: takes()), and their sum. Narrow: frames copy it.
struct Owed {
  std::array<uint16_t, 26> count{};
  uint32_t total = 0;

  void pay(int letter) {
    if (count[letter]) {
      --count[letter];
      --total;
    }
  }
};

}  // namespace

// The search's state between batches.
struct OrderedEngine {
  struct Frame {
    u128 remaining;
    uint64_t index;  // state number of `remaining`
    uint32_t letters_left;
    uint32_t words_left;
    bool need_shortest;
    uint64_t open_patterns;
    Owed owed;
    uint32_t cursor, end;  // into lists[depth]
    // Final words still to emit after the word at this depth, each checked
    // against what the patterns and start letters still ask for: class
    // members [emit_pos, emit_end), or with `emit_pairs` the last two words
    // from that range of `pair_buffer` (of the pair cache's store with
    // `emit_stored`).
    uint32_t emit_pos = 0, emit_end = 0;
    bool emit_pairs = false;
    bool emit_stored = false;
    uint64_t emit_patterns = 0;
    Owed emit_owed;
  };

  OrderedRequest request;
  PackedLayout layout;
  std::vector<u128> packed;
  std::vector<uint64_t> index;
  std::vector<uint32_t> len;
  std::vector<uint8_t> first_letter;
  std::vector<uint32_t> letter_set;  // bit f: the word holds the letter of field f
  std::vector<uint64_t> pattern_bits;
  std::vector<u128> pattern_packed;
  std::vector<int64_t> last_holder;  // per pattern: last word holding it, -1 none
  ClassTable table;
  std::vector<uint32_t> class_of_state;  // by state number, when small enough
  PairIndex pair_index;                  // when small enough
  std::vector<std::array<uint32_t, 2>> pair_buffer;
  // Where lattices are small: per block, the sorted final pairs of each state
  // asked for, built once, so that asking again with another first word is
  // a binary search. Entries are (state * 2 + need_shortest, begin, end) of
  // `store`, which is reserved for every pair twice and so never moves.
  struct PairCache {
    std::vector<uint32_t> slot;  // by key: entry + 1, 0 none yet
    std::vector<std::array<uint32_t, 3>> entries;
    std::vector<std::array<uint32_t, 2>> store;
    uint32_t min_len = 0;  // the shortest length they are for
    bool on() const { return !slot.empty(); }
    // Entries hold for one shortest length: a block of another clears them.
    void start_block(uint32_t length) {
      if (!on() || min_len == length) return;
      for (const auto& e : entries) slot[e[0]] = 0;
      entries.clear();
      store.clear();
      min_len = length;
    }
    size_t bytes() const {
      return slot.capacity() * sizeof(uint32_t) + store.capacity() * sizeof(store[0]);
    }
  } pair_cache;
  bool prefetch = true;  // false where the tables fit in the caches anyway
  // The words of a frame with three words left, with the range of pairs in
  // the cache that each leaves.
  std::vector<std::array<uint32_t, 3>> threes;
  bool plain = true;  // no patterns, no start letters owed
  uint64_t all_patterns = 0;
  Owed demand;
  uint32_t total = 0;
  uint32_t min_len = UINT32_MAX, max_len = 0;
  uint32_t max_k = 0;
  std::vector<bool> has_len;
  // Per length L present: the gcd of how much longer than L the longer
  // lengths present are (0: none longer). k words of at least L letters
  // have k * L letters plus a multiple of it.
  std::vector<uint32_t> len_step;

  StopCheck stop;
  SearchStatus status = SearchStatus::kRunning;
  uint32_t k = 0, L = 0;
  uint32_t checked_words = 0;  // the k whose blocks the cache last ruled on
  bool found_any = false;      // a solution was written
  bool provisional = false;    // the block is lazy only until it writes one
  bool in_block = false;
  std::vector<Frame> stack;
  // Per depth, the words the next one may be, with what the filter for the
  // depth below reads, so that it reads them in a row.
  struct Candidate {
    u128 packed;
    uint32_t word, len;
    // Worth entering as the frame's next word, as far as the memo tells;
    // the others stay in the list only to feed the lists below it.
    bool enter;
  };
  std::vector<std::vector<Candidate>> lists;
  std::vector<uint32_t> path;
  std::vector<CompletionMemo> memos;
  const CompletionMemo* memo = nullptr;
  // Where the full memo costs too much: the same values on demand.
  CompletionCache cache;
  bool lazy = false;
  // Bytes of the tables indexed by letter states (the lookup and the memos),
  // which the cap bounds; the word classes grow with the candidates only.
  size_t table_bytes = 0, peak_bytes = 0;
  bool fallback = false;
  uint32_t steps = 0;

  OrderedEngine(OrderedRequest r, StopWatch* watch);
  void prepare();
  void prepare_rules();
  void prepare_words();
  bool start_next_block();
  bool next_block_shape();
  bool block_may_hold(const Frame& root);
  const CompletionMemo* memo_for(uint32_t min_length, uint32_t words);
  size_t memo_bytes() const;
  void set_emit(Frame& f, uint32_t cls, uint32_t from, uint64_t open, const Owed& owed);
  // Final pairs to emit: [begin, end) of the pair cache's store (`stored`)
  // or of pair_buffer.
  struct PairRange {
    uint32_t begin = 0, end = 0;
    bool stored = false;
    bool empty() const { return begin == end; }
  };
  PairRange gather_pairs(uint64_t state, uint32_t from, bool need_shortest);
  void collect_pairs(uint64_t state, uint32_t from, bool need_shortest,
                     std::vector<std::array<uint32_t, 2>>& out) const;
  void prepare_pair_cache();
  void mark_enterable(Candidate* first, Candidate* last, const Frame& f) const;
  void cached_pairs(uint64_t state, uint32_t from, bool need_shortest, uint32_t& begin, uint32_t& end);
  size_t emit_last_three(RowBatch& out, RowBlock*& run, size_t room);
  RowBlock& run_for(RowBatch& out, RowBlock*& run, size_t room);
  void set_emit_pairs(Frame& f, const PairRange& pairs, uint64_t open, const Owed& owed);
  const std::array<uint32_t, 2>& emitted_pair(const Frame& f, uint32_t i) const {
    return f.emit_stored ? pair_cache.store[i] : pair_buffer[i];
  }
  // Do the final words y (and z) give what the patterns and start letters
  // of `f`'s emission still ask for?
  bool completes(const Frame& f, uint32_t y, uint32_t z) const;
  bool viable(const Frame& child, uint32_t from) const;
  uint32_t find_class(u128 remaining, uint64_t state) const {
    return class_of_state.empty() ? table.find(remaining) : class_of_state[state];
  }
  void advance(uint32_t depth, uint32_t x);
  void prefetch_ahead(const Frame& f, uint32_t depth) const;
  uint32_t letters_in(u128 counts) const {
    uint32_t set = 0;
    for (int f = 0; f < layout.fields; ++f) set |= static_cast<uint32_t>((counts & layout.count_bits[f]) != 0) << f;
    return set;
  }
  size_t emit_plain(Frame& f, RowBatch& out, RowBlock*& run, size_t room);
  size_t run(RowBatch& out, size_t max_count);
};

OrderedEngine::OrderedEngine(OrderedRequest r, StopWatch* watch) : request(std::move(r)) {
  stop.watch = watch;
  prepare();
  stop.watch = nullptr;
}

void OrderedEngine::prepare() {
  layout = make_lattice_layout(request.phrase);
  total = request.phrase.total();
  const bool usable = ordered_search_supports(request) && total > 0 &&
                      request.words.size() == request.word_counts.size() && request.words.size() < UINT32_MAX;
  if (!usable) {
    status = SearchStatus::kCompleted;
    return;
  }
  prepare_rules();
  prepare_words();
}

// Start letters owed and patterns; either can rule out every solution.
void OrderedEngine::prepare_rules() {
  for (const auto& [letter, needed] : request.start_demand) {
    if (needed == 0) continue;
    if (letter >= 26) {
      status = SearchStatus::kCompleted;  // no word begins with it
      continue;
    }
    if (needed > total) {
      status = SearchStatus::kCompleted;  // more words than letters
      continue;
    }
    const uint32_t owed = needed;
    if (owed > demand.count[letter]) {
      demand.total += owed - demand.count[letter];
      demand.count[letter] = static_cast<uint16_t>(owed);
    }
  }
  for (const std::string& p : request.patterns) {
    const CharCounts counts = std::get<CharCounts>(CharCounts::from_str(p));
    if (!request.phrase.can_subtract(counts)) status = SearchStatus::kCompleted;  // never satisfiable
    pattern_packed.push_back(request.phrase.can_subtract(counts) ? pack(counts, layout) : 0);
  }
  last_holder.assign(request.patterns.size(), -1);
  all_patterns = request.patterns.empty() ? 0 : ~uint64_t{0} >> (64 - request.patterns.size());
  plain = all_patterns == 0 && demand.total == 0;
  if (demand.total > total) status = SearchStatus::kCompleted;
}

void OrderedEngine::prepare_words() {
  // Word numbers index the caller's list, so a word the phrase cannot spell
  // keeps its place, with no letters and length 0, and is never picked.
  for (uint32_t w = 0; w < request.words.size(); ++w) {
    const std::string& word = request.words[w];
    const bool fit = !word.empty() && request.phrase.can_subtract(request.word_counts[w]);
    packed.push_back(fit ? pack(request.word_counts[w], layout) : ~static_cast<u128>(0));
    index.push_back(fit ? state_index(request.word_counts[w], layout) : 0);
    len.push_back(fit ? static_cast<uint32_t>(word.size()) : 0);
    first_letter.push_back(fit ? static_cast<uint8_t>(word[0] - 'a') : 0);
    letter_set.push_back(fit ? letters_in(packed.back()) : 0);
    uint64_t bits = 0;
    for (size_t i = 0; fit && i < request.patterns.size(); ++i) {
      if (word.find(request.patterns[i]) != std::string::npos) bits |= uint64_t{1} << i;
    }
    pattern_bits.push_back(bits);
    for (size_t i = 0; i < request.patterns.size(); ++i) {
      if (bits >> i & 1) last_holder[i] = w;
    }
    if (fit) {
      min_len = std::min(min_len, len.back());
      max_len = std::max(max_len, len.back());
    }
  }
  if (max_len == 0) {
    status = SearchStatus::kCompleted;
    return;
  }
  table = make_class_table(packed, index, len);
  if (layout.states && layout.states <= request.memory_cap / 4 / sizeof(uint32_t)) {
    class_of_state.assign(layout.states, ClassTable::kNone);
    for (uint32_t c = 0; c < table.classes.size(); ++c) {
      if (table.classes[c].len) class_of_state[table.classes[c].index] = c;
    }
  }
  pair_index = make_pair_index(table, layout, pack(request.phrase, layout), request.memory_cap / 4);
  table_bytes = class_of_state.capacity() * sizeof(uint32_t) + pair_index.bytes();
  prepare_pair_cache();
  prefetch = layout.states > (uint64_t{1} << 16);
  peak_bytes = table_bytes;
  cache.init(table, layout, pair_index, class_of_state, max_len, stop, &peak_bytes);
  cache.set_limit(request.memory_cap - std::min(request.memory_cap, table_bytes), table_bytes);
  has_len.assign(max_len + 1, false);
  for (uint32_t l : len) {
    if (l) has_len[l] = true;
  }
  len_step.assign(max_len + 1, 0);
  for (uint32_t l = max_len, longer = 0; l >= 1; --l) {
    if (!has_len[l]) continue;
    if (longer) len_step[l] = std::gcd(len_step[longer], longer - l);
    longer = l;
  }
  max_k = total / min_len;
  if (request.max_words) max_k = std::min(max_k, *request.max_words);
  path.assign(max_k + 1, 0);
  lists.resize(max_k + 1);
}

// Moves (k, L) to the next block that can hold a solution by its lengths.
bool OrderedEngine::next_block_shape() {
  while (true) {
    if (k == 0 || L <= min_len) {
      if (++k > max_k) return false;
      L = std::min(max_len, total / k) + 1;
    }
    --L;
    if (L < min_len) continue;
    // Products in 64 bits: k and the lengths can each pass 2^16.
    if (!has_len[L] || L + uint64_t{k - 1} * max_len < total) continue;
    if (k == 1 && L != total) continue;
    // Without this, a phrase of one letter repeated over few lengths enters
    // every k up to its length, each block as deep as k: quadratic.
    const uint64_t beyond = total - uint64_t{k} * L;  // L <= total / k
    if (len_step[L] ? beyond % len_step[L] != 0 : beyond != 0) continue;
    return true;
  }
}

size_t OrderedEngine::memo_bytes() const {
  size_t sum = table_bytes;
  for (const CompletionMemo& m : memos) sum += m.bytes();
  return sum;
}

// The full memo where it is cheap enough and fits; else the cache of its
// values (`lazy`); else, with too little room even for that, the memo of
// the last two words or none.
const CompletionMemo* OrderedEngine::memo_for(uint32_t min_length, uint32_t words) {
  lazy = false;
  const uint32_t need = std::min<uint32_t>(words - 1, 63);
  if (need < 2) return nullptr;
  if (layout.states == 0) {
    fallback = true;
    return nullptr;
  }
  // Until the first solution, the cache: a memo takes a whole table build,
  // which the few values the search asks for by then do not repay. The
  // block's memo comes after that solution (run).
  provisional = !found_any && cache.usable(min_length, words);
  if (provisional) {
    lazy = true;
    return nullptr;
  }
  // On a big lattice the full memo costs more than it saves.
  const bool pairs_only = memo_build_steps(table, layout, min_length) > request.memo_step_budget;
  if (pairs_only && cache.usable(min_length, words)) {
    lazy = true;
    return nullptr;
  }
  if (pairs_only && need > 2) fallback = true;
  for (const CompletionMemo& m : memos) {
    if (m.min_len == min_length && (m.max_left >= need || pairs_only)) return &m;
  }
  uint32_t full = std::min<uint32_t>(63, total / min_length);
  if (request.max_words) full = std::min(full, *request.max_words - 1);
  if (pairs_only) full = 2;
  for (uint32_t want : {full, std::min(need, full)}) {
    const size_t bytes = pairs_only ? state_table_bytes(layout.states, 2 * sizeof(uint32_t))
                                    : memo_build_bytes(layout.states, want);
    if ((want < need && !pairs_only) || bytes > request.memory_cap - table_bytes) continue;
    // Make room: drop the memo of this length (too short), then others,
    // then what the cache holds beyond the rest.
    std::erase_if(memos, [&](const CompletionMemo& m) { return m.min_len == min_length; });
    while (!memos.empty() && memo_bytes() + bytes > request.memory_cap) memos.pop_back();
    cache.set_limit(request.memory_cap - memo_bytes() - bytes, memo_bytes() + bytes);
    peak_bytes = std::max(peak_bytes, memo_bytes() + bytes + cache.bytes());
    CompletionMemo built;
    const bool complete = pairs_only ? build_pair_memo(built, table, layout, pack(request.phrase, layout),
                                                       min_length, stop)
                                     : build_memo(built, table, layout, min_length, want, stop);
    if (!complete) return nullptr;
    memos.push_back(std::move(built));
    cache.set_limit(request.memory_cap - memo_bytes(), memo_bytes());
    return &memos.back();
  }
  lazy = cache.usable(min_length, words);
  fallback |= !lazy;
  return nullptr;
}

void OrderedEngine::set_emit(Frame& f, uint32_t cls, uint32_t from, uint64_t open, const Owed& owed) {
  const OrderedClass& c = table.classes[cls];
  const uint32_t* begin = table.members.data() + c.first;
  const uint32_t* end = table.members.data() + c.end;
  f.emit_pos = static_cast<uint32_t>(std::lower_bound(begin, end, from) - table.members.data());
  f.emit_end = c.end;
  f.emit_pairs = false;
  f.emit_patterns = open;
  f.emit_owed = owed;
}

// Appends every (y, z), from <= y <= z, whose classes split `state` under
// the block's length rule, unordered.
void OrderedEngine::collect_pairs(uint64_t state, uint32_t from, bool need_shortest,
                                  std::vector<std::array<uint32_t, 2>>& out) const {
  for (uint32_t p = pair_index.start[state]; p < pair_index.start[state + 1]; ++p) {
    const OrderedClass& a = table.classes[pair_index.pairs[p][0]];
    const OrderedClass& b = table.classes[pair_index.pairs[p][1]];
    if (a.len < L || b.len < L || (need_shortest && a.len != L && b.len != L)) continue;
    if (a.max_word < from || b.max_word < from) continue;
    const uint32_t* m = table.members.data();
    const uint32_t a_first = static_cast<uint32_t>(std::lower_bound(m + a.first, m + a.end, from) - m);
    const uint32_t b_first = static_cast<uint32_t>(std::lower_bound(m + b.first, m + b.end, from) - m);
    for (uint32_t i = a_first; i < a.end; ++i) {
      for (uint32_t j = &a == &b ? i : b_first; j < b.end; ++j) {
        out.push_back({std::min(m[i], m[j]), std::max(m[i], m[j])});
      }
    }
  }
}

// The pairs of `state` from word `from` on, in order.
OrderedEngine::PairRange OrderedEngine::gather_pairs(uint64_t state, uint32_t from, bool need_shortest) {
  PairRange range;
  if (pair_cache.on()) {
    cached_pairs(state, from, need_shortest, range.begin, range.end);
    range.stored = true;
    return range;
  }
  pair_buffer.clear();
  collect_pairs(state, from, need_shortest, pair_buffer);
  std::sort(pair_buffer.begin(), pair_buffer.end());
  range.end = static_cast<uint32_t>(pair_buffer.size());
  return range;
}

// The pairs of `state` from word `from` on, from the cache (which must be
// on): the range [begin, end) of its store.
void OrderedEngine::cached_pairs(uint64_t state, uint32_t from, bool need_shortest, uint32_t& begin_out,
                                 uint32_t& end_out) {
  const size_t key = state * 2 + need_shortest;
  if (pair_cache.slot[key] == 0) {
    std::vector<std::array<uint32_t, 2>>& store = pair_cache.store;
    const auto begin = static_cast<uint32_t>(store.size());
    collect_pairs(state, 0, need_shortest, store);
    std::sort(store.begin() + begin, store.end());
    pair_cache.entries.push_back({static_cast<uint32_t>(key), begin, static_cast<uint32_t>(store.size())});
    pair_cache.slot[key] = static_cast<uint32_t>(pair_cache.entries.size());
  }
  const auto& [key_again, begin, end] = pair_cache.entries[pair_cache.slot[key] - 1];
  const auto* first = pair_cache.store.data();
  begin_out = static_cast<uint32_t>(
      std::partition_point(first + begin, first + end, [&](const auto& p) { return p[0] < from; }) - first);
  end_out = end;
}

// On where the slots and twice every pair of words (for need_shortest and
// not) take little room: a sixteenth of the cap, counted in the tables.
void OrderedEngine::prepare_pair_cache() {
  if (pair_index.start.empty() || layout.states > (uint64_t{1} << 30)) return;
  uint64_t pairs = 0;
  for (const auto& [a, b] : pair_index.pairs) {
    const uint64_t na = table.classes[a].end - table.classes[a].first;
    const uint64_t nb = table.classes[b].end - table.classes[b].first;
    pairs += a == b ? na * (na + 1) / 2 : na * nb;
  }
  const uint64_t bytes = layout.states * 2 * sizeof(uint32_t) + pairs * 2 * sizeof(pair_cache.store[0]);
  if (pairs * 2 >= UINT32_MAX || bytes > request.memory_cap / 16) return;
  pair_cache.slot.assign(layout.states * 2, 0);
  pair_cache.store.reserve(pairs * 2);
  table_bytes += pair_cache.bytes();
}

void OrderedEngine::set_emit_pairs(Frame& f, const PairRange& pairs, uint64_t open, const Owed& owed) {
  f.emit_pos = pairs.begin;
  f.emit_end = pairs.end;
  f.emit_pairs = true;
  f.emit_stored = pairs.stored;
  f.emit_patterns = open;
  f.emit_owed = owed;
}

bool OrderedEngine::completes(const Frame& f, uint32_t y, uint32_t z) const {
  if (f.emit_patterns & ~(pattern_bits[y] | pattern_bits[z])) return false;
  Owed owed = f.emit_owed;
  owed.pay(first_letter[y]);
  if (f.emit_pairs) owed.pay(first_letter[z]);
  return owed.total == 0;
}

bool OrderedEngine::start_next_block() {
  while (status == SearchStatus::kRunning) {
    if (!next_block_shape()) {
      status = SearchStatus::kCompleted;
      return false;
    }
    stack.clear();
    pair_cache.start_block(L);
    stack.reserve(max_k + 1);
    Frame root{};
    root.remaining = pack(request.phrase, layout);
    root.index = state_index(request.phrase, layout);
    root.letters_left = total;
    root.words_left = k;
    root.need_shortest = true;
    root.open_patterns = all_patterns;
    root.owed = demand;
    if (k == 1) {
      const uint32_t cls = find_class(root.remaining, root.index);
      if (cls == ClassTable::kNone) continue;
      set_emit(root, cls, 0, all_patterns, demand);
      stack.push_back(root);
      in_block = true;
      return true;
    }
    if (k == 2 && !pair_index.start.empty()) {
      const PairRange pairs = gather_pairs(root.index, 0, true);
      if (pairs.empty()) continue;
      set_emit_pairs(root, pairs, all_patterns, demand);
      stack.push_back(root);
      in_block = true;
      return true;
    }
    // Before any table is built for the block: most blocks before the
    // first solution of a long phrase hold none, which the cache tells at
    // the price of a few values.
    if (!block_may_hold(root)) {
      if (stop.reason == SearchStatus::kRunning) continue;
      status = stop.reason;
      return false;
    }
    memo = memo_for(L, k);
    if (stop.reason != SearchStatus::kRunning) {
      status = stop.reason;
      return false;
    }
    if (memo && k <= memo->max_left && memo->get(root.index, k, true) == 0) continue;
    std::vector<Candidate>& list = lists[0];
    list.clear();
    const uint32_t longest = total - (k - 1) * L;
    for (uint32_t w = 0; w < len.size(); ++w) {
      if (len[w] >= L && len[w] <= longest) list.push_back({packed[w], w, len[w], true});
    }
    mark_enterable(list.data(), list.data() + list.size(), root);
    root.cursor = 0;
    root.end = static_cast<uint32_t>(list.size());
    stack.push_back(root);
    in_block = true;
    return true;
  }
  return false;
}

// Can the block's root hold a solution, as far as the cache can tell? No
// when no k words of at least L letters, one of exactly L, spell the
// phrase; and at the first block of k words, when no k words at all do,
// which rules out the blocks of k left (the next shape then has k + 1).
bool OrderedEngine::block_may_hold(const Frame& root) {
  if (!cache.usable(L, k)) return true;
  if (k != checked_words) {
    checked_words = k;
    if (cache.usable(min_len, k) &&
        cache.exists_within(root.remaining, root.index, total, min_len, k, false,
                            request.word_count_check_budget) == false) {
      L = min_len;
      return false;
    }
  }
  return cache.exists(root.remaining, root.index, total, L, k, true);
}

// Can `child` (with at least two words left, the next no earlier than word
// `from`) still be completed? Patterns and start letters by plain tests;
// lengths too when there is no memo, which is exact about them.
bool OrderedEngine::viable(const Frame& child, uint32_t from) const {
  const uint32_t j = child.words_left;
  if (child.letters_left < uint64_t{j} * L || child.letters_left > uint64_t{j} * max_len) return false;
  if (!plain) {
    // Later words are `from` or after: they start with its letter or later,
    // and a pattern needs a word at or after `from` holding it.
    for (uint64_t open = child.open_patterns; open; open &= open - 1) {
      const int p = __builtin_ctzll(open);
      if (last_holder[p] < from || !fits(child.remaining, pattern_packed[p], layout.guard)) return false;
    }
    if (child.owed.total > j) return false;
    for (int letter = 0; child.owed.total && letter < 26; ++letter) {
      if (!child.owed.count[letter]) continue;
      if (letter < first_letter[from] || child.owed.count[letter] > letter_count(child.remaining, letter, layout)) {
        return false;
      }
    }
  }
  return true;
}

// Takes word `x` at `depth` of the top frame.
void OrderedEngine::prefetch_ahead(const Frame& f, uint32_t depth) const {
  constexpr uint32_t kAhead = 6;
  if (f.cursor + kAhead >= f.end) return;
  const uint32_t y = lists[depth][f.cursor + kAhead].word;
  const uint64_t state = f.index - index[y];
  const uint32_t words_left = f.words_left - 1;
  if (words_left == 1) {
    if (!class_of_state.empty()) __builtin_prefetch(&class_of_state[state]);
  } else if (words_left == 2 && !pair_index.start.empty()) {
    __builtin_prefetch(&pair_index.start[state]);
  } else if (lazy) {
    cache.prefetch(state, L, words_left, f.need_shortest && len[y] != L);
  }
}

void OrderedEngine::advance(uint32_t depth, uint32_t x) {
  Frame& f = stack.back();
  // The values this frame asks for next are far apart in memory: start
  // loading one a few words ahead.
  if (prefetch) prefetch_ahead(f, depth);
  const u128 remaining = f.remaining - packed[x];
  const uint32_t words_left = f.words_left - 1;
  const bool need_shortest = f.need_shortest && len[x] != L;
  const uint64_t state = f.index - index[x];
  if (words_left == 1) {
    const uint32_t cls = find_class(remaining, state);
    if (cls == ClassTable::kNone) return;
    const OrderedClass& c = table.classes[cls];
    if (c.max_word < x || c.len < L || (need_shortest && c.len != L)) return;
    path[depth] = x;
    if (plain) {
      set_emit(f, cls, x, 0, f.owed);
    } else {
      Owed owed = f.owed;
      owed.pay(first_letter[x]);
      set_emit(f, cls, x, f.open_patterns & ~pattern_bits[x], owed);
    }
    return;
  }
  if (words_left == 2 && !pair_index.start.empty()) {
    if (memo && memo->get(state, 2, need_shortest) <= x) return;
    const PairRange pairs = gather_pairs(state, x, need_shortest);
    if (pairs.empty()) return;
    path[depth] = x;
    if (plain) {
      set_emit_pairs(f, pairs, 0, f.owed);
    } else {
      Owed owed = f.owed;
      owed.pay(first_letter[x]);
      set_emit_pairs(f, pairs, f.open_patterns & ~pattern_bits[x], owed);
    }
    return;
  }
  // The next word is the smallest of the completion, so no later than the
  // largest smallest word the memo knows for it.
  uint32_t limit = UINT32_MAX;
  const bool exact = lazy || (memo && words_left <= memo->max_left);
  if (exact) {
    // A stop inside the cache gives 0, so nothing is entered.
    limit = lazy ? cache.get(remaining, state, f.letters_left - len[x], L, words_left, need_shortest)
                 : memo->get(state, words_left, need_shortest);
    if (limit <= x) return;
    // Lists feed the lists below them, except the last one built: the list
    // the pair index takes over after, else the one before the last word.
    if (words_left > (pair_index.start.empty() ? 2u : 3u)) limit = UINT32_MAX;
  }
  Frame child;
  child.remaining = remaining;
  child.index = state;
  child.letters_left = f.letters_left - len[x];
  child.words_left = words_left;
  child.need_shortest = need_shortest;
  if (!plain) {
    child.open_patterns = f.open_patterns & ~pattern_bits[x];
    child.owed = f.owed;
    child.owed.pay(first_letter[x]);
  }
  if ((!exact || !plain) && !viable(child, x)) return;
  path[depth] = x;
  // The next word is x or later and must fit in what is left.
  const std::vector<Candidate>& from = lists[depth];
  std::vector<Candidate>& list = lists[depth + 1];
  list.resize(f.end - f.cursor + 1);
  Candidate* out = list.data();
  const uint32_t longest = child.letters_left - (words_left - 1) * L;
  uint32_t covered = 0;
  const Candidate* first = from.data() + f.cursor - 1;
  const Candidate* last = from.data() + f.end;
  const bool narrow = (layout.guard >> 64) == 0;
  if (exact) {
    out = narrow ? keep_fitting<uint64_t, false>(first, last, out, limit, longest, remaining, layout.guard, nullptr)
                 : keep_fitting<u128, false>(first, last, out, limit, longest, remaining, layout.guard, nullptr);
  } else {
    out = narrow ? keep_fitting<uint64_t, true>(first, last, out, limit, longest, remaining, layout.guard, &covered,
                                                       letter_set.data())
                 : keep_fitting<u128, true>(first, last, out, limit, longest, remaining, layout.guard, &covered,
                                                       letter_set.data());
  }
  child.cursor = 0;
  child.end = static_cast<uint32_t>(out - list.data());
  if (child.end == 0) return;
  mark_enterable(list.data(), out, child);
  // Without the memo: every letter left must be in some word still allowed.
  if (!exact && (covered & letters_in(remaining)) != letters_in(remaining)) return;
  stack.push_back(child);
}

// Sets which words of the list of `f` it may enter: where the memo is exact
// for what each leaves, the words after which it knows a completion, which
// is what `advance` checks first. Skipping the rest in place costs far less
// than entering each.
void OrderedEngine::mark_enterable(Candidate* first, Candidate* last, const Frame& f) const {
  const uint32_t next_left = f.words_left - 1;
  if (!memo || lazy || next_left < 2 || next_left > memo->max_left) {
    for (; first != last; ++first) first->enter = true;
    return;
  }
  const uint32_t* any = memo->best.data() + size_t{(next_left - 2) * 2} * memo->states;
  const uint32_t* owed = any + memo->states;
  for (; first != last; ++first) {
    const bool short_owed = f.need_shortest && first->len != L;
    first->enter = (short_owed ? owed : any)[f.index - index[first->word]] > first->word;
  }
}

// The batch's run for rows of the block's width.
RowBlock& OrderedEngine::run_for(RowBatch& out, RowBlock*& run, size_t room) {
  if (!run || run->width != k) {
    run = &out.blocks.emplace_back(RowBlock{k, {}});
    // The batch's room, up to a bound: growing it row by row costs copies.
    run->rows.reserve(std::min<size_t>(room, size_t{1} << 16) * k);
  }
  return *run;
}

// A new frame of a plain request with three words left, its list from the
// cached pairs of what each word leaves: every row at once when the batch
// has room for them all, and the frame goes; else nothing changes. Saves
// entering each word for its two or so rows.
size_t OrderedEngine::emit_last_three(RowBatch& out, RowBlock*& run, size_t room) {
  const Frame& f = stack.back();
  const auto depth = static_cast<uint32_t>(stack.size() - 1);
  const std::vector<Candidate>& list = lists[depth];
  threes.clear();
  size_t rows = 0;
  for (uint32_t i = f.cursor; i < f.end; ++i) {
    if (!list[i].enter) continue;
    const uint32_t y = list[i].word;
    uint32_t begin = 0, end = 0;
    cached_pairs(f.index - index[y], y, f.need_shortest && len[y] != L, begin, end);
    rows += end - begin;
    if (rows > room) return 0;
    threes.push_back({y, begin, end});
  }
  std::vector<uint32_t>& out_rows = run_for(out, run, room).rows;
  const size_t at = out_rows.size();
  out_rows.resize(at + rows * k);
  uint32_t* row = out_rows.data() + at;
  const std::array<uint32_t, 2>* pairs = pair_cache.store.data();
  for (const auto& [y, begin, end] : threes) {
    for (uint32_t p = begin; p < end; ++p, row += k) {
      for (uint32_t d = 0; d < depth; ++d) row[d] = path[d];
      row[depth] = y;
      row[depth + 1] = pairs[p][0];
      row[depth + 2] = pairs[p][1];
    }
  }
  stack.pop_back();
  if (stack.empty()) in_block = false;
  return rows;
}

// Without patterns or start letters every final word completes a solution:
// as many rows as the batch has room for, in one go.
size_t OrderedEngine::emit_plain(Frame& f, RowBatch& out, RowBlock*& run, size_t room) {
  run_for(out, run, room);
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>(f.emit_end - f.emit_pos, room));
  // Element by element: a row is a few words, too short for a memmove call
  // to pay, and resizing first would write each twice.
  std::vector<uint32_t>& rows = run->rows;
  const uint32_t fixed = f.emit_pairs ? k - 2 : k - 1;
  for (uint32_t i = 0; i < n; ++i) {
    for (uint32_t d = 0; d < fixed; ++d) rows.push_back(path[d]);
    if (f.emit_pairs) {
      const auto& [y, z] = emitted_pair(f, f.emit_pos + i);
      rows.push_back(y);
      rows.push_back(z);
    } else {
      rows.push_back(table.members[f.emit_pos + i]);
    }
  }
  f.emit_pos += n;
  return n;
}

size_t OrderedEngine::run(RowBatch& out, size_t max_count) {
  size_t produced = 0;
  RowBlock* run = out.blocks.empty() ? nullptr : &out.blocks.back();
  // Every batch starts with a check, so a limit already past yields nothing.
  if (status == SearchStatus::kRunning && stop.stopped()) status = stop.reason;
  while (produced < max_count && status == SearchStatus::kRunning) {
    if ((++steps & 1023) == 0 && stop.stopped()) {
      status = stop.reason;
      break;
    }
    found_any |= produced > 0;
    if (provisional && found_any && in_block) {
      // The memo's values are the cache's: the block goes on with it from
      // where it stands.
      memo = memo_for(L, k);
      if (stop.reason != SearchStatus::kRunning) {
        status = stop.reason;
        break;
      }
    }
    if (!in_block && !start_next_block()) break;
    Frame& f = stack.back();
    if (f.emit_pos < f.emit_end && plain) {
      produced += emit_plain(f, out, run, max_count - produced);
      continue;
    }
    if (f.emit_pos < f.emit_end) {
      if (f.emit_pairs) {
        const auto [y, z] = emitted_pair(f, f.emit_pos++);
        if (!plain && !completes(f, y, z)) continue;
        path[k - 2] = y;
        path[k - 1] = z;
      } else {
        const uint32_t y = table.members[f.emit_pos++];
        if (!plain && !completes(f, y, y)) continue;
        path[k - 1] = y;
      }
      if (!run || run->width != k) run = &out.blocks.emplace_back(RowBlock{k, {}});
      run->rows.insert(run->rows.end(), path.begin(), path.begin() + k);
      ++produced;
      continue;
    }
    const uint32_t depth = static_cast<uint32_t>(stack.size() - 1);
    const std::vector<Candidate>& list = lists[depth];
    while (f.cursor < f.end && !list[f.cursor].enter) ++f.cursor;
    if (f.cursor == f.end) {
      stack.pop_back();
      if (stack.empty()) in_block = false;
      continue;
    }
    advance(depth, list[f.cursor++].word);
    // A value the cache cut short must not skip solutions: stop here.
    if (stop.reason != SearchStatus::kRunning) {
      status = stop.reason;
    } else if (plain && pair_cache.on() && stack.size() == depth + 2 && stack.back().words_left == 3) {
      produced += emit_last_three(out, run, max_count - produced);
    }
  }
  found_any |= produced > 0;
  return produced;
}

}  // namespace internal

namespace {

// The request's shape alone (no words), for supports().
internal::OrderedRequest ordered_shape(const PreparedRequest& p) {
  internal::OrderedRequest shape;
  shape.phrase = p.phrase;
  shape.patterns = p.rules.patterns;
  for (const auto& [letter, needed] : p.rules.must_start) {
    shape.start_demand.emplace_back(static_cast<uint8_t>(letter), needed);
  }
  return shape;
}

// The prepared request in the ordered search's own terms (a copy of the
// candidates: the search may outlive the dictionary).
internal::OrderedRequest ordered_request(const PreparedRequest& p) {
  internal::OrderedRequest request;
  request.word_counts.reserve(p.candidates.counts.size());
  for (const auto& letters : p.candidates.counts) request.word_counts.push_back(CharCounts{letters});
  request.words = p.candidates.words;
  request.phrase = p.phrase;
  request.max_words = p.rules.max_words;
  for (const auto& [letter, needed] : p.rules.must_start) {
    request.start_demand.emplace_back(static_cast<uint8_t>(letter), needed);
  }
  request.patterns = p.rules.patterns;
  return request;
}

}  // namespace

OrderedSearch::OrderedSearch(const PreparedRequest& request, StopWatch& watch)
    : engine_(std::make_unique<internal::OrderedEngine>(ordered_request(request), &watch)) {}
OrderedSearch::OrderedSearch(internal::OrderedRequest request)
    : engine_(std::make_unique<internal::OrderedEngine>(std::move(request), nullptr)) {}
OrderedSearch::~OrderedSearch() = default;
OrderedSearch::OrderedSearch(OrderedSearch&&) noexcept = default;
OrderedSearch& OrderedSearch::operator=(OrderedSearch&&) noexcept = default;

bool OrderedSearch::supports(const PreparedRequest& request) {
  return internal::ordered_search_supports(ordered_shape(request));
}

size_t OrderedSearch::next_batch(RowBatch& out, size_t max_count, StopWatch& watch) {
  engine_->stop.watch = &watch;
  const size_t n = engine_->run(out, max_count);
  engine_->stop.watch = nullptr;
  return n;
}

size_t OrderedSearch::next_batch(RowBatch& out, size_t max_count) { return engine_->run(out, max_count); }

bool OrderedSearch::next(std::vector<uint32_t>& solution) {
  RowBatch batch;
  if (engine_->run(batch, 1) == 0) return false;
  solution = std::move(batch.blocks.back().rows);
  return true;
}

SearchStatus OrderedSearch::status() const { return engine_->status; }
const std::vector<std::string>& OrderedSearch::words() const { return engine_->request.words; }
size_t OrderedSearch::table_peak_bytes() const { return engine_->peak_bytes; }
bool OrderedSearch::used_fallback() const { return engine_->fallback; }

}  // namespace anagram
