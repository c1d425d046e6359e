// File: search/count/box_runs.h
//
// The dense tables of the counts (table_count.cpp, and the dense part of
// reach_count.cpp): their shape, their steps and the stages the steps run
// in. A step is a factor 1/(1 - x^v) applied to a box of a mixed-radix
// table, f[s] += f[s - v] in increasing index order, run by run along the
// innermost dim; a stage runs several steps slab by slab, on threads.
// Search part; tested through both counts (tests/cpp/search_count_test.cpp).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "search/shared/threads.h"

namespace anagram::internal {

// a * b, or the largest uint64_t when that overflows: table sizes and work
// estimates past any cap.
inline uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t product;
  return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<uint64_t>::max() : product;
}

// Memory for a table, from the start of a cache line: slabs cut along a
// dim whose stride is whole lines then share no line between two threads.
// The last small table's block is kept for the next: a fresh block costs a
// page fault a page, and giving it back makes the kernel interrupt every
// other core to flush its address cache (0.6-0.9 ms of a 20-40 ms count).
// Throws std::bad_alloc.
void* take_table_block(size_t bytes);
void give_table_block(void* block);

struct GiveTableBlock {
  void operator()(void* cells) const { give_table_block(cells); }
};
template <typename Cell>
using AlignedCells = std::unique_ptr<Cell[], GiveTableBlock>;

// A table of `cells` cells, all zero (all bits clear: 0 and 0.0 alike),
// cleared in slices on up to `threads` threads: a fresh table's clearing
// is mostly page faults, and one thread taking them all would be the
// serial part of a short count.
template <typename Cell>
AlignedCells<Cell> zeroed_cells(unsigned threads, uint64_t cells) {
  static_assert(std::is_trivially_copyable_v<Cell>);
  constexpr uint64_t kSlice = uint64_t{1} << 16;
  AlignedCells<Cell> table(static_cast<Cell*>(take_table_block(cells * sizeof(Cell))));
  run_parallel(threads, (cells + kSlice - 1) / kSlice, nullptr, [&](unsigned, size_t slice) {
    const uint64_t begin = slice * kSlice;
    std::fill(table.get() + begin, table.get() + std::min(cells, begin + kSlice), Cell{0});
    return true;
  });
  return table;
}

// f[s] += f[s - v] over one contiguous run of states, with `width` cells per
// state: the word count of s - v plus one lands in s. Inlined into
// apply_box: most runs are a few cells long, and a call each cost more than
// the adds; `arith` is apply_box's own copy, its carry flag in a register.
template <typename Arith>
[[gnu::always_inline]] inline void add_run(Arith& arith, typename Arith::Cell* cells, uint64_t offset_cells,
                                           uint64_t run, uint32_t width) {
  using Cell = typename Arith::Cell;
  const Cell* from = cells - offset_cells;
  if (width == 1) {
    for (uint64_t j = 0; j < run; ++j) cells[j] = arith.add(cells[j], from[j]);
  } else {
    for (uint64_t j = 0; j < run; ++j) {
      for (uint32_t k = width - 1; k >= 1; --k) cells[j * width + k] = arith.add(cells[j * width + k], from[j * width + k - 1]);
    }
  }
}

// Applies f[s] += f[s - v] (v `offset` states away) over the box low..top
// of a table of `dims` dims (dim 0 outermost, `stride` each, the innermost
// stride 1), in increasing index order. After each run, done(cells updated) says whether to go on;
// returns false when it said stop.
template <typename Arith, typename Done>
bool apply_box(Arith& arith, typename Arith::Cell* table, int dims, const std::array<uint32_t, 26>& low,
               const std::array<uint32_t, 26>& top, const std::array<uint64_t, 26>& stride, uint64_t offset,
               uint32_t width, Done&& done) {
  // Inner dims the box spans whole (low 0) are contiguous: one run covers
  // them and the range of the dim just outside them.
  int inner = dims - 1;
  while (inner > 0 && low[inner] == 0 && (uint64_t{top[inner]} + 1) * stride[inner] == stride[inner - 1]) --inner;
  const uint64_t run = (top[inner] - low[inner] + 1) * stride[inner];
  std::array<uint32_t, 26> at = low;
  uint64_t base = 0;
  for (int d = 0; d <= inner; ++d) base += at[d] * stride[d];
  Arith local = arith;  // its carry flag in a register, not aliased by the cells
  while (true) {
    add_run(local, table + base * width, offset * width, run, width);
    if (!done(run * width)) {
      arith = local;
      return false;
    }
    int d = inner - 1;
    for (; d >= 0; --d) {
      if (at[d] < top[d]) {
        ++at[d];
        base += stride[d];
        break;
      }
      base -= (at[d] - low[d]) * stride[d];
      at[d] = low[d];
    }
    if (d < 0) {
      arith = local;
      return true;
    }
  }
}

// A class's factors 1/(1 - x^v), one per word, over the box low..top.
struct DenseStep {
  std::array<uint32_t, 26> low{};  // the box low..top: dims before `first` full
  uint64_t offset = 0;             // index distance from s to s - v
  uint64_t repeats = 0;            // the class's words: one factor each
  int first = 0;                   // the class's first dim
};

// Steps [begin, end) that run together: the box splits into `slabs`
// independent slabs along the `split` dims, where every one of the steps
// has v 0 (low 0: s and s - v share that coordinate), and each slab takes
// all of the steps in turn. Unsplit (slabs 1), the steps run one by one on
// the calling thread.
struct DenseStage {
  size_t begin = 0, end = 0;
  std::array<int, 26> split{};
  int splits = 0;
  uint64_t slabs = 1;
  // The split dims the next stage splits on too, in this stage's split
  // order: a slab of the next stage shares cells only with the slabs of
  // this one that agree with it on them, and waits for those alone.
  std::array<int, 26> shared{};
  int shares = 0;
};

// The dense table of a count: `dims` dims (dim 0 outermost, the innermost
// stride 1), the factors applied to it, and the stages they run in.
struct DenseShape {
  int dims = 0;
  std::array<uint32_t, 26> top{};
  std::array<uint64_t, 26> stride{};
  uint64_t states = 1;  // saturates: the caller refuses a table that large
  std::vector<DenseStep> steps;
  std::vector<DenseStage> stages;
};

// Sets the strides of a table whose dims hold 0..top[d]; states saturates.
void set_strides(DenseShape& d);

// Adds the step of a class of `repeats` words holding count_of(dim) of
// each dim's letter.
template <typename CountOf>
void add_step(DenseShape& d, uint64_t repeats, CountOf&& count_of) {
  DenseStep step;
  step.first = d.dims;
  for (int i = 0; i < d.dims; ++i) {
    const uint32_t count = count_of(i);
    if (count > 0 && step.first == d.dims) step.first = i;
    step.low[i] = step.first == d.dims ? d.top[i] : count;
    step.offset += count * d.stride[i];
  }
  step.repeats = repeats;
  d.steps.push_back(step);
}

struct StageLimits {
  unsigned threads = 1;
  uint64_t min_split_cells = 0;  // a stage of fewer cell updates stays unsplit
  uint64_t slab_cells = 0;       // split on until a slab holds no more cells
};

// Orders the steps by first dim (a class is applied once every class of an
// earlier first dim is, over the part of the table that can still reach
// the phrase) and, within a first dim, into stages: the steps that leave
// the same dims free run together, slab by slab. The threads meet once a
// stage, not once a factor, and a slab that fits a core's cache takes all
// the stage's steps while it is there.
void make_stages(DenseShape& d, uint32_t width, const StageLimits& limits);

// The cell updates of the steps.
uint64_t step_work(const DenseShape& d, uint32_t width);

// Which slab of `stage` a number names: its coordinates on the split dims
// (the others 0).
inline std::array<uint32_t, 26> slab_at(const DenseShape& d, const DenseStage& stage, uint64_t slab) {
  std::array<uint32_t, 26> at{};
  for (int i = stage.splits; i-- > 0;) {
    const int dim = stage.split[i];
    at[dim] = static_cast<uint32_t>(slab % (uint64_t{d.top[dim]} + 1));
    slab /= uint64_t{d.top[dim]} + 1;
  }
  return at;
}

// How the slabs of consecutive stages wait for each other: each stage has a
// counter for each combination of its shared dims (shared_key), which
// counts its slabs done there; `need` of them make it complete.
struct StageLinks {
  std::vector<size_t> base;    // a stage's first counter
  std::vector<uint64_t> need;  // a stage's slabs per counter
  size_t counters = 0;
};
StageLinks link_stages(const DenseShape& d);

// The counter (past the stage's base) of the slab at `at`, of this stage or
// of the next one.
inline uint64_t shared_key(const DenseShape& d, const DenseStage& stage, const std::array<uint32_t, 26>& at) {
  uint64_t key = 0;
  for (int i = 0; i < stage.shares; ++i) key = key * (uint64_t{d.top[stage.shared[i]]} + 1) + at[stage.shared[i]];
  return key;
}

// Applies the steps of `stage` to its slab at `at`, in order, telling
// `tally` the cells as thread t. A function of its own, with the tally's
// count in a local: inlined into apply_steps' loop over the stages, its
// runs lost their registers to that loop's and took 5% longer.
template <typename Arith, typename Done>
[[gnu::noinline]] bool apply_slab(Arith& arith, typename Arith::Cell* table, const DenseShape& d,
                                  const DenseStage& stage, const std::array<uint32_t, 26>& at, uint32_t width,
                                  Tally& tally, unsigned t, Done& done) {
  Tally::Own told;
  const auto tell = [&](uint64_t n) { return tally.tell(t, told, n, done); };
  bool going = true;
  for (size_t i = stage.begin; going && i < stage.end; ++i) {
    const DenseStep& step = d.steps[i];
    std::array<uint32_t, 26> from = step.low, to = d.top;
    for (int s = 0; s < stage.splits; ++s) from[stage.split[s]] = to[stage.split[s]] = at[stage.split[s]];
    for (uint64_t r = 0; going && r < step.repeats; ++r) {
      going = apply_box(arith, table, d.dims, from, to, d.stride, step.offset, width, tell);
    }
  }
  tally.leave(told);
  return going;
}

// Applies every step of d to the table in its stages, on up to `threads`
// threads. Each slab runs its steps in order, as apply_box does, so every
// cell gets the same sums in the same order as on one thread. The stages
// run as one job with no barrier between them: a slab starts once the
// slabs of the stage before that share cells with it are done, so a thread
// whose share of a stage is done (3 slabs on 2 threads) goes on to the next
// stage's slabs rather than wait for the whole stage. Threads take a
// stage's slabs from their own range first, so a thread mostly meets again
// the part of the table it had, and take a stage's slabs only once every
// slab of the stage before is taken, so a slab only ever waits for slabs
// already being applied. `arith` is each thread's arithmetic, copied in and
// merged back (any carry). done(cells) is asked on the calling thread only
// (with the helpers' cells too, so every cell is told); the helpers stop
// when it says stop. Returns false when stopped.
template <typename Arith, typename Done>
bool apply_steps(unsigned threads, Arith& arith, typename Arith::Cell* table, const DenseShape& d, uint32_t width,
                 Done&& done) {
  const size_t stages = d.stages.size();
  if (stages == 0) return true;
  threads = std::max(threads, 1u);
  const StageLinks links = link_stages(d);
  const std::unique_ptr<std::atomic<uint64_t>[]> finished(new std::atomic<uint64_t>[links.counters]());
  struct alignas(64) Claim {
    std::atomic<uint64_t> next{0};
    uint64_t end = 0;
  };
  const std::unique_ptr<Claim[]> claims(new Claim[stages * threads]);
  // An unsplit stage is the calling thread's: it polls as it goes.
  for (size_t k = 0; k < stages; ++k) {
    const uint64_t slabs = d.stages[k].slabs;
    for (unsigned t = 0; t < threads; ++t) {
      claims[k * threads + t].next.store(slabs == 1 ? 0 : slabs * t / threads, std::memory_order_relaxed);
      claims[k * threads + t].end = slabs == 1 ? (t == 0 ? 1 : 0) : slabs * (t + 1) / threads;
    }
  }
  // A line each: apply_box stores its thread's carry after every box.
  struct alignas(64) Own {
    Arith arith;
  };
  std::vector<Own> own(threads, Own{arith});
  std::atomic<bool> halt{false};
  Tally tally;
  // Waits until the slabs of stage k - 1 that share cells with `at` of
  // stage k are done (k past the last stage: all of them); the calling
  // thread goes on telling the helpers' work meanwhile, so a stop is seen
  // while it waits.
  const auto wait_for = [&](unsigned t, size_t k, const std::array<uint32_t, 26>& at) {
    const std::atomic<uint64_t>& count = finished[links.base[k - 1] + shared_key(d, d.stages[k - 1], at)];
    unsigned looks = 0;
    return spin_while(
        [&] {
          if (count.load(std::memory_order_acquire) >= links.need[k - 1]) return false;
          if (t == 0 && ++looks % 64 == 0 && !tally.poll(done)) halt = true;
          return true;
        },
        halt);
  };
  const bool going = run_parallel(threads, threads, nullptr, [&](unsigned t, size_t) {
    // Whatever ends this thread's part early (a stop, an exception) frees
    // the others from waiting for its slabs.
    struct Leave {
      std::atomic<bool>& halt;
      bool early = true;
      ~Leave() {
        if (early) halt = true;
      }
    } leave{halt};
    for (size_t k = 0; k < stages; ++k) {
      for (unsigned r = 0; r < threads && (t == 0 || d.stages[k].slabs > 1); ++r) {
        Claim& claim = claims[k * threads + (t + r) % threads];
        for (uint64_t slab; (slab = claim.next.fetch_add(1, std::memory_order_relaxed)) < claim.end;) {
          const std::array<uint32_t, 26> at = slab_at(d, d.stages[k], slab);
          if ((k > 0 && !wait_for(t, k, at)) || !apply_slab(own[t].arith, table, d, d.stages[k], at, width, tally, t, done)) {
            return false;
          }
          finished[links.base[k] + shared_key(d, d.stages[k], at)].fetch_add(1, std::memory_order_release);
        }
      }
    }
    // The calling thread stays until the last slab is done, telling the
    // helpers' work: a stop must still be seen while they finish.
    if (t == 0 && !wait_for(t, stages, {})) return false;
    leave.early = false;
    return true;
  });
  if constexpr (requires(Arith a) { a.carried; }) {
    for (const Own& o : own) arith.carried |= o.arith.carried;
  }
  return tally.poll(done) && going;
}

}  // namespace anagram::internal
