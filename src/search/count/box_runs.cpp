// File: search/count/box_runs.cpp
//
// The dense tables' shape and stages (box_runs.h); search part. Tested
// through both counts (tests/cpp/search_count_test.cpp).
#include "search/count/box_runs.h"

#include <algorithm>
#include <limits>

namespace anagram::internal {

namespace {

// A further split dim must keep this share of the stage's work; the steps
// it leaves go to a later stage, which streams the table again.
constexpr double kKeepShare = 0.7;

uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t product;
  return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<uint64_t>::max() : product;
}

uint64_t cells_of(const DenseShape& d, const DenseStep& step, uint32_t width) {
  uint64_t box = saturating_mul(width, step.repeats);
  for (int i = 0; i < d.dims; ++i) box = saturating_mul(box, uint64_t{d.top[i]} - step.low[i] + 1);
  return box;
}

// Slabs of a dim with a stride (in cells) under a 2048th of the slab size
// interleave finely: the runs come out short and the threads' slabs meet
// on cache lines.
bool splits_on(const DenseShape& d, const DenseStep& step, int dim, uint32_t width, uint64_t slab_cells) {
  return step.low[dim] == 0 && d.top[dim] > 0 && d.stride[dim] * width >= (slab_cells >> 11);
}

// The work of the steps free in `dim`, of those whose `in` is set.
uint64_t free_work(const DenseShape& d, const std::vector<DenseStep>& steps, const std::vector<bool>& in, int dim,
                   uint32_t width, uint64_t slab_cells) {
  uint64_t work = 0;
  for (size_t i = 0; i < steps.size(); ++i) {
    if (in[i] && splits_on(d, steps[i], dim, width, slab_cells)) work = std::min(work + cells_of(d, steps[i], width), UINT64_MAX / 2);
  }
  return work;
}

// Stages of the steps [begin, end), all of one first dim. A stage takes the
// dim free in most of the work, then further dims while they keep most of
// its work and its slabs outgrow slab_cells; the steps left over go the
// same way; steps free in no dim share one unsplit stage.
void stage_group(DenseShape& d, size_t begin, size_t end, uint32_t width, const StageLimits& limits) {
  const std::vector<DenseStep> steps(d.steps.begin() + static_cast<std::ptrdiff_t>(begin),
                                     d.steps.begin() + static_cast<std::ptrdiff_t>(end));
  std::vector<bool> left(steps.size(), true);
  size_t at = begin;
  const uint64_t table_cells = saturating_mul(d.states, width);
  while (at < end) {
    DenseStage stage{at, at};
    std::vector<bool> in = left;
    uint64_t work = UINT64_MAX;
    std::array<bool, 26> used{};
    while (stage.splits < d.dims) {
      if (stage.splits > 0 && table_cells / stage.slabs <= limits.slab_cells && stage.slabs >= 2 * limits.threads) break;
      int best = -1;
      uint64_t best_work = 0;
      for (int dim = 0; dim < d.dims; ++dim) {
        if (used[dim]) continue;
        const uint64_t w = free_work(d, steps, in, dim, width, limits.slab_cells);
        if (w > best_work) best = dim, best_work = w;
      }
      if (best < 0 || (stage.splits > 0 && best_work < kKeepShare * work)) break;
      for (size_t i = 0; i < steps.size(); ++i) in[i] = in[i] && splits_on(d, steps[i], best, width, limits.slab_cells);
      work = best_work;
      used[best] = true;
      stage.split[stage.splits++] = best;
      stage.slabs *= uint64_t{d.top[best]} + 1;
    }
    if (stage.splits == 0) in = left;  // free in no dim: the rest, unsplit
    if (stage.splits == 0 || work < limits.min_split_cells) stage.splits = 0, stage.slabs = 1;
    for (size_t i = 0; i < steps.size(); ++i) {
      if (!in[i]) continue;
      d.steps[at++] = steps[i];
      left[i] = false;
    }
    stage.end = at;
    d.stages.push_back(stage);
  }
}

}  // namespace

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
    stage_group(d, begin, end, width, limits);
    begin = end;
  }

}

uint64_t step_work(const DenseShape& d, uint32_t width) {
  uint64_t work = 0;
  for (const DenseStep& step : d.steps) work = std::min(work + cells_of(d, step, width), UINT64_MAX / 2);
  return work;
}

}  // namespace anagram::internal
