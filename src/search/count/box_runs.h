// File: search/count/box_runs.h
//
// The one step of the dense counts (table_count.cpp, and the dense part of
// reach_count.cpp): a factor 1/(1 - x^v) applied to a box of a mixed-radix
// table, f[s] += f[s - v] in increasing index order, run by run along the
// innermost dim. Search part; tested through both counts
// (tests/cpp/search_count_test.cpp).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "search/shared/threads.h"

namespace anagram::internal {

// f[s] += f[s - v] over one contiguous run of states, with `width` cells per
// state: the word count of s - v plus one lands in s.
template <typename Arith>
void add_run(Arith& arith, typename Arith::Cell* cells, uint64_t offset_cells, uint64_t run, uint32_t width) {
  using Cell = typename Arith::Cell;
  const Cell* from = cells - offset_cells;
  Arith local = arith;  // its carry flag in a register, not aliased by the cells
  if (width == 1) {
    for (uint64_t j = 0; j < run; ++j) cells[j] = local.add(cells[j], from[j]);
  } else {
    for (uint64_t j = 0; j < run; ++j) {
      for (uint32_t k = width - 1; k >= 1; --k) cells[j * width + k] = local.add(cells[j * width + k], from[j * width + k - 1]);
    }
  }
  arith = local;
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
  while (true) {
    add_run(arith, table + base * width, offset * width, run, width);
    if (!done(run * width)) return false;
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
    if (d < 0) return true;
  }
}

// apply_box on up to `threads` threads. The box splits into independent
// slabs along its dims where v is 0 (low 0: s and s - v share that
// coordinate), outermost first, until there are a few slabs per thread; each
// slab runs in increasing order as apply_box does, so every cell gets the
// same sums in the same order as on one thread. `arith` is each thread's
// arithmetic, copied in and merged back (any carry). done(cells) is asked on
// the calling thread only (with the helpers' cells too, so every cell is
// told); the helpers stop when it says stop. A box of fewer than
// `min_split_cells` cells runs on the calling thread alone.
template <typename Arith, typename Done>
bool apply_box_threads(unsigned threads, uint64_t min_split_cells, Arith& arith, typename Arith::Cell* table, int dims,
                       const std::array<uint32_t, 26>& low, const std::array<uint32_t, 26>& top,
                       const std::array<uint64_t, 26>& stride, uint64_t offset, uint32_t width, Done&& done) {
  uint64_t cells = width;
  for (int d = 0; d < dims; ++d) cells *= top[d] - low[d] + 1;
  std::array<int, 26> split{};
  int splits = 0;
  uint64_t slabs = 1;
  for (int d = 0; d < dims && threads > 1 && cells >= min_split_cells && slabs < 8 * threads; ++d) {
    // Slabs of a dim with a short stride interleave in memory: the threads
    // would share cache lines and cut the runs short.
    if (low[d] != 0 || top[d] == 0 || stride[d] * width < 512) continue;
    split[splits++] = d;
    slabs *= uint64_t{top[d]} + 1;
  }
  if (splits == 0) return apply_box(arith, table, dims, low, top, stride, offset, width, done);
  std::vector<Arith> own(threads, arith);
  std::atomic<bool> halt{false};
  std::atomic<uint64_t> helpers_done{0};  // cells the helpers updated, not yet told to done()
  const bool finished = run_parallel(threads, slabs, nullptr, [&](unsigned t, size_t slab) {
    std::array<uint32_t, 26> from = low, to = top;
    for (int i = splits; i-- > 0;) {
      const int d = split[i];
      from[d] = to[d] = static_cast<uint32_t>(slab % (uint64_t{top[d]} + 1));
      slab /= uint64_t{top[d]} + 1;
    }
    const bool going = apply_box(own[t], table, dims, from, to, stride, offset, width, [&](uint64_t n) {
      if (halt.load(std::memory_order_relaxed)) return false;
      if (t != 0) {
        helpers_done.fetch_add(n, std::memory_order_relaxed);
        return true;
      }
      if (!done(n + helpers_done.exchange(0, std::memory_order_relaxed))) {
        halt = true;
        return false;
      }
      return true;
    });
    return going;
  });
  if constexpr (requires(Arith a) { a.carried; }) {
    for (const Arith& a : own) arith.carried |= a.carried;
  }
  if (const uint64_t rest = helpers_done.load(); rest > 0 && !halt.load() && !done(rest)) halt = true;
  return finished && !halt.load();
}

}  // namespace anagram::internal
