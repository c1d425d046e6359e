// File: search/count/box_runs.cpp
//
// The dense tables' shape and stages (box_runs.h); search part. Tested
// through both counts (tests/cpp/search_count_test.cpp).
#include "search/count/box_runs.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iterator>
#include <new>
#include <tuple>

namespace anagram::internal {

namespace {

// A further split dim must keep this share of the stage's work; the steps
// it leaves go to a later stage, which streams the table again. A dim that
// shares the slabs out more evenly may keep less: 3 slabs keep 2 threads
// busy 3/4 of the time, 9 slabs 9/10, and that gain outweighs the second
// streaming ('clint eastwood old west action': 1.6x to 1.7x on 2 threads).
constexpr double kKeepShare = 0.7;
constexpr double kKeepShareEvener = 0.3;

// How far a core's prefetcher reads past a run it writes, in cache lines
// (fitted: 16 served the short counts best; 32 cost 'presentation of rare
// sentiments hi there' 10% on 2 threads).
constexpr double kPrefetchLines = 16;
constexpr double kLineBytes = 64;

// Table blocks of at most this size are kept for the next table: the
// short counts' (the longer ones would not notice the faults).
constexpr size_t kKeptBlockBytes = size_t{16} << 20;

// A block starts with its size, a cache line before the cells.
constexpr size_t kBlockHeader = 64;

// The kept block (its cells), or null. An atomic, not a lock: a process
// forked while another thread held a lock would find it held for good.
std::atomic<void*> kept_block{nullptr};

size_t block_bytes(void* cells) { return *reinterpret_cast<size_t*>(static_cast<char*>(cells) - kBlockHeader); }

void free_block(void* cells) { std::free(static_cast<char*>(cells) - kBlockHeader); }

uint64_t cells_of(const DenseShape& d, const DenseStep& step, uint32_t width) {
  uint64_t box = saturating_mul(width, step.repeats);
  for (int i = 0; i < d.dims; ++i) box = saturating_mul(box, uint64_t{d.top[i]} - step.low[i] + 1);
  return box;
}

// Slabs of a dim with a stride (in cells) under a 256th of the slab size
// (4 KB by default) interleave finely: the runs come out short, and each
// core's prefetcher pulls in lines of the other's slabs as it writes them,
// so such a split gained nothing on two threads.
bool splits_on(const DenseShape& d, const DenseStep& step, int dim, uint32_t width, uint64_t slab_cells) {
  return step.low[dim] == 0 && d.top[dim] > 0 && d.stride[dim] * width >= (slab_cells >> 8);
}

// The share of a stage's work that splitting it along `dim` too keeps from
// the other threads' runs: a slab is runs of the table as long as the
// smallest stride split on, and at the end of each a core's prefetcher
// reads on some kPrefetchLines lines into the next slab's run, another
// core's, which then moves back and forth. Taken as lost work: 'william
// shakespeare the bard' split along a dim of 10.8 KB runs, and its steps
// took 9% more work on 2 threads than on 1; weighed so, it splits along
// coarser dims and gains 1.8x instead of 1.68x (others within 0.02x).
double kept_by_runs(const DenseShape& d, const DenseStage& stage, int dim, uint32_t width, unsigned threads) {
  if (threads < 2) return 1.0;
  uint64_t run = d.stride[dim];
  for (int i = 0; i < stage.splits; ++i) run = std::min(run, d.stride[stage.split[i]]);
  const double lines = static_cast<double>(saturating_mul(run, width)) * sizeof(uint64_t) / kLineBytes;
  return 1.0 - std::min(0.5, kPrefetchLines / lines);
}

// The share of the threads' time that `slabs` equal slabs keep busy: 3
// slabs on 2 threads, 3/4.
double balance(uint64_t slabs, unsigned threads) {
  const uint64_t rounds = (slabs + threads - 1) / threads;
  return static_cast<double>(slabs) / (static_cast<double>(rounds) * threads);
}

// Stages of the steps [begin, end), all of one first dim. A stage takes the
// dim free in most of the work (weighed by how evenly its slabs share out),
// then further dims while they keep most of its work and its slabs outgrow
// slab_cells or share out unevenly; the steps left over go the same way,
// until too little work is left to split; steps free in no dim share one
// unsplit stage.
void stage_group(DenseShape& d, size_t begin, size_t end, uint32_t width, const StageLimits& limits) {
  const std::vector<DenseStep> steps(d.steps.begin() + static_cast<std::ptrdiff_t>(begin),
                                     d.steps.begin() + static_cast<std::ptrdiff_t>(end));
  std::vector<uint32_t> free(steps.size(), 0);  // the dims each step may split on, as bits
  std::vector<uint64_t> cells(steps.size());
  for (size_t i = 0; i < steps.size(); ++i) {
    cells[i] = cells_of(d, steps[i], width);
    for (int dim = 0; dim < d.dims; ++dim) free[i] |= static_cast<uint32_t>(splits_on(d, steps[i], dim, width, limits.slab_cells)) << dim;
  }
  std::vector<size_t> left(steps.size());
  for (size_t i = 0; i < left.size(); ++i) left[i] = i;
  size_t at = begin;
  const uint64_t table_cells = saturating_mul(d.states, width);
  // One thread needs no slabs in a table that fits the cache whole: they
  // would only cut its runs short.
  const uint64_t enough_slabs = limits.threads > 1 ? 2 * uint64_t{limits.threads} : 1;
  while (!left.empty()) {
    DenseStage stage{at, at};
    std::vector<size_t> in = left;
    uint64_t work = 0;
    for (size_t i : in) work = std::min(work + cells[i], UINT64_MAX / 2);
    uint32_t used = 0;
    while (work >= limits.min_split_cells) {
      if (table_cells / stage.slabs <= limits.slab_cells && stage.slabs >= enough_slabs &&
          balance(stage.slabs, limits.threads) == 1.0) {
        break;
      }
      std::array<uint64_t, 26> by_dim{};
      for (size_t i : in) {
        for (uint32_t bits = free[i] & ~used; bits != 0; bits &= bits - 1) {
          uint64_t& w = by_dim[static_cast<size_t>(__builtin_ctz(bits))];
          w = std::min(w + cells[i], UINT64_MAX / 2);
        }
      }
      const auto busy = [&](int dim) {
        return static_cast<double>(by_dim[dim]) * balance(stage.slabs * (uint64_t{d.top[dim]} + 1), limits.threads) *
               kept_by_runs(d, stage, dim, width, limits.threads);
      };
      int best = 0;
      for (int dim = 1; dim < d.dims; ++dim) best = busy(dim) > busy(best) ? dim : best;
      const double now = balance(stage.slabs, limits.threads);
      const double keep = busy(best) > static_cast<double>(by_dim[best]) * now ? kKeepShareEvener : kKeepShare;
      if (by_dim[best] == 0 || (stage.splits > 0 && busy(best) < keep * static_cast<double>(work) * now)) {
        break;
      }
      std::erase_if(in, [&](size_t i) { return !(free[i] >> best & 1); });
      work = by_dim[best];
      used |= uint32_t{1} << best;
      stage.split[stage.splits++] = best;
      stage.slabs *= uint64_t{d.top[best]} + 1;
    }
    if (stage.splits == 0) in = left;  // free in no dim, or too little work: the rest, unsplit
    if (work < limits.min_split_cells) stage.splits = 0, stage.slabs = 1;
    for (size_t i : in) d.steps[at++] = steps[i];
    stage.end = at;
    d.stages.push_back(stage);
    std::vector<size_t> rest;
    std::set_difference(left.begin(), left.end(), in.begin(), in.end(), std::back_inserter(rest));
    left.swap(rest);
  }
}

uint32_t split_mask(const DenseStage& stage) {
  uint32_t mask = 0;
  for (int i = 0; i < stage.splits; ++i) mask |= uint32_t{1} << stage.split[i];
  return mask;
}

// Orders the stages [from, end) of one first dim (their steps commute) so
// that each shares as many split dims with the one before as it can: its
// slabs then wait only for the slabs they share cells with. The heavier
// stage first where they tie; unsplit stages, which every thread waits
// for anyway, last.
void chain_stages(DenseShape& d, size_t from, uint32_t width) {
  std::vector<DenseStage> left(d.stages.begin() + static_cast<std::ptrdiff_t>(from), d.stages.end());
  if (left.empty()) return;
  const size_t first_step = left.front().begin;
  const std::vector<DenseStep> steps(d.steps.begin() + static_cast<std::ptrdiff_t>(first_step),
                                     d.steps.begin() + static_cast<std::ptrdiff_t>(left.back().end));
  std::vector<uint64_t> work(left.size(), 0);
  for (size_t k = 0; k < left.size(); ++k) {
    for (size_t i = left[k].begin; i < left[k].end; ++i) work[k] += cells_of(d, d.steps[i], width);
  }
  d.stages.resize(from);
  size_t at = first_step;
  uint32_t before = from > 0 ? split_mask(d.stages[from - 1]) : 0;
  while (!left.empty()) {
    const auto rank = [&](size_t k) {
      return std::tuple(left[k].slabs > 1, __builtin_popcount(split_mask(left[k]) & before), work[k]);
    };
    size_t best = 0;
    for (size_t k = 1; k < left.size(); ++k) best = rank(k) > rank(best) ? k : best;
    DenseStage stage = left[best];
    const auto begin = steps.begin() + static_cast<std::ptrdiff_t>(stage.begin - first_step);
    std::copy(begin, begin + static_cast<std::ptrdiff_t>(stage.end - stage.begin),
              d.steps.begin() + static_cast<std::ptrdiff_t>(at));
    stage.end = at + (stage.end - stage.begin);
    stage.begin = at;
    at = stage.end;
    before = split_mask(stage);
    d.stages.push_back(stage);
    left.erase(left.begin() + static_cast<std::ptrdiff_t>(best));
    work.erase(work.begin() + static_cast<std::ptrdiff_t>(best));
  }
}

}  // namespace

void* take_table_block(size_t bytes) {
  if (void* kept = kept_block.exchange(nullptr, std::memory_order_acquire)) {
    if (block_bytes(kept) >= bytes) return kept;
    free_block(kept);
  }
  if (bytes > SIZE_MAX - kBlockHeader) throw std::bad_alloc();
  void* start = std::aligned_alloc(kBlockHeader, (bytes + kBlockHeader + kBlockHeader - 1) / kBlockHeader * kBlockHeader);
  if (start == nullptr) throw std::bad_alloc();
  *static_cast<size_t*>(start) = bytes;
  return static_cast<char*>(start) + kBlockHeader;
}

void give_table_block(void* cells) {
  if (cells == nullptr) return;
  if (block_bytes(cells) <= kKeptBlockBytes) cells = kept_block.exchange(cells, std::memory_order_acq_rel);
  if (cells != nullptr) free_block(cells);
}

void set_strides(DenseShape& d) {
  d.states = 1;
  for (int i = d.dims; i-- > 0;) {
    d.stride[i] = d.states;
    d.states = saturating_mul(d.states, uint64_t{d.top[i]} + 1);
  }
}

void make_stages(DenseShape& d, uint32_t width, const StageLimits& limits) {
  std::stable_sort(d.steps.begin(), d.steps.end(),
                   [](const DenseStep& a, const DenseStep& b) { return a.first < b.first; });
  d.stages.clear();
  for (size_t begin = 0; begin < d.steps.size();) {
    size_t end = begin;
    while (end < d.steps.size() && d.steps[end].first == d.steps[begin].first) ++end;
    const size_t from = d.stages.size();
    stage_group(d, begin, end, width, limits);
    chain_stages(d, from, width);
    begin = end;
  }
  for (size_t k = 0; k + 1 < d.stages.size(); ++k) {
    DenseStage& stage = d.stages[k];
    const DenseStage& next = d.stages[k + 1];
    for (int i = 0; i < stage.splits; ++i) {
      if (split_mask(next) >> stage.split[i] & 1) stage.shared[stage.shares++] = stage.split[i];
    }
  }
}

StageLinks link_stages(const DenseShape& d) {
  StageLinks links;
  for (const DenseStage& stage : d.stages) {
    uint64_t keys = 1;
    for (int i = 0; i < stage.shares; ++i) keys *= uint64_t{d.top[stage.shared[i]]} + 1;
    links.base.push_back(links.counters);
    links.need.push_back(stage.slabs / keys);
    links.counters += keys;
  }
  return links;
}

uint64_t step_work(const DenseShape& d, uint32_t width) {
  uint64_t work = 0;
  for (const DenseStep& step : d.steps) work = std::min(work + cells_of(d, step, width), UINT64_MAX / 2);
  return work;
}

}  // namespace anagram::internal
