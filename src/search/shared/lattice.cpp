// File: search/shared/lattice.cpp
//
// The lattice tables: layout, class table, pair index, completion bound
// (search/shared/lattice.h).
// Shared by the searches. Tested by tests/cpp/search_ordered_test.cpp.
#include "search/shared/lattice.h"

#include <algorithm>
#include <numeric>

namespace anagram {

PackedLayout make_lattice_layout(const CharCounts& phrase) {
  std::vector<int> letters;
  for (int letter = 0; letter < 26; ++letter) {
    if (phrase.counts[letter] != 0) letters.push_back(letter);
  }
  return make_lattice_layout(phrase, letters);
}

PackedLayout make_lattice_layout(const CharCounts& phrase, const std::vector<int>& letters) {
  PackedLayout layout;
  int bits = 0;
  unsigned __int128 states = 1;
  for (int letter : letters) {
    const uint32_t count = phrase.counts[letter];
    if (count == 0) continue;
    const int f = layout.fields++;
    layout.letter_of_field[f] = letter;
    layout.cap[f] = count;
    layout.offset[f] = bits;
    const int width = 64 - __builtin_clzll(count) + 1;
    bits += width;
    if (bits > 128) return layout;
    layout.guard |= static_cast<u128>(1) << (layout.offset[f] + width - 1);
    layout.count_bits[f] = ((static_cast<u128>(1) << (width - 1)) - 1) << layout.offset[f];
    layout.stride[f] = static_cast<uint64_t>(states);
    states *= uint64_t{count} + 1;  // a count of 2^32 - 1 must not wrap to 0
    if (states >> 63) states = static_cast<u128>(1) << 63;  // saturate: too many to number
  }
  layout.ok = true;
  layout.states = (states >> 63) ? 0 : static_cast<uint64_t>(states);
  return layout;
}

u128 pack(const CharCounts& counts, const PackedLayout& layout) {
  u128 packed = 0;
  for (int f = 0; f < layout.fields; ++f) {
    packed |= static_cast<u128>(counts.counts[layout.letter_of_field[f]]) << layout.offset[f];
  }
  return packed;
}

uint64_t state_index(const CharCounts& counts, const PackedLayout& layout) {
  uint64_t index = 0;
  for (int f = 0; f < layout.fields; ++f) index += counts.counts[layout.letter_of_field[f]] * layout.stride[f];
  return index;
}

uint32_t letter_count(u128 packed, int letter, const PackedLayout& layout) {
  for (int f = 0; f < layout.fields; ++f) {
    if (layout.letter_of_field[f] != letter) continue;
    const int width = 64 - __builtin_clzll(layout.cap[f]);
    return static_cast<uint32_t>((packed >> layout.offset[f]) & ((static_cast<u128>(1) << width) - 1));
  }
  return 0;
}

namespace {

size_t slot_of(u128 packed, size_t mask) {
  const uint64_t mixed = static_cast<uint64_t>(packed) * 0x9E3779B97F4A7C15ULL ^
                         static_cast<uint64_t>(packed >> 64) * 0xC2B2AE3D27D4EB4FULL;
  return static_cast<size_t>(mixed ^ (mixed >> 29)) & mask;
}

}  // namespace

uint32_t ClassTable::find(u128 packed) const {
  const size_t mask = slots.size() - 1;
  for (size_t s = slot_of(packed, mask);; s = (s + 1) & mask) {
    const uint32_t entry = slots[s];
    if (entry == 0) return kNone;
    if (classes[entry - 1].packed == packed) return entry - 1;
  }
}

size_t ClassTable::bytes() const {
  return classes.capacity() * sizeof(OrderedClass) +
         (members.capacity() + class_of_word.capacity() + slots.capacity()) * sizeof(uint32_t);
}

ClassTable make_class_table(const std::vector<u128>& packed_words, const std::vector<uint64_t>& word_index,
                            const std::vector<uint32_t>& word_len) {
  const uint32_t n = static_cast<uint32_t>(packed_words.size());
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  // Same letters together, each class's words ascending.
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return packed_words[a] < packed_words[b]; });
  ClassTable table;
  table.class_of_word.resize(n);
  size_t size = 16;
  while (size < 2 * static_cast<size_t>(n)) size *= 2;
  table.slots.assign(size, 0);
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t w = order[i];
    if (i == 0 || packed_words[order[i - 1]] != packed_words[w]) {
      const uint32_t id = static_cast<uint32_t>(table.classes.size());
      table.classes.push_back({packed_words[w], word_index[w], word_len[w], i, i, 0});
      size_t s = slot_of(packed_words[w], size - 1);
      while (table.slots[s] != 0) s = (s + 1) & (size - 1);
      table.slots[s] = id + 1;
    }
    OrderedClass& c = table.classes.back();
    table.members.push_back(w);
    c.end = i + 1;
    c.max_word = w;
    table.class_of_word[w] = static_cast<uint32_t>(table.classes.size() - 1);
  }
  return table;
}

bool StopCheck::stopped() {
  if (reason != SearchStatus::kRunning) return true;
  if (watch && watch->check()) reason = watch->reason();
  return reason != SearchStatus::kRunning;
}

size_t state_table_bytes(uint64_t states, size_t per_state) {
  return states > SIZE_MAX / per_state ? SIZE_MAX : static_cast<size_t>(states) * per_state;
}

size_t memo_build_bytes(uint64_t states, uint32_t max_left) {
  if (max_left < 2) return 0;
  // The values, and two reach masks per state while building.
  return state_table_bytes(states, 2 * (max_left - 1) * sizeof(uint32_t) + 2 * sizeof(uint64_t));
}

bool build_memo(CompletionMemo& memo, const ClassTable& table, const PackedLayout& layout, uint32_t min_len,
                uint32_t max_left, StopCheck& stop) {
  const uint64_t states = layout.states;
  memo.min_len = min_len;
  memo.max_left = max_left;
  memo.states = states;
  memo.best.assign(static_cast<size_t>(states) * 2 * (max_left - 1), 0);
  // Bit j of reach_any[s]: s splits into j words of at least min_len letters,
  // all from classes added so far; reach_short: one of them has exactly
  // min_len letters.
  std::vector<uint64_t> reach_any(states, 0), reach_short(states, 0);
  reach_any[0] = 1;
  const uint64_t keep = (max_left >= 63 ? ~uint64_t{0} : ((uint64_t{1} << (max_left + 1)) - 1)) & ~uint64_t{1};
  std::vector<uint32_t> order;
  for (uint32_t c = 0; c < table.classes.size(); ++c) {
    if (table.classes[c].len >= min_len) order.push_back(c);
  }
  std::sort(order.begin(), order.end(),
            [&](uint32_t a, uint32_t b) { return table.classes[a].max_word > table.classes[b].max_word; });
  const int fields = layout.fields;
  std::array<uint32_t, 26> room{}, digit{};
  for (uint32_t id : order) {
    if (stop.stopped()) return false;
    const OrderedClass& c = table.classes[id];
    const uint32_t value = c.max_word + 1;
    const bool shortest = c.len == min_len;
    for (int f = 0; f < fields; ++f) {
      room[f] = layout.cap[f] - letter_count(c.packed, layout.letter_of_field[f], layout);
      digit[f] = 0;
    }
    // Every state holding the class, as (state less the class) + class, in
    // ascending order: a state's smaller part is final before it is read, so
    // a class may be used again and again.
    uint64_t base = 0;
    while (true) {
      const uint64_t s = base + c.index;
      const uint64_t any = (reach_any[base] << 1) & keep;
      const uint64_t with_short = ((shortest ? reach_any[base] | reach_short[base] : reach_short[base]) << 1) & keep;
      uint64_t fresh_any = any & ~reach_any[s];
      uint64_t fresh_short = with_short & ~reach_short[s];
      reach_any[s] |= any;
      reach_short[s] |= with_short;
      for (; fresh_any; fresh_any &= fresh_any - 1) {
        const int j = __builtin_ctzll(fresh_any);
        if (j >= 2) memo.best[((j - 2) * 2) * states + s] = value;
      }
      for (; fresh_short; fresh_short &= fresh_short - 1) {
        const int j = __builtin_ctzll(fresh_short);
        if (j >= 2) memo.best[((j - 2) * 2 + 1) * states + s] = value;
      }
      int f = 0;
      for (; f < fields; ++f) {
        if (digit[f] < room[f]) {
          ++digit[f];
          base += layout.stride[f];
          break;
        }
        base -= digit[f] * layout.stride[f];
        digit[f] = 0;
      }
      if (f == fields) break;
    }
  }
  return true;
}

uint64_t memo_build_steps(const ClassTable& table, const PackedLayout& layout, uint32_t min_len) {
  const uint64_t kMany = uint64_t{1} << 62;
  uint64_t steps = 0;
  for (const OrderedClass& c : table.classes) {
    if (c.len < min_len) continue;
    uint64_t box = 1;
    for (int f = 0; f < layout.fields && box < kMany; ++f) {
      box *= uint64_t{layout.cap[f]} - letter_count(c.packed, layout.letter_of_field[f], layout) + 1;
    }
    steps = std::min(kMany, steps + std::min(box, kMany));
  }
  return steps;
}

bool build_pair_memo(CompletionMemo& memo, const ClassTable& table, const PackedLayout& layout, u128 phrase,
                     uint32_t min_len, StopCheck& stop) {
  // The fit test of a sum: see make_pair_index.
  const uint64_t states = layout.states;
  memo.min_len = min_len;
  memo.max_left = 2;
  memo.states = states;
  memo.best.assign(static_cast<size_t>(states) * 2, 0);
  std::vector<uint32_t> usable;
  for (uint32_t c = 0; c < table.classes.size(); ++c) {
    if (table.classes[c].len >= min_len) usable.push_back(c);
  }
  for (size_t i = 0; i < usable.size(); ++i) {
    if ((i & 63) == 0 && stop.stopped()) return false;
    const OrderedClass& a = table.classes[usable[i]];
    for (size_t j = i; j < usable.size(); ++j) {
      const OrderedClass& b = table.classes[usable[j]];
      if (!fits(phrase, a.packed + b.packed, layout.guard)) continue;
      const uint64_t s = a.index + b.index;
      const uint32_t value = std::min(a.max_word, b.max_word) + 1;
      memo.best[s] = std::max(memo.best[s], value);
      if (a.len == min_len || b.len == min_len) memo.best[states + s] = std::max(memo.best[states + s], value);
    }
  }
  return true;
}

PairIndex make_pair_index(const ClassTable& table, const PackedLayout& layout, u128 phrase, size_t max_bytes) {
  PairIndex index;
  const size_t n = table.classes.size();
  if (layout.states == 0 || state_table_bytes(layout.states + 1, sizeof(uint32_t)) > max_bytes) return index;
  // The pairs are found once into a scratch list as long as the index's.
  const size_t room = (max_bytes - (layout.states + 1) * sizeof(uint32_t)) / (2 * sizeof(index.pairs[0]));
  std::vector<std::array<uint32_t, 2>> found;
  for (size_t i = 0; i < n; ++i) {
    const OrderedClass& a = table.classes[i];
    if (a.len == 0) continue;
    for (size_t j = i; j < n; ++j) {
      const OrderedClass& b = table.classes[j];
      // Fields of a sum stay below twice the phrase's count, so a field too
      // big shows in its guard bit and fails the test against the phrase.
      if (!b.len || !fits(phrase, a.packed + b.packed, layout.guard)) continue;
      if (found.size() == room) return index;
      found.push_back({static_cast<uint32_t>(i), static_cast<uint32_t>(j)});
    }
  }
  auto state_of = [&](const std::array<uint32_t, 2>& p) {
    return table.classes[p[0]].index + table.classes[p[1]].index;
  };
  index.start.assign(layout.states + 1, 0);
  for (const auto& p : found) ++index.start[state_of(p) + 1];
  for (size_t s = 1; s < index.start.size(); ++s) index.start[s] += index.start[s - 1];
  index.pairs.resize(found.size());
  std::vector<uint32_t> next(index.start.begin(), index.start.end() - 1);
  for (const auto& p : found) index.pairs[next[state_of(p)]++] = p;
  return index;
}

namespace {

size_t bucket_of(uint64_t index, uint32_t tag, size_t mask) {
  uint64_t h = index * 0x9E3779B97F4A7C15ULL ^ uint64_t{tag} * 0xC2B2AE3D27D4EB4FULL;
  h ^= h >> 31;
  return static_cast<size_t>(h) & mask;
}

size_t filter_bit(u128 packed, size_t mask) {
  const uint64_t mixed = static_cast<uint64_t>(packed) * 0xD6E8FEB86659FD93ULL ^
                         static_cast<uint64_t>(packed >> 64) * 0x9E3779B97F4A7C15ULL;
  return static_cast<size_t>(mixed ^ (mixed >> 32)) & mask;
}

uint32_t tag_of(uint32_t min_len, uint32_t words, bool need_shortest) {
  return min_len << 8 | words << 1 | static_cast<uint32_t>(need_shortest);
}

// Above every tag_of (lengths take 23 bits): marks the answers of exists().
constexpr uint32_t kAnyTag = uint32_t{1} << 31;

}  // namespace

void CompletionCache::init(const ClassTable& t, const PackedLayout& l, const PairIndex& p,
                           const std::vector<uint32_t>& by_state, uint32_t longest, StopCheck& s,
                           size_t* peak_bytes) {
  table = &t;
  layout = &l;
  pairs = &p;
  class_of_state = &by_state;
  max_len = longest;
  stop = &s;
  peak = peak_bytes;
  std::vector<uint32_t> order;
  for (uint32_t c = 0; c < t.classes.size(); ++c) {
    if (t.classes[c].len) order.push_back(c);
  }
  std::sort(order.begin(), order.end(),
            [&](uint32_t a, uint32_t b) { return t.classes[a].max_word > t.classes[b].max_word; });
  holding.assign(l.fields, {});
  for (uint32_t c : order) {
    for (int f = 0; f < l.fields; ++f) {
      const OrderedClass& w = t.classes[c];
      if (w.packed & l.count_bits[f]) holding[f].push_back({w.packed, w.index, w.len, w.max_word});
    }
  }
  holding_low.clear();
  if ((l.guard >> 64) == 0) {
    for (const std::vector<Held>& list : holding) {
      std::vector<uint64_t>& low = holding_low.emplace_back();
      for (const Held& c : list) low.push_back(static_cast<uint64_t>(c.packed));
    }
  }
  size_t filter_bits = 1024;
  while (filter_bits < 16 * t.classes.size()) filter_bits *= 2;
  class_filter.assign(filter_bits / 64, 0);
  for (const OrderedClass& c : t.classes) {
    const size_t bit = filter_bit(c.packed, filter_bits - 1);
    class_filter[bit / 64] |= uint64_t{1} << (bit % 64);
  }
  rarest_first.resize(l.fields);
  std::iota(rarest_first.begin(), rarest_first.end(), 0);
  std::stable_sort(rarest_first.begin(), rarest_first.end(),
                   [&](int a, int b) { return holding[a].size() < holding[b].size(); });
}

void CompletionCache::set_limit(size_t max_bytes, size_t other_bytes) {
  limit = max_bytes;
  others = other_bytes;
  if (bytes() > limit) {
    buckets = {};
    plain = {};
    live = 0;
  }
}

uint32_t CompletionCache::get(u128 remaining, uint64_t index, uint32_t letters, uint32_t min_len, uint32_t words,
                              bool need_shortest) {
  return value(remaining, index, letters, min_len, words, need_shortest, false);
}

bool CompletionCache::exists(u128 remaining, uint64_t index, uint32_t letters, uint32_t min_len, uint32_t words,
                             bool need_shortest) {
  return value(remaining, index, letters, min_len, words, need_shortest, true) != 0;
}

std::optional<bool> CompletionCache::exists_within(u128 remaining, uint64_t index, uint32_t letters,
                                                   uint32_t min_len, uint32_t words, bool need_shortest,
                                                   uint64_t max_computed) {
  budget = max_computed;
  const bool found = value(remaining, index, letters, min_len, words, need_shortest, true) != 0;
  budget.reset();
  const bool ran_out = out_of_budget;
  out_of_budget = false;
  if (ran_out) return std::nullopt;
  return found;
}

uint32_t CompletionCache::value(u128 remaining, uint64_t index, uint32_t letters, uint32_t min_len, uint32_t words,
                                bool need_shortest, bool any) {
  if (words == 1) return last_word(remaining, index, min_len, need_shortest);
  if (words == 2 && !pairs->start.empty()) {
    uint32_t* slot = plain_slot(index, min_len, 2, need_shortest);
    if (!slot) return last_pair(index, min_len, need_shortest);
    if (*slot == kUnknown) *slot = last_pair(index, min_len, need_shortest);
    return *slot;
  }
  if (letters < uint64_t{words} * min_len || letters > uint64_t{words} * max_len) return 0;
  if (words == 3) {
    if (uint32_t* slot = plain_slot(index, min_len, 3, need_shortest)) {
      if (*slot != kUnknown) return *slot;
      // The plain table holds exact values only.
      if (!any) {
        const uint32_t found = compute(remaining, index, letters, min_len, words, need_shortest, false);
        if (halted()) return 0;
        return *slot = found;
      }
    }
  }
  const uint32_t tag = tag_of(min_len, words, need_shortest) | (any ? kAnyTag : 0);
  if (!buckets.empty()) {
    const Entry* e = buckets[bucket_of(index, tag, buckets.size() - 1)].ways;
    for (size_t w = 0; w < kWays; ++w) {
      if (e[w].index == index && e[w].tag == tag) return e[w].value;
    }
  }
  const uint32_t found = compute(remaining, index, letters, min_len, words, need_shortest, any);
  if (halted()) return 0;
  store(index, tag, found);
  return found;
}

uint32_t CompletionCache::compute(u128 remaining, uint64_t index, uint32_t letters, uint32_t min_len,
                                  uint32_t words, bool need_shortest, bool any) {
  if ((++polls & 4095) == 0 && stop->stopped()) return 0;
  if (budget && (*budget)-- == 0) {
    out_of_budget = true;  // nothing computed from here on is stored
    return 0;
  }
  int field = rarest_first[0];
  for (int f : rarest_first) {
    if (remaining & layout->count_bits[f]) {
      field = f;
      break;
    }
  }
  const uint32_t longest = letters - (words - 1) * min_len;
  uint32_t best = 0;
  // A few fitting classes at a time, their values loaded together.
  constexpr int kChunk = 8;
  std::array<const Held*, kChunk> chunk;
  const std::vector<Held>& list = holding[field];
  // Most classes do not fit: where the letters take one machine word, the
  // test reads a list of those alone, a quarter of the bytes.
  const uint64_t* low = holding_low.empty() ? nullptr : holding_low[field].data();
  const auto guard = static_cast<uint64_t>(layout->guard);
  const uint64_t room = static_cast<uint64_t>(remaining) | guard;
  for (size_t next = 0; next < list.size();) {
    int n = 0;
    for (; next < list.size() && n < kChunk; ++next) {
      if (low && ((room - low[next]) & guard) != guard) continue;
      const Held& c = list[next];
      if (c.max_word + 1 <= best) break;
      if (c.len < min_len || c.len > longest || !fits(remaining, c.packed, layout->guard)) continue;
      prefetch(index - c.index, min_len, words - 1, need_shortest && c.len != min_len);
      chunk[n++] = &c;
    }
    if (n == 0) break;
    for (int i = 0; i < n; ++i) {
      const Held& c = *chunk[i];
      if (c.max_word + 1 <= best) return best;  // later classes cannot do better
      const uint32_t rest = value(remaining - c.packed, index - c.index, letters - c.len, min_len, words - 1,
                                  need_shortest && c.len != min_len, any);
      if (halted()) return 0;
      best = std::max(best, std::min(c.max_word + 1, rest));
      if (any && best) return best;
    }
  }
  return best;
}

uint32_t CompletionCache::last_word(u128 remaining, uint64_t index, uint32_t min_len, bool need_shortest) const {
  if (class_of_state->empty()) {
    const size_t bit = filter_bit(remaining, class_filter.size() * 64 - 1);
    if (!(class_filter[bit / 64] >> (bit % 64) & 1)) return 0;
  }
  const uint32_t id = class_of_state->empty() ? table->find(remaining) : (*class_of_state)[index];
  if (id == ClassTable::kNone) return 0;
  const OrderedClass& c = table->classes[id];
  if (c.len < min_len || (need_shortest && c.len != min_len)) return 0;
  return c.max_word + 1;
}

uint32_t CompletionCache::last_pair(uint64_t index, uint32_t min_len, bool need_shortest) const {
  uint32_t best = 0;
  for (uint32_t p = pairs->start[index]; p < pairs->start[index + 1]; ++p) {
    const OrderedClass& a = table->classes[pairs->pairs[p][0]];
    const OrderedClass& b = table->classes[pairs->pairs[p][1]];
    if (a.len < min_len || b.len < min_len || (need_shortest && a.len != min_len && b.len != min_len)) continue;
    best = std::max(best, std::min(a.max_word, b.max_word) + 1);
  }
  return best;
}

uint32_t* CompletionCache::plain_slot(uint64_t index, uint32_t min_len, uint32_t words, bool need_shortest) {
  Plain& p = plain[words - 2];
  if (p.values.empty()) {
    // Only with the pair index, which makes these values cheap to compute
    // and so worth tables of their own; the three-word one first, in at most
    // half the room, the other in at most a quarter more.
    const size_t size = state_table_bytes(layout->states, 2 * sizeof(uint32_t));
    if (pairs->start.empty() || (words == 2 && plain[1].values.empty()) || size == SIZE_MAX) return nullptr;
    if (bytes() + size + size / 8 > limit / 4 * (words == 3 ? 2 : 3)) return nullptr;
    p.values.assign(size / sizeof(uint32_t), kUnknown);
    p.touched.reserve(p.values.size() / 32);
    p.overflow = false;
    p.min_len = min_len;
    if (peak) *peak = std::max(*peak, others + bytes());
  } else if (p.min_len != min_len) {
    if (p.overflow) {
      std::fill(p.values.begin(), p.values.end(), kUnknown);
    } else {
      for (uint64_t i : p.touched) p.values[i] = kUnknown;
    }
    p.touched.clear();
    p.overflow = false;
    p.min_len = min_len;
  }
  const uint64_t i = index * 2 + need_shortest;
  // The caller sets the slot when it is unknown.
  if (!p.overflow && p.values[i] == kUnknown) {
    if (p.touched.size() == p.touched.capacity()) {
      p.overflow = true;
    } else {
      p.touched.push_back(i);
    }
  }
  return &p.values[i];
}

void CompletionCache::prefetch(uint64_t index, uint32_t min_len, uint32_t words, bool need_shortest) const {
  if (words == 1) {
    if (!class_of_state->empty()) __builtin_prefetch(&(*class_of_state)[index]);
    return;
  }
  if (words == 2 && plain[0].values.empty() && !pairs->start.empty()) {
    __builtin_prefetch(&pairs->start[index]);
    return;
  }
  if (words <= 3 && !plain[words - 2].values.empty()) {
    __builtin_prefetch(&plain[words - 2].values[index * 2]);
    return;
  }
  if (buckets.empty()) return;
  __builtin_prefetch(&buckets[bucket_of(index, tag_of(min_len, words, need_shortest), buckets.size() - 1)]);
}

void CompletionCache::store(uint64_t index, uint32_t tag, uint32_t value) {
  const size_t count = buckets.size();
  if (count == 0 || live >= count * kWays / 4 * 3) {
    // Grow by dropping the old entries first: the cache never holds more
    // than its limit, and the lost values come back on demand.
    const size_t want = std::max<size_t>(count * 2, kMinBytes / sizeof(Bucket));
    if (bytes() - count * sizeof(Bucket) + want * sizeof(Bucket) <= limit) resize(want);
  }
  if (buckets.empty()) return;
  Entry* e = buckets[bucket_of(index, tag, buckets.size() - 1)].ways;
  // Newest first; the oldest of a full bucket goes.
  if (e[kWays - 1].tag == 0) ++live;
  for (size_t w = kWays - 1; w > 0; --w) e[w] = e[w - 1];
  e[0] = {index, tag, value};
}

void CompletionCache::resize(size_t count) {
  buckets = {};
  buckets.assign(count, Bucket{});
  live = 0;
  if (peak) *peak = std::max(*peak, others + bytes());
}

}  // namespace anagram
