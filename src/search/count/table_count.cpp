// File: search/count/table_count.cpp
//
// The count is the coefficient of the phrase in the product, over the
// classes, of 1/(1 - x^v)^c: a class of c words used m times stands for
// C(c+m-1, m) word multisets. A dense table over the sub-multisets of the
// phrase (mixed-radix index) holds the coefficients; multiplying by one
// factor 1/(1 - x^v) is f[s] += f[s - v] in increasing order over s >= v, so
// a class of c words is c such passes and the whole count needs only
// additions.
//
// Letters are taken one at a time: once every class holding letter l has been
// applied, only states holding all of the phrase's l can still reach the
// phrase, so later classes touch a slice of the table. The letter order is
// chosen greedily to keep the work small. Letters the phrase holds once need
// no dimension at all: the sets of classes holding them are listed up front
// and seed the table at their other letters (see choose_peeled).
//
// Exactness: a first pass adds in 64 bits with carry detection. When a carry
// happens, a pass in floating point bounds the count, and passes modulo large
// primes give enough residues for the Chinese remainder theorem to rebuild
// the exact value next to the 64-bit residue of the first pass.
//
// The table count (search/count/). Tested by tests/cpp/search_count_test.cpp
// and the differential tests of every search.
#include "search/count/table_count.h"

#include "search/count/box_runs.h"
#include "search/count/exact_cells.h"
#include "search/count/reach_count.h"
#include "search/shared/threads.h"

#include <algorithm>
#include <atomic>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <type_traits>

namespace anagram {

namespace {

using internal::saturating_mul;

// What a dense table's cell update costs, in tenths of a nanosecond,
// measured on the benchmark's long phrases: 25 while the table is near
// cache, 90 past 64 MB; and a class fit tried on a reached state, 250. A
// table of more than kReachFirstNanos tries the reached states first, for
// half its time.
constexpr uint64_t kNearCacheBytes = uint64_t{64} << 20;
constexpr uint64_t kCellTenthsNear = 25;
constexpr uint64_t kCellTenthsFar = 90;
constexpr uint64_t kFitTenths = 250;
constexpr uint64_t kReachFirstNanos = uint64_t{3'000'000'000};

constexpr uint64_t kPollEvery = uint64_t{1} << 18;  // well under a millisecond of work
constexpr uint64_t kMaxSeedWork = uint64_t{1} << 24;
constexpr uint64_t kSharedWalk = uint64_t{1} << 14;  // tries a walk needs to share out

// A class holding a peeled letter: it goes into the seeds, not the steps.
struct Touch {
  CharCounts letters;
  uint64_t offset;  // index of its letters in the table
  uint64_t words;
};

// Everything the passes share: the table's shape, the seeds it starts from
// and the factors applied to it, in order.
struct Plan {
  CharCounts phrase;
  std::vector<int> slots;  // letter slot of each dim; dim 0 is outermost
  // The table: each dim holds 0..the phrase's count of its letter.
  internal::DenseShape shape;
  uint32_t width = 1;  // cells per state: 1, or max_words + 1 with a word-count limit
  uint32_t max_seed_words = UINT32_MAX;
  // Letter slots the phrase holds once and the table leaves out; touching[i]
  // holds the classes with peeled[i].
  std::vector<int> peeled;
  std::vector<std::vector<Touch>> touching;
  uint64_t seed_limit = 0;  // most seeds the walk may meet
  uint64_t seed_tries = 0;  // about the classes the walk tries
  uint64_t total_repeats = 0;
};

// Stops the passes when the caller asks or the deadline passes.
struct Progress {
  const CountLimits& limits;
  uint64_t since_poll = 0;
  uint64_t updates = 0;
  SearchStatus status = SearchStatus::kCompleted;

  // Told of `done` more updates (the `done` the shared passes ask):
  // whether to go on.
  bool operator()(uint64_t done) {
    since_poll += done;
    updates += done;
    if (since_poll < kPollEvery) return true;
    since_poll = 0;
    if (limits.watch != nullptr && limits.watch->check()) status = limits.watch->reason();
    return status == SearchStatus::kCompleted;
  }
};

uint64_t states_of(const CharCounts& phrase, const std::vector<int>& slots) {
  uint64_t states = 1;
  for (int slot : slots) states = saturating_mul(states, uint64_t{phrase.counts[slot]} + 1);
  return states;
}

// Calls visit(offset, words, factors) for each set of touching classes that
// holds every peeled letter once, fits in `rest` and has at most
// max_seed_words classes; factors[i] is the word count of the i-th class.
// Each set is met once: the first peeled letter still in `rest` picks the
// next class. visit.try_class() is asked before each class is tried. Stops
// early when either returns false.
template <typename Visit>
bool walk_seeds(const Plan& plan, CharCounts& rest, size_t next, uint64_t offset, std::array<uint64_t, 26>& factors,
                uint32_t words, Visit& visit) {
  while (next < plan.peeled.size() && rest.counts[plan.peeled[next]] == 0) ++next;
  if (next == plan.peeled.size()) return visit(offset, words, factors.data());
  if (words == plan.max_seed_words) return true;
  for (const Touch& touch : plan.touching[next]) {
    if (!visit.try_class()) return false;
    if (!rest.can_subtract(touch.letters)) continue;
    for (int s = 0; s < 26; ++s) rest.counts[s] -= touch.letters.counts[s];
    factors[words] = touch.words;
    const bool go_on = walk_seeds(plan, rest, next + 1, offset + touch.offset, factors, words + 1, visit);
    for (int s = 0; s < 26; ++s) rest.counts[s] += touch.letters.counts[s];
    if (!go_on) return false;
  }
  return true;
}

// walk_seeds from the whole phrase on visits.size() threads: every seed
// holds the first peeled letter, so the classes holding it are shared out,
// and each thread walks on from its own with its own visitor, visits[t]
// (a cache line each: they count every try). Without peeled letters the
// one seed is the empty set.
template <typename Visit>
bool walk_seeds_threads(const Plan& plan, std::vector<Visit>& visits) {
  std::array<uint64_t, 26> none{};
  if (plan.peeled.empty()) return visits[0](0, 0, none.data());
  const std::vector<Touch>& first = plan.touching[0];
  const unsigned threads = static_cast<unsigned>(visits.size());
  return run_parallel(threads, first.size(), nullptr, [&](unsigned t, size_t i) {
    Visit& visit = visits[t];
    bool go_on = visit.try_class();
    CharCounts rest = plan.phrase;
    if (go_on && rest.can_subtract(first[i].letters)) {
      for (int s = 0; s < 26; ++s) rest.counts[s] -= first[i].letters.counts[s];
      std::array<uint64_t, 26> factors{};
      factors[0] = first[i].words;
      go_on = walk_seeds(plan, rest, 1, first[i].offset, factors, 1, visit);
    }
    visit.leave();
    return go_on;
  });
}

// The tries of a seed walk on several threads, polled on the calling
// thread: a visitor takes them from the shared budget in grants.
struct WalkTries {
  static constexpr int64_t kGrant = 1024;
  Progress& progress;
  std::atomic<int64_t> left;
  internal::Tally tally;

  // One more try for thread t, which holds `own` granted tries.
  bool take(unsigned t, int64_t& own, internal::Tally::Own& told) {
    if (own == 0) {
      const int64_t had = left.fetch_sub(kGrant, std::memory_order_relaxed);
      if (had <= 0) return false;
      own = std::min(had, kGrant);
    }
    --own;
    return tally.tell(t, told, 1, progress);
  }
};

// Puts each class that holds a peeled letter in plan.touching, under the
// first it holds: by the time the walk picks a class for a later one, the
// earlier ones are spent.
void collect_touching(Plan& plan, const std::vector<AnagramClass>& usable) {
  plan.touching.assign(plan.peeled.size(), {});
  for (const AnagramClass& c : usable) {
    for (size_t i = 0; i < plan.peeled.size(); ++i) {
      if (c.letters.counts[plan.peeled[i]] == 0) continue;
      plan.touching[i].push_back({c.letters, 0, c.words});
      break;
    }
  }
}

// Whether a seed walk surely passes `budget` tries, from the first two
// peeled letters alone: it tries each class of the first, and for each that
// fits and lacks the second, every class of the second. The walk would give
// up after as many tries (0.4-1.2 ms of a 20-40 ms count).
bool passes_budget(const Plan& plan, uint64_t budget) {
  if (plan.peeled.size() < 2 || plan.max_seed_words < 2) return false;
  uint64_t open = 0;
  for (const Touch& touch : plan.touching[0]) {
    open += plan.phrase.can_subtract(touch.letters) && touch.letters.counts[plan.peeled[1]] == 0;
  }
  return plan.touching[0].size() + saturating_mul(open, plan.touching[1].size()) > budget;
}

// Letters the phrase holds once can leave the table: the classes holding
// them are combined up front into seeds, one per set of such classes, and
// every such letter halves the table. Letters in few classes go first, and
// only while the seeds stay few next to the table.
// Returns false when stopped.
bool choose_peeled(Plan& plan, const CharCounts& phrase, const std::vector<AnagramClass>& usable,
                   Progress& progress) {
  const unsigned threads = progress.limits.threads_used();
  std::vector<std::pair<size_t, int>> singles;  // (classes holding it, slot)
  for (int slot = 0; slot < 26; ++slot) {
    if (phrase.counts[slot] != 1) continue;
    size_t holding = 0;
    for (const AnagramClass& c : usable) holding += c.letters.counts[slot] > 0;
    singles.emplace_back(holding, slot);
  }
  std::sort(singles.begin(), singles.end());
  uint64_t states = states_of(phrase, plan.slots);
  for (const auto& [holding, slot] : singles) {
    plan.peeled.push_back(slot);
    collect_touching(plan, usable);
    // Work: the classes the walk tries, seeds included.
    struct alignas(64) Budget {
      WalkTries& tries;
      unsigned thread;
      int64_t own = 0;
      internal::Tally::Own told;
      bool try_class() { return tries.take(thread, own, told); }
      bool operator()(uint64_t, uint32_t, const uint64_t*) { return true; }
      void leave() { tries.tally.leave(told); }
    };
    const uint64_t budget = std::min(kMaxSeedWork, states / 4);
    if (passes_budget(plan, budget)) {
      plan.peeled.pop_back();
      break;
    }
    WalkTries tries{progress, static_cast<int64_t>(budget), {}};
    std::vector<Budget> budgets;
    // A small walk is over before a helper would have started.
    for (unsigned t = 0; t < (budget < kSharedWalk ? 1 : threads); ++t) budgets.push_back({tries, t, 0, {}});
    const bool walked = walk_seeds_threads(plan, budgets);
    if (!tries.tally.poll(progress) || !walked) {
      if (progress.status != SearchStatus::kCompleted) return false;
      plan.peeled.pop_back();
      break;
    }
    plan.seed_tries = budget - static_cast<uint64_t>(std::max<int64_t>(0, tries.left.load()));
    states /= 2;
  }
  collect_touching(plan, usable);
  plan.seed_limit = kMaxSeedWork;
  return true;
}

// Picks the next letter whose classes cost least over the part of the table
// still live, so the big early passes are few. A class costs its words times
// its box, the product over the letters not yet picked of the phrase's count
// less its own, plus one; once a letter is picked, the classes without it
// all lose the same factor, so the boxes keep their order unscaled.
std::vector<int> choose_letter_order(const CharCounts& phrase, const std::vector<int>& slots,
                                     const std::vector<const AnagramClass*>& rest) {
  const size_t dims = slots.size();
  struct Live {
    double box;
    uint32_t dims;  // bit i: the class holds slots[i]
  };
  std::vector<Live> live;
  live.reserve(rest.size());
  for (const AnagramClass* c : rest) {
    Live l{static_cast<double>(c->words), 0};
    for (size_t i = 0; i < dims; ++i) {
      const uint32_t held = c->letters.counts[slots[i]];
      l.box *= 1.0 + phrase.counts[slots[i]] - held;
      l.dims |= static_cast<uint32_t>(held > 0) << i;
    }
    live.push_back(l);
  }
  std::vector<int> order;
  uint32_t done = 0;
  while (order.size() < dims) {
    std::array<double, 26> cost{};
    for (const Live& l : live) {
      for (uint32_t bits = l.dims; bits != 0; bits &= bits - 1) cost[static_cast<size_t>(__builtin_ctz(bits))] += l.box;
    }
    size_t best = dims;
    for (size_t i = 0; i < dims; ++i) {
      if (!(done >> i & 1) && (best == dims || cost[i] < cost[best])) best = i;
    }
    done |= uint32_t{1} << best;
    order.push_back(slots[best]);
    std::erase_if(live, [&](const Live& l) { return l.dims >> best & 1; });
  }
  return order;
}

// Index distance of the letters `v` in the table, peeled letters left out.
uint64_t offset_of(const Plan& plan, const CharCounts& v) {
  uint64_t offset = 0;
  for (int d = 0; d < plan.shape.dims; ++d) offset += v.counts[plan.slots[d]] * plan.shape.stride[d];
  return offset;
}

// The classes without peeled letters become steps (put in stages once the
// table is sure to be filled).
void make_steps(Plan& plan, const std::vector<const AnagramClass*>& rest) {
  for (const AnagramClass* c : rest) {
    internal::add_step(plan.shape, c->words, [&](int d) { return c->letters.counts[plan.slots[d]]; });
    plan.total_repeats += c->words;
  }
}

enum class PlanOutcome { kReady, kZero, kTooLarge, kStopped };

PlanOutcome make_plan(const CharCounts& phrase, std::span<const AnagramClass> classes, Progress& progress,
                      Plan& plan, size_t& table_bytes) {
  const CountLimits& limits = progress.limits;
  plan.phrase = phrase;
  std::vector<AnagramClass> usable;
  CharCounts covered;
  uint32_t min_length = std::numeric_limits<uint32_t>::max();
  for (const AnagramClass& c : classes) {
    if (c.words == 0 || c.letters.is_empty() || !phrase.can_subtract(c.letters)) continue;
    usable.push_back(c);
    for (int s = 0; s < 26; ++s) covered.counts[s] += c.letters.counts[s] > 0;
    min_length = std::min(min_length, c.letters.total());
  }
  for (int s = 0; s < 26; ++s) {
    if (phrase.counts[s] > 0 && covered.counts[s] == 0) return PlanOutcome::kZero;
  }
  if (limits.max_words) {
    if (*limits.max_words == 0) return PlanOutcome::kZero;
    // A limit no solution can reach needs no word-count dimension.
    if (*limits.max_words < phrase.total() / min_length) plan.width = *limits.max_words + 1;
  }
  plan.max_seed_words = plan.width == 1 ? UINT32_MAX : plan.width - 1;

  for (int s = 0; s < 26; ++s) {
    if (phrase.counts[s] > 0) plan.slots.push_back(s);
  }
  if (!choose_peeled(plan, phrase, usable, progress)) return PlanOutcome::kStopped;
  std::vector<int> kept;
  for (int s : plan.slots) {
    if (std::find(plan.peeled.begin(), plan.peeled.end(), s) == plan.peeled.end()) kept.push_back(s);
  }
  std::vector<const AnagramClass*> rest;
  for (const AnagramClass& c : usable) {
    bool touches = false;
    for (int s : plan.peeled) touches = touches || c.letters.counts[s] > 0;
    if (!touches) rest.push_back(&c);
  }

  plan.slots = choose_letter_order(phrase, kept, rest);
  plan.shape.dims = static_cast<int>(plan.slots.size());
  for (int d = 0; d < plan.shape.dims; ++d) plan.shape.top[d] = phrase.counts[plan.slots[d]];
  internal::set_strides(plan.shape);
  table_bytes = static_cast<size_t>(saturating_mul(saturating_mul(plan.shape.states, plan.width), sizeof(uint64_t)));
  if (table_bytes > limits.max_table_bytes) return PlanOutcome::kTooLarge;

  for (std::vector<Touch>& touching : plan.touching) {
    for (Touch& touch : touching) touch.offset = offset_of(plan, touch.letters);
  }
  make_steps(plan, rest);
  return PlanOutcome::kReady;
}

// Starts the table from the seeds: each set of classes holding the peeled
// letters, weighted by its number of word choices, at its other letters.
// Without peeled letters that is the empty set, 1 at state 0. Seeds of
// different classes may land on one cell: on several threads, only the
// 64-bit pass, whose cells take an atomic add; the other passes are rare.
template <typename Arith>
bool plant_seeds(const Plan& plan, Arith& arith, typename Arith::Cell* table, Progress& progress) {
  using Cell = typename Arith::Cell;
  constexpr bool kAtomic = std::is_same_v<Arith, internal::WrapArith<uint64_t>>;
  const unsigned threads = kAtomic && plan.seed_tries >= kSharedWalk ? progress.limits.threads_used() : 1;
  internal::Tally tally;
  struct alignas(64) Plant {
    const Plan& plan;
    Arith arith;
    Cell* table;
    internal::Tally& tally;
    Progress& progress;
    unsigned thread;
    bool shared;
    internal::Tally::Own told;
    bool try_class() {
      return tally.tell(thread, told, 1, progress);
    }
    bool operator()(uint64_t offset, uint32_t words, const uint64_t* factors) {
      Cell weight{1};
      for (uint32_t i = 0; i < words; ++i) weight = arith.mul(weight, factors[i]);
      Cell& cell = table[offset * plan.width + (plan.width > 1 ? words : 0)];
      if constexpr (kAtomic) {
        if (shared) {
          const uint64_t sum = std::atomic_ref<uint64_t>(cell).fetch_add(weight, std::memory_order_relaxed) + weight;
          arith.carried |= sum >> 63;
          return true;
        }
      }
      cell = arith.add(cell, weight);
      return true;
    }
    void leave() { tally.leave(told); }
  };
  std::vector<Plant> plants;
  for (unsigned t = 0; t < threads; ++t) plants.push_back({plan, arith, table, tally, progress, t, threads > 1, {}});
  const bool walked = walk_seeds_threads(plan, plants);
  for (const Plant& plant : plants) {
    if constexpr (requires(Arith a) { a.carried; }) arith.carried |= plant.arith.carried;
  }
  return tally.poll(progress) && walked;
}

// One full pass; returns false when stopped. `result` is the sum over the
// word counts of the phrase's state.
template <typename Arith>
bool run_pass(const Plan& plan, Arith& arith, Progress& progress, typename Arith::Cell& result) {
  using Cell = typename Arith::Cell;
  const unsigned threads = progress.limits.threads_used();
  const internal::AlignedCells<Cell> table = internal::zeroed_cells<Cell>(threads, plan.shape.states * plan.width);
  Arith local = arith;
  if (!plant_seeds(plan, local, table.get(), progress)) return false;
  if (!internal::apply_steps(threads, local, table.get(), plan.shape, plan.width, progress)) return false;
  const Cell* last = table.get() + (plan.shape.states - 1) * plan.width;
  result = Cell{0};
  for (uint32_t k = 0; k < plan.width; ++k) result = local.add(result, last[k]);
  arith = local;
  return true;
}

// An upper bound of the count from a pass in floating point: every value is
// a sum of non-negative terms, so rounding errors stay relative and small.
template <typename F>
std::optional<double> bound_bits(const Plan& plan, const CharCounts& phrase, Progress& progress, bool& stopped) {
  internal::FloatArith<F> arith;
  F approx;
  if (!run_pass(plan, arith, progress, approx)) {
    stopped = true;
    return std::nullopt;
  }
  const F depth = static_cast<F>(plan.total_repeats) * (static_cast<F>(phrase.total()) + 1) + plan.width +
                  static_cast<F>(plan.seed_limit) + 26;
  return internal::bound_bits(approx, depth);
}

}  // namespace

std::vector<AnagramClass> group_into_classes(std::span<const std::string_view> words) {
  std::map<std::array<uint32_t, 26>, size_t> index;
  std::vector<AnagramClass> classes;
  for (std::string_view word : words) {
    CharCounts counts;
    for (char ch : word) counts.increment(ch);
    const auto [it, added] = index.try_emplace(counts.counts, classes.size());
    if (added) classes.push_back({counts, static_cast<uint32_t>(word.size()), 0});
    ++classes[it->second].words;
  }
  return classes;
}

CountResult count_anagrams(const CharCounts& phrase, std::span<const AnagramClass> classes,
                           const CountLimits& limits) {
  if (auto answer = internal::answer_before_counting(phrase, limits)) return *answer;
  const internal::SpinBurst burst(limits.threads);  // the count's jobs come one after another
  CountResult result;
  Progress progress{limits};
  const auto too_large = [&] {
    result.too_large = true;
    result.cell_updates = progress.updates;
    return result;
  };
  const auto finish = [&](SearchStatus status) {
    result.status = status;
    result.cell_updates = progress.updates;
    return result;
  };
  Plan plan;
  const PlanOutcome outcome = make_plan(phrase, classes, progress, plan, result.table_bytes);
  result.states = plan.shape.states;
  switch (outcome) {
    case PlanOutcome::kZero:
      return finish(SearchStatus::kCompleted);
    case PlanOutcome::kTooLarge:
      if (limits.max_reach_bytes > 0) return count_reachable(phrase, classes, limits);
      return too_large();
    case PlanOutcome::kStopped:
      return finish(progress.status);
    case PlanOutcome::kReady:
      break;
  }
  // A table that fits but takes long to fill may be beaten by expanding
  // only the states the phrase reaches (sphinx-like phrases: 12 s against
  // 2 s): tried first, it gives up once it has taken about half the
  // table's time, and the table answers.
  const uint64_t tenths =
      saturating_mul(internal::step_work(plan.shape, plan.width), result.table_bytes > kNearCacheBytes ? kCellTenthsFar : kCellTenthsNear);
  if (limits.max_reach_bytes > 0 && !limits.sparse_letters && tenths / 10 > kReachFirstNanos) {
    CountLimits within = limits;
    within.max_sparse_work = std::min(limits.max_sparse_work, tenths / 2 / kFitTenths);
    CountResult reached = count_reachable(phrase, classes, within);
    if (!reached.too_large) return reached;
  }

  internal::make_stages(plan.shape, plan.width, {limits.threads_used(), limits.min_split_cells, limits.slab_cells});
  internal::WrapArith<uint64_t> wrap;
  uint64_t low64 = 0;
  if (!run_pass(plan, wrap, progress, low64)) return finish(progress.status);
  if (wrap.carried == 0) {
    result.count = BigUnsigned(low64);
    return finish(SearchStatus::kCompleted);
  }

  bool stopped = false;
  std::optional<double> bits = bound_bits<double>(plan, phrase, progress, stopped);
  result.passes = 2;
  if (!bits && !stopped && result.table_bytes / sizeof(uint64_t) * sizeof(long double) <= limits.max_table_bytes) {
    bits = bound_bits<long double>(plan, phrase, progress, stopped);
    result.passes = 3;
  }
  if (stopped) return finish(progress.status);
  if (!bits) return too_large();

  // 2^64 times primes above 2^62 must exceed the bound.
  const std::vector<uint64_t> primes = internal::large_primes(internal::primes_for(*bits, 64));
  std::vector<uint64_t> residues;
  for (uint64_t p : primes) {
    internal::ModArith arith{p};
    uint64_t residue = 0;
    if (!run_pass(plan, arith, progress, residue)) return finish(progress.status);
    residues.push_back(residue);
    ++result.passes;
  }
  result.count = internal::from_residues(BigUnsigned(low64), 64, primes, residues);
  return finish(SearchStatus::kCompleted);
}

}  // namespace anagram
