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
// chosen greedily to keep the work small.
//
// Exactness: a first pass adds in 64 bits with carry detection. When a carry
// happens, a pass in floating point bounds the count, and passes modulo large
// primes give enough residues for the Chinese remainder theorem to rebuild
// the exact value next to the 64-bit residue of the first pass.
#include "search_count.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>

namespace {

using u128 = unsigned __int128;

constexpr uint64_t kPollEvery = uint64_t{1} << 16;

// One factor 1/(1 - x^v)^repeats over the box low..top of the table.
struct Step {
  std::array<uint32_t, 26> low{};
  uint64_t offset = 0;  // index distance from s to s - v
  uint64_t repeats = 0;
};

// Everything the passes share: the table's shape and the factors in order.
struct Plan {
  int dims = 0;                    // distinct letters of the phrase; dim 0 is outermost
  std::array<uint32_t, 26> top{};  // the phrase's count of each dim's letter
  std::array<uint64_t, 26> stride{};
  uint64_t states = 1;
  uint32_t width = 1;  // cells per state: 1, or max_words + 1 with a word-count limit
  uint64_t total_repeats = 0;
  std::vector<Step> steps;
};

// Stops the passes when the caller asks or the deadline passes.
struct Progress {
  const CountLimits& limits;
  uint64_t since_poll = 0;
  uint64_t updates = 0;
  CountStatus status = CountStatus::kDone;

  bool keep_going(uint64_t done) {
    since_poll += done;
    updates += done;
    if (since_poll < kPollEvery) return true;
    since_poll = 0;
    if (limits.poll != nullptr && limits.poll(limits.poll_context)) status = CountStatus::kStopped;
    if (limits.deadline && std::chrono::steady_clock::now() >= *limits.deadline) status = CountStatus::kTimedOut;
    return status == CountStatus::kDone;
  }
};

struct WrapAdd {
  using Cell = uint64_t;
  uint64_t carried = 0;
  Cell add(Cell a, Cell b) {
    const Cell sum = a + b;
    carried |= static_cast<uint64_t>(sum < a);
    return sum;
  }
};

struct ModAdd {
  using Cell = uint64_t;
  uint64_t modulus;  // below 2^63, so a sum of two residues never wraps
  Cell add(Cell a, Cell b) const {
    const Cell sum = a + b;
    return sum >= modulus ? sum - modulus : sum;
  }
};

template <typename F>
struct FloatAdd {
  using Cell = F;
  Cell add(Cell a, Cell b) const { return a + b; }
};

uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t product;
  return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<uint64_t>::max() : product;
}

// Picks the next letter whose classes cost least over the part of the table
// still live, so the big early passes are few.
std::vector<int> choose_letter_order(const std::vector<uint32_t>& top, const std::vector<std::vector<uint32_t>>& v,
                                     const std::vector<uint64_t>& words) {
  const int dims = static_cast<int>(top.size());
  std::vector<int> order;
  std::vector<bool> letter_done(dims, false), class_done(v.size(), false);
  while (static_cast<int>(order.size()) < dims) {
    std::vector<double> cost(dims, 0.0);
    for (size_t c = 0; c < v.size(); ++c) {
      if (class_done[c]) continue;
      double box = static_cast<double>(words[c]);
      for (int i = 0; i < dims; ++i) {
        if (!letter_done[i]) box *= top[i] - v[c][i] + 1;
      }
      for (int i = 0; i < dims; ++i) {
        if (v[c][i] > 0) cost[i] += box;
      }
    }
    int best = -1;
    for (int i = 0; i < dims; ++i) {
      if (!letter_done[i] && (best < 0 || cost[i] < cost[best])) best = i;
    }
    letter_done[best] = true;
    order.push_back(best);
    for (size_t c = 0; c < v.size(); ++c) class_done[c] = class_done[c] || v[c][best] > 0;
  }
  return order;
}

enum class PlanOutcome { kReady, kZero, kTooLarge };

PlanOutcome make_plan(const CharCounts& phrase, std::span<const AnagramClass> classes, const CountLimits& limits,
                      Plan& plan, size_t& table_bytes) {
  std::vector<int> slots;  // phrase letter slots, in letter order
  std::vector<uint32_t> top;
  for (int slot = 0; slot < 26; ++slot) {
    if (phrase.counts[slot] > 0) {
      slots.push_back(slot);
      top.push_back(phrase.counts[slot]);
    }
  }
  std::vector<std::vector<uint32_t>> v;
  std::vector<uint64_t> words;
  std::vector<bool> covered(slots.size(), false);
  uint32_t min_length = std::numeric_limits<uint32_t>::max();
  for (const AnagramClass& c : classes) {
    if (c.words == 0 || c.letters.is_empty() || !phrase.can_subtract(c.letters)) continue;
    std::vector<uint32_t> counts(slots.size());
    for (size_t i = 0; i < slots.size(); ++i) {
      counts[i] = c.letters.counts[slots[i]];
      covered[i] = covered[i] || counts[i] > 0;
    }
    v.push_back(std::move(counts));
    words.push_back(c.words);
    min_length = std::min(min_length, c.letters.total());
  }
  if (std::find(covered.begin(), covered.end(), false) != covered.end()) return PlanOutcome::kZero;

  if (limits.max_words) {
    if (*limits.max_words == 0) return PlanOutcome::kZero;
    // A limit no solution can reach needs no word-count dimension.
    if (*limits.max_words < phrase.total() / min_length) plan.width = *limits.max_words + 1;
  }

  const std::vector<int> order = choose_letter_order(top, v, words);
  plan.dims = static_cast<int>(order.size());
  for (int d = 0; d < plan.dims; ++d) plan.top[d] = top[order[d]];
  plan.states = 1;
  for (int d = plan.dims; d-- > 0;) {
    plan.stride[d] = plan.states;
    plan.states = saturating_mul(plan.states, uint64_t{plan.top[d]} + 1);
  }
  table_bytes = static_cast<size_t>(saturating_mul(saturating_mul(plan.states, plan.width), sizeof(uint64_t)));
  if (table_bytes > limits.max_table_bytes) return PlanOutcome::kTooLarge;

  std::vector<std::pair<int, Step>> grouped;  // (first letter in order, step)
  for (size_t c = 0; c < v.size(); ++c) {
    int group = plan.dims;
    Step step;
    for (int d = 0; d < plan.dims; ++d) {
      const uint32_t count = v[c][order[d]];
      if (count > 0 && group == plan.dims) group = d;
      step.offset += count * plan.stride[d];
      step.low[d] = group == plan.dims ? plan.top[d] : count;
    }
    step.repeats = words[c];
    plan.total_repeats += words[c];
    grouped.emplace_back(group, step);
  }
  std::stable_sort(grouped.begin(), grouped.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [group, step] : grouped) plan.steps.push_back(step);
  return PlanOutcome::kReady;
}

// f[s] += f[s - v] over one contiguous run of states, with `width` cells per
// state: the word count of s - v plus one lands in s.
template <typename Arith>
void add_run(Arith& arith, typename Arith::Cell* cells, uint64_t offset_cells, uint64_t run, uint32_t width) {
  using Cell = typename Arith::Cell;
  const Cell* from = cells - offset_cells;
  if (width == 1) {
    for (uint64_t j = 0; j < run; ++j) cells[j] = arith.add(cells[j], from[j]);
    return;
  }
  for (uint64_t j = 0; j < run; ++j) {
    for (uint32_t k = width - 1; k >= 1; --k) cells[j * width + k] = arith.add(cells[j * width + k], from[j * width + k - 1]);
  }
}

// Applies one factor 1/(1 - x^v) to the box low..top, in increasing index order.
template <typename Arith>
bool apply_factor(const Plan& plan, const Step& step, Arith& arith, typename Arith::Cell* table, Progress& progress) {
  const int inner = plan.dims - 1;
  const uint64_t run = plan.top[inner] - step.low[inner] + 1;
  std::array<uint32_t, 26> at = step.low;
  uint64_t base = 0;
  for (int d = 0; d < plan.dims; ++d) base += at[d] * plan.stride[d];
  while (true) {
    add_run(arith, table + base * plan.width, step.offset * plan.width, run, plan.width);
    if (!progress.keep_going(run * plan.width)) return false;
    int d = inner - 1;
    for (; d >= 0; --d) {
      if (at[d] < plan.top[d]) {
        ++at[d];
        base += plan.stride[d];
        break;
      }
      base -= (at[d] - step.low[d]) * plan.stride[d];
      at[d] = step.low[d];
    }
    if (d < 0) return true;
  }
}

// One full pass; returns false when stopped. `result` is the sum over the
// word counts of the phrase's state.
template <typename Arith>
bool run_pass(const Plan& plan, Arith& arith, Progress& progress, typename Arith::Cell& result) {
  using Cell = typename Arith::Cell;
  std::vector<Cell> table(plan.states * plan.width, Cell{0});
  table[0] = Cell{1};
  Arith local = arith;
  for (const Step& step : plan.steps) {
    for (uint64_t r = 0; r < step.repeats; ++r) {
      if (!apply_factor(plan, step, local, table.data(), progress)) return false;
    }
  }
  const Cell* last = table.data() + (plan.states - 1) * plan.width;
  result = Cell{0};
  for (uint32_t k = 0; k < plan.width; ++k) result = local.add(result, last[k]);
  arith = local;
  return true;
}

uint64_t mul_mod(uint64_t a, uint64_t b, uint64_t m) { return static_cast<uint64_t>(static_cast<u128>(a) * b % m); }

uint64_t pow_mod(uint64_t base, uint64_t exp, uint64_t m) {
  uint64_t result = 1 % m;
  for (base %= m; exp > 0; exp >>= 1, base = mul_mod(base, base, m)) {
    if (exp & 1) result = mul_mod(result, base, m);
  }
  return result;
}

// Miller-Rabin with the first twelve primes as bases: exact below 3.3e24.
bool is_prime(uint64_t n) {
  static constexpr uint64_t kBases[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37};
  if (n < 2) return false;
  for (uint64_t p : kBases) {
    if (n % p == 0) return n == p;
  }
  const int twos = __builtin_ctzll(n - 1);
  const uint64_t odd = (n - 1) >> twos;
  for (uint64_t a : kBases) {
    uint64_t x = pow_mod(a, odd, n);
    if (x == 1 || x == n - 1) continue;
    bool composite = true;
    for (int i = 1; i < twos && composite; ++i) {
      x = mul_mod(x, x, n);
      composite = x != n - 1;
    }
    if (composite) return false;
  }
  return true;
}

// The `count` largest primes below 2^63, each above 2^62.
std::vector<uint64_t> large_primes(size_t count) {
  std::vector<uint64_t> primes;
  for (uint64_t n = (uint64_t{1} << 63) - 1; primes.size() < count; n -= 2) {
    if (is_prime(n)) primes.push_back(n);
  }
  return primes;
}

// An upper bound of the count from a pass in floating point: every value is
// a sum of non-negative terms, so rounding errors stay relative and small.
template <typename F>
std::optional<double> bound_bits(const Plan& plan, const CharCounts& phrase, Progress& progress, bool& stopped) {
  FloatAdd<F> arith;
  F approx;
  if (!run_pass(plan, arith, progress, approx)) {
    stopped = true;
    return std::nullopt;
  }
  const F depth = static_cast<F>(plan.total_repeats) * (static_cast<F>(phrase.total()) + 1) + plan.width;
  const F bound = approx * (1 + 4 * depth * std::numeric_limits<F>::epsilon()) + 2;
  if (!std::isfinite(bound)) return std::nullopt;
  return static_cast<double>(std::ilogb(bound) + 1);
}

// The value below 2^64 * prod(primes) with the given residues.
BigUnsigned from_residues(uint64_t low64, const std::vector<uint64_t>& primes, const std::vector<uint64_t>& residues) {
  BigUnsigned value(low64);
  BigUnsigned modulus;
  modulus += uint64_t{1};
  modulus *= uint64_t{1} << 32;
  modulus *= uint64_t{1} << 32;
  for (size_t i = 0; i < primes.size(); ++i) {
    const uint64_t p = primes[i];
    const uint64_t have = value.mod(p);
    const uint64_t need = residues[i] >= have ? residues[i] - have : residues[i] + (p - have);
    const uint64_t step = mul_mod(need, pow_mod(modulus.mod(p), p - 2, p), p);
    BigUnsigned term = modulus;
    term *= step;
    value += term;
    modulus *= p;
  }
  return value;
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
  CountResult result;
  if (phrase.is_empty()) return result;
  Plan plan;
  switch (make_plan(phrase, classes, limits, plan, result.table_bytes)) {
    case PlanOutcome::kZero:
      return result;
    case PlanOutcome::kTooLarge:
      result.states = plan.states;
      result.status = CountStatus::kTooLarge;
      return result;
    case PlanOutcome::kReady:
      break;
  }
  result.states = plan.states;
  Progress progress{limits};
  if (limits.deadline && std::chrono::steady_clock::now() >= *limits.deadline) {
    result.status = CountStatus::kTimedOut;
    return result;
  }
  const auto finish = [&](CountStatus status) {
    result.status = status;
    result.cell_updates = progress.updates;
    return result;
  };

  WrapAdd wrap;
  uint64_t low64 = 0;
  if (!run_pass(plan, wrap, progress, low64)) return finish(progress.status);
  if (wrap.carried == 0) {
    result.count = BigUnsigned(low64);
    return finish(CountStatus::kDone);
  }

  bool stopped = false;
  std::optional<double> bits = bound_bits<double>(plan, phrase, progress, stopped);
  result.passes = 2;
  if (!bits && !stopped && result.table_bytes / sizeof(uint64_t) * sizeof(long double) <= limits.max_table_bytes) {
    bits = bound_bits<long double>(plan, phrase, progress, stopped);
    result.passes = 3;
  }
  if (stopped) return finish(progress.status);
  if (!bits) return finish(CountStatus::kTooLarge);

  // 2^64 times primes above 2^62 must exceed the bound.
  const size_t prime_count = *bits <= 64 ? 0 : static_cast<size_t>(std::ceil((*bits - 64) / 62));
  const std::vector<uint64_t> primes = large_primes(prime_count);
  std::vector<uint64_t> residues;
  for (uint64_t p : primes) {
    ModAdd arith{p};
    uint64_t residue = 0;
    if (!run_pass(plan, arith, progress, residue)) return finish(progress.status);
    residues.push_back(residue);
    ++result.passes;
  }
  result.count = from_residues(low64, primes, residues);
  return finish(CountStatus::kDone);
}
