#include "search_fast.h"

#include <utility>

#include "result_order.h"
#include "search_expand.h"
#include "search_prepare.h"
#include "search_walk.h"

namespace {

// The word sink of a solve request: collects every solution for sorting and
// stops the search when the cap is full.
class SortingSink {
 public:
  SortingSink(SolutionSorter& sorter, const std::optional<uint32_t>& cap, StopWatch& watch)
      : sorter_(sorter), cap_(cap), watch_(watch) {}

  void take(const uint32_t* ids, size_t count) {
    sorter_.add(ids, count);
    if (cap_reached(cap_, sorter_.size())) watch_.stop(StopReason::kSolutionCap);
  }

 private:
  SolutionSorter& sorter_;
  const std::optional<uint32_t>& cap_;
  StopWatch& watch_;
};

}  // namespace

SolutionList run_fast_search(const Trie& trie, const CharCounts& phrase, const SolverConstraints& c,
                             const StopCondition& stop) {
  StopWatch watch(stop);
  PreparedSearch prepared = prepare_search(trie, phrase, c, watch);
  if (prepared.finished) {
    SolutionList none;
    none.stop = *prepared.finished;
    return none;
  }
  // The words go to the sorter; the walk and the expansion need only the
  // classes.
  SolutionSorter sorter(std::move(prepared.candidates.words));
  SortingSink sink(sorter, prepared.rules.max_solutions, watch);
  ClassExpander<SortingSink> expander(prepared, sink, watch);
  visit_packed_word(prepared.layout, [&]<typename Word>(std::type_identity<Word>) {
    walk_class_multisets<Word>(prepared, expander, watch);
  });
  SolutionList list = sorter.finish();
  list.stop = watch.reason();
  return list;
}
