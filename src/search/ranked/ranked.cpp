// File: search/ranked/ranked.cpp
//
// The ranked search (RankedSearch in search/search.h): the solutions by
// score, best first, equal scores in the result order. Tested by the
// differential tests of every search (tests/cpp/differential_test.cpp,
// fuzz/fuzz_search.cpp) and tests/python/test_best.py.
//
// Bound: for a sub-multiset of the phrase's letters reachable from the
// phrase by taking words away, the best score of any word multiset spelling
// exactly those letters (max-plus over the lattice, top-down). It ignores
// the request's solution rules (word count, patterns, start letters), so it
// is an upper bound, exact where they do not bite. Values are learnt only
// where the walk needs them: each letter has a value such that every class
// is worth at most its letters' sum, which bounds a state from above at no
// cost; a state's classes are tried in order of what that promises, and
// the ones that cannot beat what is known (or what the caller needs to
// know) are never tried. A state so cut keeps an upper bound for next time.
// Values live in an array by state number where the lattice is small
// enough, else hashed.
//
// Walk: partial anagrams are built in one canonical word order, so each
// word multiset once: the next word always holds the remaining letter that
// comes first in the layout (the one the fewest classes hold), and words
// holding the same first letter come in rank order. A partial anagram's
// priority is its score plus an upper bound of what it leaves; made exact
// when it comes first, it goes back if it fell. A node's children are the
// list of its letter state's next words sorted by their upper bounds
// (shared by every node in that state) and only the best is queued, each
// popped child queueing its next sibling: the queue grows with what is
// taken, not with the branching.
//
// Ties: when the queue's best priority falls below a run of equal scores,
// no other solution of that score is left; the run is then sorted into the
// result order and given out.
#include <algorithm>
#include <numeric>

#include "search/search.h"
#include "search/shared/lattice.h"

namespace anagram {
namespace internal {

namespace {

constexpr FixedScore kUnknown = INT64_MAX;
constexpr FixedScore kNoSpelling = INT64_MIN;
constexpr uint32_t kNoList = UINT32_MAX;
// Pops between two looks at the memory used.
constexpr uint32_t kMemoryInterval = 1024;
// The bound steps tried for every value at once before learning them only
// as needed.
constexpr uint64_t kTrialPairs = 1'500'000;
// Bound steps after the first solution below which the walk goes on
// learning values only as needed.
constexpr uint64_t kSwitchPairs = 15'000'000;
// The steps of the greedy search for a first solution's score.
constexpr uint64_t kGreedySteps = 1000000;
// How many fitting classes bound() finds ahead of the one it works on.
constexpr uint32_t kAhead = 8;

// What is known of a state's best score: exact, or an upper bound.
struct Known {
  FixedScore value;
  bool exact;
};
// Kept in a state map as twice the value plus one when exact; kNoSpelling
// is known exactly only.
constexpr FixedScore kNoSpellingCode = INT64_MIN + 1;
FixedScore encode(Known k) { return k.value == kNoSpelling ? kNoSpellingCode : k.value * 2 + (k.exact ? 1 : 0); }
Known decode(FixedScore code) {
  return code == kNoSpellingCode ? Known{kNoSpelling, true} : Known{code >> 1, (code & 1) != 0};
}

// Values by letter state, open addressing on the state's key: its number,
// or its packed letters where the lattice has too many states to number.
// Only the states the search reaches are stored, and never the empty one
// (key 0 marks a free slot).
template <typename Key>
class StateMap {
 public:
  FixedScore get(Key key) const {
    if (slots_.empty()) return kUnknown;
    for (size_t s = slot_of(key);; s = (s + 1) & mask_) {
      const Slot& slot = slots_[s];
      if (slot.key == key) return slot.value;
      if (slot.key == 0) return kUnknown;
    }
  }
  void set(Key key, FixedScore value) {
    if ((used_ + 1) * 4 > slots_.size() * 3) grow();
    for (size_t s = slot_of(key);; s = (s + 1) & mask_) {
      Slot& slot = slots_[s];
      if (slot.key == key) {
        slot.value = value;
        return;
      }
      if (slot.key == 0) {
        slot = {key, value};
        ++used_;
        return;
      }
    }
  }
  void prefetch(Key key) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[slot_of(key)]);
  }
  size_t bytes() const { return slots_.capacity() * sizeof(Slot); }
  // The bytes a growth allocates if `adds` more keys could bring one.
  size_t growth_within(size_t adds) const {
    return (used_ + adds) * 4 > slots_.size() * 3 ? std::max<size_t>(kFirstSlots, 2 * slots_.size()) * sizeof(Slot)
                                                  : 0;
  }

 private:
  static constexpr size_t kFirstSlots = 1024;
  struct Slot {
    Key key;
    FixedScore value;
  };
  size_t slot_of(Key key) const {
    uint64_t mixed = static_cast<uint64_t>(key);
    if constexpr (sizeof(Key) > sizeof(uint64_t)) mixed ^= static_cast<uint64_t>(key >> 64) * 0xC2B2AE3D27D4EB4FULL;
    return static_cast<size_t>((mixed * 0x9E3779B97F4A7C15ULL) >> shift_);
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    const size_t size = std::max<size_t>(kFirstSlots, old.size() * 2);
    slots_.assign(size, Slot{0, 0});
    mask_ = size - 1;
    shift_ = 64 - __builtin_ctzll(size);
    used_ = 0;
    for (const Slot& s : old) {
      if (s.key != 0) set(s.key, s.value);
    }
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  int shift_ = 64;
  size_t used_ = 0;
};

// Values by state: a dense array by state number where the lattice is
// small enough and the values fit in 32 bits (no probing, and states close
// in the lattice are close in memory); else a map by state number where the
// lattice has one, else by packed letters.
struct StateValues {
  static constexpr int32_t kUnknown32 = INT32_MAX;
  bool numbered = true;
  std::vector<int32_t> dense;
  StateMap<uint64_t> by_index;
  StateMap<u128> by_letters;

  static constexpr int32_t kNoSpelling32 = INT32_MIN + 1;
  FixedScore get(u128 rem, uint64_t index) const {
    if (!dense.empty()) {
      const int32_t v = dense[index];
      return v == kUnknown32 ? kUnknown : v == kNoSpelling32 ? kNoSpellingCode : v;
    }
    return numbered ? by_index.get(index) : by_letters.get(rem);
  }
  void set(u128 rem, uint64_t index, FixedScore value) {
    if (!dense.empty()) {
      dense[index] = value == kNoSpellingCode ? kNoSpelling32 : static_cast<int32_t>(value);
    } else if (numbered) {
      by_index.set(index, value);
    } else {
      by_letters.set(rem, value);
    }
  }
  void prefetch(u128 rem, uint64_t index) const {
    if (!dense.empty()) {
      __builtin_prefetch(&dense[index]);
    } else if (numbered) {
      by_index.prefetch(index);
    } else {
      by_letters.prefetch(rem);
    }
  }
  size_t bytes() const { return dense.capacity() * sizeof(int32_t) + by_index.bytes() + by_letters.bytes(); }
  size_t growth_within(size_t adds) const {
    if (!dense.empty()) return 0;
    return numbered ? by_index.growth_within(adds) : by_letters.growth_within(adds);
  }
};

int highest_bit(u128 x) {
  const uint64_t hi = static_cast<uint64_t>(x >> 64);
  return hi ? 127 - __builtin_clzll(hi) : 63 - __builtin_clzll(static_cast<uint64_t>(x));
}

int lowest_bit(u128 x) {
  const uint64_t lo = static_cast<uint64_t>(x);
  return lo ? __builtin_ctzll(lo) : 64 + __builtin_ctzll(static_cast<uint64_t>(x >> 64));
}

// The phrase's fields, rarest-holder letter first: a state's pivot (the
// letter one of its words must hold) is its lowest field.
struct Fields {
  PackedLayout layout;
  std::array<uint8_t, 128> field_of_bit{};
  std::array<u128, 26> guard_of_field{};

  void init(const PackedLayout& l) {
    layout = l;
    for (int f = 0; f < layout.fields; ++f) {
      const int top = f + 1 < layout.fields ? layout.offset[f + 1] : 128;
      for (int b = layout.offset[f]; b < top; ++b) field_of_bit[static_cast<size_t>(b)] = static_cast<uint8_t>(f);
      guard_of_field[f] = layout.guard & (layout.count_bits[f] << 1);
    }
  }
  int pivot(u128 rem) const { return field_of_bit[lowest_bit(rem)]; }
  uint32_t count(u128 p, int f) const {
    return static_cast<uint32_t>((p & layout.count_bits[f]) >> layout.offset[f]);
  }
  // The order of a fitting scan: by pivot, then the pivot's count, then the
  // counts from the last field (the letter most classes hold) down, so that
  // a state short of a common letter skips its holders at once.
  bool before(u128 a, u128 b) const {
    const int g = pivot(a);
    if (g != pivot(b)) return g < pivot(b);
    if (count(a, g) != count(b, g)) return count(a, g) < count(b, g);
    for (int f = layout.fields - 1; f > g; --f) {
      if (count(a, f) != count(b, f)) return count(a, f) < count(b, f);
    }
    return false;
  }
};

// Classes in the order of Fields::before, found by the states they fit in:
// a trie walk over one array.
struct FitIndex {
  struct Entry {
    u128 packed;
    uint64_t index;
    FixedScore top;
    uint32_t position;  // in the engine's classes
    FixedScore slack;   // its letters' values less its best score (>= 0)
  };
  std::vector<Entry> entries;
  // The same entries with each group in slack order, least first.
  std::vector<Entry> by_slack;
  // Group f (classes whose pivot is f) is [group_begin[f], group_begin[f + 1]).
  std::vector<uint32_t> group_begin;
  // skip[i * fields + f]: the first entry after i whose counts differ from
  // those of i before field f in the scan order. When entry i does not fit
  // and f is the first such field where it does not, nothing before that
  // entry fits either.
  std::vector<uint32_t> skip;
  int fields = 0;

  // `sorted` in the order of Fields::before.
  void build(const Fields& by, std::vector<Entry> sorted) {
    entries = std::move(sorted);
    fields = by.layout.fields;
    const size_t count = entries.size(), width = static_cast<size_t>(fields);
    group_begin.assign(width + 1, 0);
    for (const Entry& e : entries) ++group_begin[static_cast<size_t>(by.pivot(e.packed)) + 1];
    for (size_t f = 0; f < width; ++f) group_begin[f + 1] += group_begin[f];
    by_slack = entries;
    for (size_t f = 0; f < width; ++f) {
      std::stable_sort(by_slack.begin() + group_begin[f], by_slack.begin() + group_begin[f + 1],
                       [](const Entry& a, const Entry& b) { return a.slack < b.slack; });
    }
    skip.assign(count * width, 0);
    for (size_t i = count; i-- > 0;) {
      const u128 here = entries[i].packed;
      const int g = by.pivot(here);
      const bool last = i + 1 == count || by.pivot(entries[i + 1].packed) != g;
      // Levels of the scan order: the pivot, then the fields from the last.
      const auto level = [&](int f) { return f == g ? 0 : fields - f; };
      int differ = fields;
      if (!last) {
        const u128 next = entries[i + 1].packed;
        if (by.count(here, g) != by.count(next, g)) {
          differ = 0;
        } else {
          for (int f = fields - 1; f > g; --f) {
            if (by.count(here, f) != by.count(next, f)) {
              differ = level(f);
              break;
            }
          }
        }
      }
      for (int f = 0; f < fields; ++f) {
        skip[i * width + f] = !last && level(f) <= differ ? skip[(i + 1) * width + f] : static_cast<uint32_t>(i + 1);
      }
    }
  }

  // Calls visit(entry) for every entry that fits in `rem` (not empty) and
  // holds its pivot, in order, while visit returns true; false if stopped.
  template <typename Visit>
  bool for_each_fitting(const Fields& by, u128 rem, Visit&& visit) const {
    const int f = by.pivot(rem);
    const u128 guard = by.layout.guard, have = rem | guard, pivot_guard = by.guard_of_field[f];
    const size_t width = static_cast<size_t>(fields);
    for (uint32_t i = group_begin[f], end = group_begin[f + 1]; i < end;) {
      const u128 short_of = ~(have - entries[i].packed) & guard;
      if (short_of != 0) {
        i = (short_of & pivot_guard) ? end : skip[i * width + by.field_of_bit[highest_bit(short_of)]];
        continue;
      }
      if (!visit(entries[i])) return false;
      ++i;
    }
    return true;
  }
  size_t bytes() const {
    return (entries.capacity() + by_slack.capacity()) * sizeof(Entry) + (group_begin.capacity() + skip.capacity()) * sizeof(uint32_t);
  }
};

}  // namespace

struct RankedEngine {
  // Candidates with the same letters; their ranks are [first, end), best
  // score first.
  struct LetterClass {
    u128 packed;
    uint64_t index;
    FixedScore top;
    uint32_t first, end;
  };
  // A partial anagram that has been expanded: what it leaves, its score,
  // the word that made it (a rank) and its parent, for the words.
  struct Node {
    u128 rem;
    uint64_t index;
    FixedScore score;
    uint32_t parent;
    uint32_t rank;
    uint32_t depth;
    uint32_t list;  // its state's child list, or kNoList: the last word only
  };
  // Queued: child `pos` of node `node` (a position in its list, or with
  // kNoList a rank of the class of its remaining letters). Its priority is
  // exact, or an upper bound to be made exact when it comes first.
  struct Entry {
    FixedScore priority;
    uint32_t node;
    uint32_t pos : 30;
    uint32_t exact : 1;
    uint32_t sibling_queued : 1;
    bool operator<(const Entry& o) const { return priority < o.priority; }
  };
  struct Child {
    FixedScore value;  // the word's score plus an upper bound of what it leaves
    uint32_t rank;
  };
  // A finished solution of the run of equal scores being collected.
  struct Found {
    uint32_t offset, width, shortest;
  };

  std::vector<std::string> words;
  Fields by;
  ClassTable table;  // for the class of exactly the letters left
  std::vector<uint32_t> position_of_class;  // of each class of `table` in `classes`
  // The classes in the order of Fields::before.
  std::vector<LetterClass> classes;
  FitIndex all;
  std::vector<uint32_t> word_of_rank, class_of_rank, len_of_rank;
  std::vector<FixedScore> score_of_rank;
  std::vector<uint64_t> patterns_of_rank;
  uint64_t all_patterns = 0;
  std::vector<std::pair<int, uint32_t>> must_start;
  std::optional<uint32_t> max_words, max_solutions;

  StateValues bounds;
  StateValues list_of_state;
  std::vector<std::pair<uint32_t, uint32_t>> lists;
  std::vector<Child> children;
  std::vector<Node> nodes;
  std::vector<Entry> queue;

  FixedScore run_score = 0;
  std::vector<uint32_t> run_rows;
  std::vector<Found> run;
  // The sorted run being given out, from `ready_pos` on.
  std::vector<uint32_t> ready_rows;
  std::vector<Found> ready;
  size_t ready_pos = 0;
  FixedScore ready_score = 0;
  uint64_t given = 0;

  StopCheck stop;
  SearchStatus status = SearchStatus::kRunning;
  size_t cap = 0, peak = 0;
  bool over = false;
  uint32_t polls = 0;  // of the walk
  // The bound computations: their polls, their steps (a class tried in a
  // state) and those taken by the first solution, the steps past which
  // they give up, and whether they did (what they were doing is dropped).
  uint32_t bound_polls = 0;
  uint64_t pairs = 0, pairs_to_first = 0;
  uint64_t budget = UINT64_MAX;
  bool gave_up = false;
  // The classes that fit in the states exact() is working on, innermost last.
  std::vector<const FitIndex::Entry*> fitting;
  // The score of some solution found greedily (kNoSpelling: none yet):
  // while entries above it are settled, only whether they reach it matters.
  FixedScore known_score = kNoSpelling;
  size_t guesses = 0;  // how many solutions the last guess was for
  // Pruning pays for the first solutions; for many, every state's exact
  // value once costs less than values learnt again and again under
  // different cuts. Set once the steps since the first pass twice those
  // before it (or kSwitchPairs).
  bool exhaustive = false;
  std::vector<uint32_t> path;
  // A value per field such that every class's letters are worth at least
  // its best score: the sum over a state's letters bounds its best score.
  std::array<FixedScore, 26> letter_value{};
  FixedScore optimistic(u128 rem) const {
    FixedScore sum = 0;
    for (int f = 0; f < by.layout.fields; ++f) sum += letter_value[f] * by.count(rem, f);
    return sum;
  }

  RankedEngine(const PreparedRequest& request, std::vector<FixedScore> scores, StopWatch& watch, RankedTuning tuning);
  void prepare_words(const PreparedRequest& request, const std::vector<FixedScore>& scores);
  Known bound(u128 rem, uint64_t index, FixedScore alpha);
  Known exact(u128 rem, uint64_t index);
  bool stopping();
  FixedScore ceiling_of(u128 rem, uint64_t index) const;
  uint32_t list_for(u128 rem, uint64_t index);
  bool next_child(const Node& n, uint32_t& pos) const;
  void queue_child(uint32_t node, uint32_t pos);
  bool settle(Entry& top);
  // Scores of solutions found greedily: the best `keep`, least first.
  struct Guess {
    uint64_t budget;
    size_t keep;
    std::vector<FixedScore> scores;  // a heap, least on top
    FixedScore floor() const { return scores.size() < keep ? kNoSpelling : scores.front(); }
    void add(FixedScore score) {
      if (scores.size() == keep && score <= scores.front()) return;
      scores.push_back(score);
      std::push_heap(scores.begin(), scores.end(), std::greater<>());
      if (scores.size() > keep) {
        std::pop_heap(scores.begin(), scores.end(), std::greater<>());
        scores.pop_back();
      }
    }
  };
  void greedy(u128 rem, uint64_t index, FixedScore score, Guess& found);
  void guess_known_score(size_t keep);
  void expand(uint32_t parent, uint32_t pos);
  void finish(const Node& parent, uint32_t rank, FixedScore score);
  void close_run();
  void sort_run();
  void trim_run(size_t keep);
  size_t bytes() const;
  bool check_memory();
  size_t run_batch(RowBatch& out, std::vector<FixedScore>& scores, size_t max_count);
};

RankedEngine::RankedEngine(const PreparedRequest& request, std::vector<FixedScore> scores, StopWatch& watch,
                           RankedTuning tuning)
    : cap(tuning.memory_cap), exhaustive(tuning.exhaustive) {
  stop.watch = &watch;
  prepare_words(request, scores);
  bounds.numbered = list_of_state.numbered = by.layout.states != 0;
  // Dense when it takes at most half the cap and every code fits: a state's
  // value is at most its letter count times the largest score in size.
  FixedScore largest = 0;
  for (const LetterClass& k : classes) largest = std::max(largest, k.top < 0 ? -k.top : k.top);
  uint64_t letters = 0;
  for (int f = 0; f < by.layout.fields; ++f) letters += by.layout.cap[f];
  const bool small_values = largest < (FixedScore{1} << 29) && static_cast<FixedScore>(letters) < (FixedScore{1} << 29) / std::max<FixedScore>(largest, 1);
  if (tuning.dense_table && by.layout.states != 0 && small_values && by.layout.states <= cap / 2 / sizeof(int32_t)) {
    bounds.dense.assign(by.layout.states, StateValues::kUnknown32);
  }
  const u128 phrase = pack(request.phrase, by.layout);
  const uint64_t index = by.layout.states ? state_index(request.phrase, by.layout) : 0;
  if (!exhaustive) {
    // Every value at once where that is cheap: the walk then never waits.
    // Past the budget, what was learnt stays and the rest comes as needed.
    exhaustive = true;
    budget = kTrialPairs;
    bound(phrase, index, kNoSpelling);
    exhaustive = !gave_up;
    gave_up = false;
    budget = UINT64_MAX;
  }
  if (stop.reason != SearchStatus::kRunning) {
    status = stop.reason;
  } else {
    nodes.push_back({phrase, index, 0, UINT32_MAX, UINT32_MAX, 0, kNoList});
    known_score = INT64_MAX;
    if (!exhaustive) guess_known_score(1);
    queue_child(0, 0);
  }
  stop.watch = nullptr;
  peak = bytes();
}

void RankedEngine::prepare_words(const PreparedRequest& request, const std::vector<FixedScore>& scores) {
  words = request.candidates.words;
  max_words = request.rules.max_words;
  max_solutions = request.rules.max_solutions;
  must_start = request.rules.must_start;
  const size_t n = words.size();
  // The phrase's letters by how few classes hold them.
  const PackedLayout by_letter = make_lattice_layout(request.phrase);
  std::vector<u128> packed(n);
  for (size_t w = 0; w < n; ++w) packed[w] = pack(CharCounts{request.candidates.counts[w]}, by_letter);
  std::vector<u128> distinct = packed;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::vector<size_t> holders(static_cast<size_t>(by_letter.fields), 0);
  for (const u128 d : distinct) {
    for (int f = 0; f < by_letter.fields; ++f) holders[f] += (d & by_letter.count_bits[f]) ? 1 : 0;
  }
  std::vector<int> fields_by_holders(static_cast<size_t>(by_letter.fields));
  std::iota(fields_by_holders.begin(), fields_by_holders.end(), 0);
  std::stable_sort(fields_by_holders.begin(), fields_by_holders.end(),
                   [&](int a, int b) { return holders[a] < holders[b]; });
  std::vector<int> letters;
  for (int f : fields_by_holders) letters.push_back(by_letter.letter_of_field[f]);
  by.init(make_lattice_layout(request.phrase, letters));
  const PackedLayout& layout = by.layout;
  std::vector<uint64_t> index(n);
  std::vector<uint32_t> len(n);
  for (size_t w = 0; w < n; ++w) {
    const CharCounts counts{request.candidates.counts[w]};
    packed[w] = pack(counts, layout);
    index[w] = layout.states ? state_index(counts, layout) : 0;
    len[w] = static_cast<uint32_t>(words[w].size());
  }
  table = make_class_table(packed, index, len);
  const size_t count = table.classes.size();
  std::vector<uint32_t> order(count);
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](uint32_t a, uint32_t b) { return by.before(table.classes[a].packed, table.classes[b].packed); });

  // Ranks: by class in that order, then score (best first).
  const std::vector<std::string>& patterns = request.rules.patterns;
  all_patterns = patterns.size() >= 64 ? ~uint64_t{0} : (uint64_t{1} << patterns.size()) - 1;
  classes.resize(count);
  position_of_class.resize(count);
  std::vector<FitIndex::Entry> entries(count);
  for (uint32_t i = 0; i < count; ++i) {
    const OrderedClass& oc = table.classes[order[i]];
    position_of_class[order[i]] = i;
    std::vector<uint32_t> members(table.members.begin() + oc.first, table.members.begin() + oc.end);
    std::stable_sort(members.begin(), members.end(), [&](uint32_t a, uint32_t b) { return scores[a] > scores[b]; });
    LetterClass& lc = classes[i];
    lc = {oc.packed, oc.index, scores[members[0]], static_cast<uint32_t>(word_of_rank.size()), 0};
    for (uint32_t w : members) {
      uint64_t held = 0;
      for (size_t p = 0; p < patterns.size(); ++p) {
        if (words[w].find(patterns[p]) != std::string::npos) held |= uint64_t{1} << p;
      }
      word_of_rank.push_back(w);
      class_of_rank.push_back(i);
      len_of_rank.push_back(len[w]);
      score_of_rank.push_back(scores[w]);
      patterns_of_rank.push_back(held);
    }
    lc.end = static_cast<uint32_t>(word_of_rank.size());
    entries[i] = {lc.packed, lc.index, lc.top, i, 0};
  }
  letter_value.fill(INT64_MIN);
  for (const FitIndex::Entry& e : entries) {
    int64_t size = 0;
    for (int f = 0; f < by.layout.fields; ++f) size += by.count(e.packed, f);
    const FixedScore per = e.top >= 0 ? (e.top + size - 1) / size : -((-e.top) / size);
    for (int f = 0; f < by.layout.fields; ++f) {
      if (by.count(e.packed, f) != 0) letter_value[f] = std::max(letter_value[f], per);
    }
  }
  for (int f = 0; f < by.layout.fields; ++f) {
    if (letter_value[f] == INT64_MIN) letter_value[f] = 0;
  }
  // Then each letter as low as every class holding it allows, a few
  // rounds: the lower the values, the sooner a search can stop.
  for (int round = 0; round < 3; ++round) {
    for (int f = 0; f < by.layout.fields; ++f) {
      FixedScore need = INT64_MIN;
      for (const FitIndex::Entry& e : entries) {
        const FixedScore held = by.count(e.packed, f);
        if (held == 0) continue;
        const FixedScore rest = e.top - (optimistic(e.packed) - letter_value[f] * held);
        need = std::max(need, rest >= 0 ? (rest + held - 1) / held : -((-rest) / held));
      }
      if (need != INT64_MIN) letter_value[f] = need;
    }
  }
  for (FitIndex::Entry& e : entries) e.slack = optimistic(e.packed) - e.top;
  all.build(by, std::move(entries));
}

// The best score spelling exactly `rem` (kNoSpelling: none), exact, or
// when that is at most `alpha`, perhaps only an upper bound at most `alpha`.
// What it learns is kept for the state, an upper bound too. When it gives
// up it returns {kNoSpelling, false} and stores nothing.
Known RankedEngine::bound(u128 rem, uint64_t index, FixedScore alpha) {
  if (exhaustive) return exact(rem, index);
  if (rem == 0) return {0, true};
  FixedScore ceiling = optimistic(rem);
  const FixedScore code = bounds.get(rem, index);
  if (code != kUnknown) {
    const Known known = decode(code);
    if (known.exact || known.value <= alpha) return known;
    ceiling = std::min(ceiling, known.value);
  } else if (ceiling <= alpha) {
    return {ceiling, false};
  }
  if (stopping()) return {kNoSpelling, false};
  // The classes holding the pivot, least slack first: those whose letters
  // promise the most. Once one cannot beat what is known, no later one can.
  const int f = by.pivot(rem);
  const u128 guard = by.layout.guard, have = rem | guard;
  const FixedScore linear = optimistic(rem);
  FixedScore best = kNoSpelling;   // the best known exactly
  FixedScore above = kNoSpelling;  // what the others might still reach
  // The next few fitting classes are found ahead, their slots loading while
  // the one before them is worked on: most lookups miss the cache.
  uint32_t ahead[kAhead];
  size_t head = 0, tail = 0;
  uint32_t scan = all.group_begin[f];
  const uint32_t end = all.group_begin[f + 1];
  // The scan stops where not even the least slack can beat `alpha`.
  const auto fill = [&] {
    for (; tail - head < kAhead && scan < end; ++scan) {
      const FitIndex::Entry& k = all.by_slack[scan];
      if (linear - k.slack <= alpha) {
        above = std::max(above, linear - k.slack);
        scan = end;
        break;
      }
      if ((~(have - k.packed) & guard) != 0) continue;
      bounds.prefetch(rem - k.packed, index - k.index);
      ahead[tail++ % kAhead] = scan;
    }
  };
  for (fill(); head != tail; fill()) {
    const FitIndex::Entry& k = all.by_slack[ahead[head++ % kAhead]];
    const FixedScore floor = std::max(alpha, best);
    const FixedScore reach = linear - k.slack;
    if (reach <= floor) {
      above = std::max(above, reach);
      break;
    }
    ++pairs;
    const FixedScore child_alpha = floor == kNoSpelling ? kNoSpelling : floor - k.top;
    const Known rest = bound(rem - k.packed, index - k.index, child_alpha);
    if (gave_up) return {kNoSpelling, false};
    if (rest.value == kNoSpelling) continue;
    if (rest.exact) {
      best = std::max(best, k.top + rest.value);
    } else {
      above = std::max(above, k.top + rest.value);
    }
  }
  const Known result = best >= above ? Known{best, true} : Known{std::min(above, ceiling), false};
  bounds.set(rem, index, encode(result));
  return result;
}

// The exact value of `rem`, from the exact values of every state a class
// leaves of it: no cuts, so the classes come by the trie walk, which skips
// the ones that do not fit, their slots loading ahead.
Known RankedEngine::exact(u128 rem, uint64_t index) {
  if (rem == 0) return {0, true};
  const FixedScore code = bounds.get(rem, index);
  if (code != kUnknown && decode(code).exact) return decode(code);
  if (stopping()) return {kNoSpelling, false};
  const size_t begin = fitting.size();
  all.for_each_fitting(by, rem, [&](const FitIndex::Entry& e) {
    fitting.push_back(&e);
    return true;
  });
  const size_t end = fitting.size();
  for (size_t j = begin; j < std::min<size_t>(end, begin + kAhead); ++j) {
    bounds.prefetch(rem - fitting[j]->packed, index - fitting[j]->index);
  }
  FixedScore best = kNoSpelling;
  for (size_t j = begin; j < end; ++j) {
    if (j + kAhead < end) bounds.prefetch(rem - fitting[j + kAhead]->packed, index - fitting[j + kAhead]->index);
    const FitIndex::Entry& k = *fitting[j];
    ++pairs;
    const Known rest = exact(rem - k.packed, index - k.index);
    if (gave_up) {
      fitting.resize(begin);
      return {kNoSpelling, false};
    }
    if (rest.value != kNoSpelling) best = std::max(best, k.top + rest.value);
  }
  fitting.resize(begin);
  bounds.set(rem, index, encode({best, true}));
  return {best, true};
}

// Adds to `found` the scores of spellings of `rem` (plus `score`, what is
// taken already) found within its budget, depth first, the classes that
// promise most first, keeping the best `found.keep`, cut by the letter
// values below the worst of those kept.
void RankedEngine::greedy(u128 rem, uint64_t index, FixedScore score, Guess& found) {
  if (rem == 0) {
    found.add(score);
    return;
  }
  if (found.budget == 0 || stopping()) return;
  --found.budget;
  const FixedScore code = bounds.get(rem, index);
  if (code != kUnknown && decode(code).value == kNoSpelling) return;
  const int f = by.pivot(rem);
  const u128 guard = by.layout.guard, have = rem | guard;
  const FixedScore linear = optimistic(rem);
  for (uint32_t i = all.group_begin[f], end = all.group_begin[f + 1]; i < end && found.budget > 0; ++i) {
    const FitIndex::Entry& k = all.by_slack[i];
    if (score + linear - k.slack <= found.floor()) break;
    if ((~(have - k.packed) & guard) != 0) continue;
    greedy(rem - k.packed, index - k.index, score + k.top, found);
  }
}

// The score below which the next `keep` solutions are sure not to fall,
// or kNoSpelling; entries above it are then settled only as far as that.
void RankedEngine::guess_known_score(size_t keep) {
  Guess found{kGreedySteps, keep, {}};
  greedy(nodes[0].rem, nodes[0].index, 0, found);
  guesses = keep;
  known_score = found.scores.empty() || found.scores.front() >= known_score ? kNoSpelling : found.scores.front();
}

// True when the bound computations must give up: past their budget, or when
// the stop watch or the memory says so (asked now and then).
bool RankedEngine::stopping() {
  if (pairs > budget) {
    gave_up = true;
  } else {
    if ((++bound_polls & (kClockInterval - 1)) == 0) (void)(stop.stopped() || !check_memory());
    gave_up = stop.reason != SearchStatus::kRunning;
  }
  return gave_up;
}

// An upper bound of the best score spelling exactly `rem`: what is known
// of the state, else the value of its letters.
FixedScore RankedEngine::ceiling_of(u128 rem, uint64_t index) const {
  if (rem == 0) return 0;
  const FixedScore code = bounds.get(rem, index);
  return code == kUnknown ? optimistic(rem) : std::min(decode(code).value, optimistic(rem));
}

// The children of every node in state `rem`, best first by what they may
// reach: each word holding the state's pivot letter whose leftover is not
// known to be unspellable.
uint32_t RankedEngine::list_for(u128 rem, uint64_t index) {
  const FixedScore known = list_of_state.get(rem, index);
  if (known != kUnknown) return static_cast<uint32_t>(known);
  const uint32_t begin = static_cast<uint32_t>(children.size());
  all.for_each_fitting(by, rem, [&](const FitIndex::Entry& e) {
    const LetterClass& k = classes[e.position];
    const FixedScore rest = ceiling_of(rem - k.packed, index - k.index);
    if (rest == kNoSpelling) return true;
    for (uint32_t r = k.first; r < k.end; ++r) children.push_back({score_of_rank[r] + rest, r});
    return true;
  });
  std::sort(children.begin() + begin, children.end(), [](const Child& a, const Child& b) {
    return a.value != b.value ? a.value > b.value : a.rank < b.rank;
  });
  const uint32_t id = static_cast<uint32_t>(lists.size());
  lists.emplace_back(begin, static_cast<uint32_t>(children.size()));
  list_of_state.set(rem, index, id);
  return id;
}

// Moves `pos` to the first child of `n` at or after it that keeps the
// canonical order; false when there is none.
bool RankedEngine::next_child(const Node& n, uint32_t& pos) const {
  const uint32_t after = n.rank == UINT32_MAX ? 0 : n.rank;
  if (n.list == kNoList) {
    pos = std::max(pos, after);
    const uint32_t c = table.find(n.rem);
    if (c == ClassTable::kNone) return false;
    const LetterClass& k = classes[position_of_class[c]];
    return pos >= k.first && pos < k.end;
  }
  const auto [begin, end] = lists[n.list];
  for (; begin + pos < end; ++pos) {
    if (children[begin + pos].rank >= after) return true;
  }
  return false;
}

void RankedEngine::queue_child(uint32_t node, uint32_t pos) {
  Node& n = nodes[node];
  if (n.list == kNoList && !(max_words && n.depth + 1 == *max_words)) n.list = list_for(n.rem, n.index);
  if (n.list == kNoList) {
    // Only the last word: the class of exactly the letters left, from the
    // first rank the order allows.
    const uint32_t c = table.find(n.rem);
    if (c == ClassTable::kNone) return;
    pos = std::max(pos, classes[position_of_class[c]].first);
  }
  if (!next_child(n, pos)) return;
  const bool last = n.list == kNoList;
  const FixedScore value = last ? score_of_rank[pos] : children[lists[n.list].first + pos].value;
  queue.push_back({n.score + value, node, pos, last ? 1u : 0u, 0u});
  std::push_heap(queue.begin(), queue.end());
}

// Popped `top`: queues its next sibling once, then makes its priority exact.
// True when it is still the best to take; false when it went back to the
// queue with its lower exact priority, was dropped (nothing spells what it
// leaves), or the search stopped.
bool RankedEngine::settle(Entry& top) {
  if (!top.sibling_queued) {
    top.sibling_queued = 1;
    queue_child(top.node, top.pos + 1);
  }
  if (top.exact) return true;
  const Node& n = nodes[top.node];
  const uint32_t rank = children[lists[n.list].first + top.pos].rank;
  const LetterClass& k = classes[class_of_rank[rank]];
  const FixedScore base = n.score + score_of_rank[rank];
  // Above the score of a known solution, only whether it reaches that;
  // below it, a guess for more solutions.
  if (known_score != kNoSpelling && top.priority < known_score && !exhaustive) guess_known_score(guesses * 16);
  const FixedScore alpha =
      known_score != kNoSpelling && top.priority >= known_score ? known_score - base - 1 : kNoSpelling;
  const Known rest = bound(n.rem - k.packed, n.index - k.index, alpha);
  if (stop.reason != SearchStatus::kRunning || rest.value == kNoSpelling) return false;
  const FixedScore priority = base + rest.value;
  top.exact = rest.exact ? 1 : 0;
  if (top.exact && priority == top.priority) return true;
  top.priority = priority;
  queue.push_back(top);
  std::push_heap(queue.begin(), queue.end());
  return false;
}

// Takes child `pos` of `parent` (popped and settled): either finishes a
// solution or expands the child.
void RankedEngine::expand(uint32_t parent, uint32_t pos) {
  const Node& p = nodes[parent];
  const uint32_t rank = p.list == kNoList ? pos : children[lists[p.list].first + pos].rank;
  const LetterClass& k = classes[class_of_rank[rank]];
  const FixedScore score = p.score + score_of_rank[rank];
  if (p.rem == k.packed) {
    finish(p, rank, score);
    return;
  }
  const Node child{p.rem - k.packed, p.index - k.index, score, parent, rank, p.depth + 1, kNoList};
  nodes.push_back(child);
  queue_child(static_cast<uint32_t>(nodes.size() - 1), 0);
}

// A solution: kept for the run of its score when it meets the patterns and
// start letters.
void RankedEngine::finish(const Node& parent, uint32_t rank, FixedScore score) {
  path.clear();
  path.push_back(rank);
  for (const Node* n = &parent; n->rank != UINT32_MAX; n = &nodes[n->parent]) path.push_back(n->rank);
  uint64_t held = 0;
  StartCounts starts{};
  uint32_t shortest = UINT32_MAX;
  for (uint32_t r : path) {
    held |= patterns_of_rank[r];
    ++starts[static_cast<size_t>(words[word_of_rank[r]][0] - 'a')];
    shortest = std::min(shortest, len_of_rank[r]);
  }
  if (held != all_patterns) return;
  for (const auto& [letter, needed] : must_start) {
    if (starts[static_cast<size_t>(letter)] < needed) return;
  }
  if (run.empty()) run_score = score;
  run.push_back({static_cast<uint32_t>(run_rows.size()), static_cast<uint32_t>(path.size()), shortest});
  for (uint32_t r : path) run_rows.push_back(word_of_rank[r]);
  std::sort(run_rows.end() - static_cast<std::ptrdiff_t>(path.size()), run_rows.end());
  // Under a cap only the first of the run in the result order can be given:
  // keep those (now and then, so that keeping them costs little).
  if (max_solutions) {
    const size_t keep = *max_solutions - given;
    if (run.size() >= 2 * std::max<size_t>(keep, 1024)) trim_run(keep);
  }
}

void RankedEngine::sort_run() {
  std::sort(run.begin(), run.end(), [&](const Found& a, const Found& b) {
    if (a.width != b.width) return a.width < b.width;
    if (a.shortest != b.shortest) return a.shortest > b.shortest;
    return std::lexicographical_compare(run_rows.begin() + a.offset, run_rows.begin() + a.offset + a.width,
                                        run_rows.begin() + b.offset, run_rows.begin() + b.offset + b.width);
  });
}

// Keeps the first `keep` of the run in the result order.
void RankedEngine::trim_run(size_t keep) {
  sort_run();
  run.resize(std::min(run.size(), keep));
  std::vector<uint32_t> rows;
  for (Found& f : run) {
    const uint32_t offset = static_cast<uint32_t>(rows.size());
    rows.insert(rows.end(), run_rows.begin() + f.offset, run_rows.begin() + f.offset + f.width);
    f.offset = offset;
  }
  run_rows.swap(rows);
}

// The run of equal scores is whole: sort it into the result order.
void RankedEngine::close_run() {
  sort_run();
  ready_rows.swap(run_rows);
  ready.swap(run);
  ready_pos = 0;
  ready_score = run_score;
  run_rows.clear();
  run.clear();
}

size_t RankedEngine::bytes() const {
  return all.bytes() + bounds.bytes() + list_of_state.bytes() + lists.capacity() * sizeof(lists[0]) +
         children.capacity() * sizeof(Child) + nodes.capacity() * sizeof(Node) + queue.capacity() * sizeof(Entry) +
         (run_rows.capacity() + ready_rows.capacity()) * sizeof(uint32_t) +
         (run.capacity() + ready.capacity()) * sizeof(Found);
}

// False, with the search ended, once its memory could pass the cap before
// the next look: every growing table may double by then, and the old copy
// lives on while it does.
bool RankedEngine::check_memory() {
  const size_t now = bytes();
  peak = std::max(peak, now);
  // The two maps take at most kClockInterval new states each before the
  // next look, so at most one growth each; every other table may double.
  const size_t maps = bounds.bytes() + list_of_state.bytes();
  const size_t growth = bounds.growth_within(kClockInterval) + list_of_state.growth_within(2 * kClockInterval);
  if (now + growth + 2 * (now - maps) <= cap) return true;
  over = true;
  stop.reason = SearchStatus::kCancelled;
  return false;
}

size_t RankedEngine::run_batch(RowBatch& out, std::vector<FixedScore>& scores, size_t max_count) {
  size_t produced = 0;
  while (produced < max_count) {
    if (ready_pos < ready.size()) {
      if (max_solutions && given >= *max_solutions) {
        status = SearchStatus::kSolutionCap;
        break;
      }
      const Found& f = ready[ready_pos++];
      out.append(f.width, ready_rows.data() + f.offset, 1);
      scores.push_back(ready_score);
      ++produced;
      if (given++ == 0) pairs_to_first = pairs;
      continue;
    }
    if (status != SearchStatus::kRunning) break;
    if (max_solutions && given >= *max_solutions) {
      status = SearchStatus::kSolutionCap;
      break;
    }
    if (!run.empty() && (queue.empty() || queue.front().priority < run_score)) {
      close_run();
      continue;
    }
    if (queue.empty()) {
      status = SearchStatus::kCompleted;
      break;
    }
    if ((++polls & (kMemoryInterval - 1)) == 0 && (stop.stopped() || !check_memory())) {
      status = stop.reason;
      break;
    }
    if (given > 0 && !exhaustive && pairs - pairs_to_first > 2 * std::max(pairs_to_first, kSwitchPairs)) {
      exhaustive = true;
    }
    std::pop_heap(queue.begin(), queue.end());
    Entry top = queue.back();
    queue.pop_back();
    if (!settle(top)) {
      if (stop.reason != SearchStatus::kRunning) {
        status = stop.reason;
        break;
      }
      continue;
    }
    expand(top.node, top.pos);
  }
  return produced;
}

}  // namespace internal

RankedSearch::RankedSearch(const PreparedRequest& request, std::vector<FixedScore> scores, StopWatch& watch,
                           RankedTuning tuning)
    : engine_(std::make_unique<internal::RankedEngine>(request, std::move(scores), watch, tuning)) {}
RankedSearch::~RankedSearch() = default;
RankedSearch::RankedSearch(RankedSearch&&) noexcept = default;
RankedSearch& RankedSearch::operator=(RankedSearch&&) noexcept = default;

bool RankedSearch::supports(const PreparedRequest& request, std::span<const FixedScore> scores) {
  if (request.by_steps || !make_lattice_layout(request.phrase).ok) return false;
  const uint64_t letters = request.phrase.total();
  uint64_t shortest = UINT64_MAX;
  for (const std::string& word : request.candidates.words) shortest = std::min<uint64_t>(shortest, word.size());
  if (shortest == UINT64_MAX || letters / shortest > kRankedMaxWords) return false;
  FixedScore largest = 0;
  for (const FixedScore s : scores) largest = std::max(largest, s < 0 ? -s : s);
  // Every value it keeps is at most the letters times the largest score,
  // kept doubled: far inside int64.
  return largest == 0 || letters <= (uint64_t{1} << 60) / static_cast<uint64_t>(largest);
}

size_t RankedSearch::next_batch(RowBatch& out, std::vector<FixedScore>& scores, size_t max_count, StopWatch& watch) {
  engine_->stop.watch = &watch;
  const size_t n = engine_->run_batch(out, scores, max_count);
  engine_->stop.watch = nullptr;
  return n;
}

SearchStatus RankedSearch::status() const { return engine_->status; }
bool RankedSearch::over_cap() const { return engine_->over; }
size_t RankedSearch::memory_cap() const { return engine_->cap; }
const std::vector<std::string>& RankedSearch::words() const { return engine_->words; }
size_t RankedSearch::peak_bytes() const { return engine_->peak; }

}  // namespace anagram
