// File: search/count/box_runs.h
//
// The one step of the dense counts (table_count.cpp, and the dense part of
// reach_count.cpp): a factor 1/(1 - x^v) applied to a box of a mixed-radix
// table, f[s] += f[s - v] in increasing index order, run by run along the
// innermost dim. Search part; tested through both counts
// (tests/cpp/search_count_test.cpp).
#pragma once

#include <array>
#include <cstdint>

namespace anagram::internal {

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

// Applies f[s] += f[s - v] (v `offset` states away) over the box low..top
// of a table of `dims` dims (dim 0 outermost, `stride` each), in increasing
// index order. After each run, done(cells updated) says whether to go on;
// returns false when it said stop.
template <typename Arith, typename Done>
bool apply_box(Arith& arith, typename Arith::Cell* table, int dims, const std::array<uint32_t, 26>& low,
               const std::array<uint32_t, 26>& top, const std::array<uint64_t, 26>& stride, uint64_t offset,
               uint32_t width, Done&& done) {
  const int inner = dims - 1;
  const uint64_t run = top[inner] - low[inner] + 1;
  std::array<uint32_t, 26> at = low;
  uint64_t base = 0;
  for (int d = 0; d < dims; ++d) base += at[d] * stride[d];
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

}  // namespace anagram::internal
