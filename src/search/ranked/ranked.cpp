// File: search/ranked/ranked.cpp
//
// The ranked search (RankedSearch in search/search.h): the solutions by
// score, best first, equal scores in the result order. Tested by the
// differential tests of every search (tests/cpp/differential_test.cpp,
// fuzz/fuzz_search.cpp) and tests/python/test_best.py.
//
// Bound: for every sub-multiset of the phrase's letters reachable from the
// phrase by taking words away, the best score of any word multiset spelling
// exactly those letters (max-plus over the lattice, filled top-down). It
// ignores the request's solution rules (word count, patterns, start
// letters), so it is an upper bound, exact where they do not bite.
//
// Walk: partial anagrams are built in one canonical word order, so each
// word multiset once: the next word always holds the remaining letter that
// comes first in `field_order` (the one the fewest classes hold), and words
// holding the same first letter come in rank order. A partial anagram's
// priority is its score plus the bound of what it leaves; that never grows
// along a path, so solutions leave the queue best first. A node's children
// are the list of its letter state's next words sorted by priority (shared
// by every node in that state) and only the best is queued, each popped
// child queueing its next sibling: the queue grows with what is taken, not
// with the branching.
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

// Values by letter state: a plain array by state number where the lattice
// is small enough, else open addressing on the packed letters (the empty
// state is never stored).
class StateMap {
 public:
  void init(const PackedLayout& layout, size_t dense_limit) {
    dense_ = layout.states != 0 && state_table_bytes(layout.states, sizeof(FixedScore)) <= dense_limit;
    if (dense_) values_.assign(layout.states, kUnknown);
  }
  FixedScore get(u128 key, uint64_t index) const {
    if (dense_) return values_[index];
    if (slots_.empty()) return kUnknown;
    const size_t mask = slots_.size() - 1;
    for (size_t s = slot_of(key, mask);; s = (s + 1) & mask) {
      const Slot& slot = slots_[s];
      if (slot.lo == 0 && slot.hi == 0) return kUnknown;
      if (slot.lo == static_cast<uint64_t>(key) && slot.hi == static_cast<uint64_t>(key >> 64)) return slot.value;
    }
  }
  void set(u128 key, uint64_t index, FixedScore value) {
    if (dense_) {
      values_[index] = value;
      return;
    }
    if ((used_ + 1) * 4 > slots_.size() * 3) grow();
    const size_t mask = slots_.size() - 1;
    for (size_t s = slot_of(key, mask);; s = (s + 1) & mask) {
      Slot& slot = slots_[s];
      if (slot.lo == 0 && slot.hi == 0) {
        slot = {static_cast<uint64_t>(key), static_cast<uint64_t>(key >> 64), value};
        ++used_;
        return;
      }
      if (slot.lo == static_cast<uint64_t>(key) && slot.hi == static_cast<uint64_t>(key >> 64)) {
        slot.value = value;
        return;
      }
    }
  }
  size_t bytes() const { return values_.capacity() * sizeof(FixedScore) + slots_.capacity() * sizeof(Slot); }
  // The part that never grows: the plain array.
  size_t fixed_bytes() const { return values_.capacity() * sizeof(FixedScore); }

 private:
  struct Slot {
    uint64_t lo, hi;
    FixedScore value;
  };
  static size_t slot_of(u128 key, size_t mask) {
    const uint64_t mixed = static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15ULL ^
                           static_cast<uint64_t>(key >> 64) * 0xC2B2AE3D27D4EB4FULL;
    return static_cast<size_t>(mixed ^ (mixed >> 29)) & mask;
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(std::max<size_t>(1024, old.size() * 2), Slot{0, 0, 0});
    used_ = 0;
    for (const Slot& s : old) {
      if (s.lo != 0 || s.hi != 0) set(static_cast<u128>(s.hi) << 64 | s.lo, 0, s.value);
    }
  }

  bool dense_ = false;
  std::vector<FixedScore> values_;
  std::vector<Slot> slots_;
  size_t used_ = 0;
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
  // kNoList a rank of the class of its remaining letters).
  struct Entry {
    FixedScore priority;
    uint32_t node;
    uint32_t pos;
    bool operator<(const Entry& o) const { return priority < o.priority; }
  };
  struct Child {
    FixedScore value;  // the word's score plus the bound of what it leaves
    uint32_t rank;
  };
  // A finished solution of the run of equal scores being collected.
  struct Found {
    uint32_t offset, width, shortest;
  };

  std::vector<std::string> words;
  PackedLayout layout;
  std::vector<int> field_order;
  ClassTable table;  // for the class of exactly the letters left
  std::vector<LetterClass> classes;
  std::vector<std::vector<uint32_t>> by_field;  // classes by the first field they hold
  std::vector<uint32_t> word_of_rank, class_of_rank, len_of_rank;
  std::vector<FixedScore> score_of_rank;
  std::vector<uint64_t> patterns_of_rank;
  uint64_t all_patterns = 0;
  std::vector<std::pair<int, uint32_t>> must_start;
  std::optional<uint32_t> max_words, max_solutions;

  StateMap bounds;
  StateMap list_of_state;
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
  uint32_t polls = 0;
  std::vector<uint32_t> path;

  RankedEngine(const PreparedRequest& request, std::vector<FixedScore> scores, StopWatch& watch, size_t memory_cap);
  void prepare_words(const PreparedRequest& request, const std::vector<FixedScore>& scores);
  int pivot(u128 rem) const {
    for (int f : field_order) {
      if (rem & layout.count_bits[f]) return f;
    }
    return -1;
  }
  FixedScore bound(u128 rem, uint64_t index);
  uint32_t list_for(u128 rem, uint64_t index);
  bool next_child(const Node& n, uint32_t& pos) const;
  void queue_child(uint32_t node, uint32_t pos);
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
                           size_t memory_cap)
    : cap(memory_cap) {
  stop.watch = &watch;
  layout = make_lattice_layout(request.phrase);
  prepare_words(request, scores);
  // The bounds take a plain array where it costs at most half the cap.
  bounds.init(layout, cap / 2);
  list_of_state.init(layout, cap / 8);
  const u128 phrase = pack(request.phrase, layout);
  const uint64_t index = layout.states ? state_index(request.phrase, layout) : 0;
  const FixedScore best = bound(phrase, index);
  if (stop.reason != SearchStatus::kRunning) {
    status = over ? SearchStatus::kCancelled : stop.reason;
  } else if (best != kNoSpelling) {
    nodes.push_back({phrase, index, 0, UINT32_MAX, UINT32_MAX, 0, kNoList});
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
  std::vector<u128> packed(n);
  std::vector<uint64_t> index(n);
  std::vector<uint32_t> len(n);
  for (size_t w = 0; w < n; ++w) {
    const CharCounts counts{request.candidates.counts[w]};
    packed[w] = pack(counts, layout);
    index[w] = layout.states ? state_index(counts, layout) : 0;
    len[w] = static_cast<uint32_t>(words[w].size());
  }
  table = make_class_table(packed, index, len);
  // Fields by how few classes hold their letter.
  std::vector<size_t> holders(static_cast<size_t>(layout.fields), 0);
  for (const OrderedClass& c : table.classes) {
    for (int f = 0; f < layout.fields; ++f) holders[f] += (c.packed & layout.count_bits[f]) ? 1 : 0;
  }
  field_order.resize(static_cast<size_t>(layout.fields));
  std::iota(field_order.begin(), field_order.end(), 0);
  std::stable_sort(field_order.begin(), field_order.end(), [&](int a, int b) { return holders[a] < holders[b]; });
  // Ranks: by first field, then class, then score (best first).
  by_field.assign(static_cast<size_t>(layout.fields), {});
  for (uint32_t c = 0; c < table.classes.size(); ++c) by_field[pivot(table.classes[c].packed)].push_back(c);
  const std::vector<std::string>& patterns = request.rules.patterns;
  all_patterns = patterns.size() >= 64 ? ~uint64_t{0} : (uint64_t{1} << patterns.size()) - 1;
  classes.resize(table.classes.size());
  for (int f : field_order) {
    for (uint32_t c : by_field[f]) {
      const OrderedClass& oc = table.classes[c];
      std::vector<uint32_t> members(table.members.begin() + oc.first, table.members.begin() + oc.end);
      std::stable_sort(members.begin(), members.end(), [&](uint32_t a, uint32_t b) { return scores[a] > scores[b]; });
      LetterClass& lc = classes[c];
      lc = {oc.packed, oc.index, scores[members[0]], static_cast<uint32_t>(word_of_rank.size()), 0};
      for (uint32_t w : members) {
        uint64_t held = 0;
        for (size_t p = 0; p < patterns.size(); ++p) {
          if (words[w].find(patterns[p]) != std::string::npos) held |= uint64_t{1} << p;
        }
        word_of_rank.push_back(w);
        class_of_rank.push_back(c);
        len_of_rank.push_back(len[w]);
        score_of_rank.push_back(scores[w]);
        patterns_of_rank.push_back(held);
      }
      lc.end = static_cast<uint32_t>(word_of_rank.size());
    }
  }
}

// The best score spelling exactly `rem`, or kNoSpelling; computed once per
// state. On a stop it returns kNoSpelling and stores nothing above it.
FixedScore RankedEngine::bound(u128 rem, uint64_t index) {
  if (rem == 0) return 0;
  FixedScore best = bounds.get(rem, index);
  if (best != kUnknown) return best;
  if ((++polls & (kClockInterval - 1)) == 0 && (stop.stopped() || !check_memory())) return kNoSpelling;
  if (stop.reason != SearchStatus::kRunning) return kNoSpelling;
  best = kNoSpelling;
  for (uint32_t c : by_field[pivot(rem)]) {
    const LetterClass& k = classes[c];
    if (!fits(rem, k.packed, layout.guard)) continue;
    const FixedScore rest = bound(rem - k.packed, index - k.index);
    if (stop.reason != SearchStatus::kRunning) return kNoSpelling;
    if (rest != kNoSpelling) best = std::max(best, k.top + rest);
  }
  bounds.set(rem, index, best);
  return best;
}

// The children of every node in state `rem`, best first: each word holding
// the state's pivot letter whose leftover can be spelt.
uint32_t RankedEngine::list_for(u128 rem, uint64_t index) {
  const FixedScore known = list_of_state.get(rem, index);
  if (known != kUnknown) return static_cast<uint32_t>(known);
  const uint32_t begin = static_cast<uint32_t>(children.size());
  for (uint32_t c : by_field[pivot(rem)]) {
    const LetterClass& k = classes[c];
    if (!fits(rem, k.packed, layout.guard)) continue;
    const FixedScore rest = bound(rem - k.packed, index - k.index);
    if (rest == kNoSpelling) continue;
    for (uint32_t r = k.first; r < k.end; ++r) children.push_back({score_of_rank[r] + rest, r});
  }
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
    return c != ClassTable::kNone && pos >= classes[c].first && pos < classes[c].end;
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
    pos = std::max(pos, classes[c].first);
  }
  if (!next_child(n, pos)) return;
  const FixedScore value = n.list == kNoList ? score_of_rank[pos] : children[lists[n.list].first + pos].value;
  queue.push_back({n.score + value, node, pos});
  std::push_heap(queue.begin(), queue.end());
}

// Takes child `pos` of `parent` (popped): queues its next sibling, then
// either finishes a solution or expands the child.
void RankedEngine::expand(uint32_t parent, uint32_t pos) {
  queue_child(parent, pos + 1);
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
  return bounds.bytes() + list_of_state.bytes() + lists.capacity() * sizeof(lists[0]) +
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
  if (now + 2 * (now - bounds.fixed_bytes()) <= cap) return true;
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
      ++given;
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
    std::pop_heap(queue.begin(), queue.end());
    const Entry top = queue.back();
    queue.pop_back();
    expand(top.node, top.pos);
  }
  return produced;
}

}  // namespace internal

RankedSearch::RankedSearch(const PreparedRequest& request, std::vector<FixedScore> scores, StopWatch& watch,
                           size_t memory_cap)
    : engine_(std::make_unique<internal::RankedEngine>(request, std::move(scores), watch, memory_cap)) {}
RankedSearch::~RankedSearch() = default;
RankedSearch::RankedSearch(RankedSearch&&) noexcept = default;
RankedSearch& RankedSearch::operator=(RankedSearch&&) noexcept = default;

bool RankedSearch::supports(const PreparedRequest& request) {
  return !request.by_steps && make_lattice_layout(request.phrase).ok;
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
