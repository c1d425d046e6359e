// File: search/fast/fast.cpp
//
// The fast search (fast_search in search/search.h). Tested by
// tests/cpp/search_test.cpp and the differential tests of every search.
//
// The untraced search. It returns the same solutions as the step-by-step
// search but visits each multiset of words once instead of every ordering
// of it, in steps of their own files:
//
//   prepare_request (search/shared/prepare.h): candidates, layout, classes;
//     every early exit
//   ClassWalk (search/shared/walk.h): every multiset of classes that spells
//     the phrase
//   ClassExpander (search/fast/expand.h): each class multiset as word
//     multisets
//   a word sink: here the one that sorts them into the result order
#include <utility>

#include "request/result_order.h"
#include "search/fast/expand.h"
#include "search/search.h"
#include "search/shared/prepare.h"
#include "search/shared/walk.h"

namespace anagram {

namespace {

// The word sink of a solve request: collects every solution for sorting and
// stops the search when the cap is full.
class SortingSink {
 public:
  SortingSink(SolutionSorter& sorter, const std::optional<uint32_t>& cap, StopWatch& watch)
      : sorter_(sorter), cap_(cap), watch_(watch) {}

  void take(const uint32_t* ids, size_t count) {
    sorter_.add(ids, count);
    if (cap_reached(cap_, sorter_.size())) watch_.stop(SearchStatus::kSolutionCap);
  }

 private:
  SolutionSorter& sorter_;
  const std::optional<uint32_t>& cap_;
  StopWatch& watch_;
};

}  // namespace

SolutionList fast_search(const PreparedRequest& prepared, StopWatch& watch) {
  // The words go to the sorter; the walk and the expansion need only the
  // classes.
  SolutionSorter sorter(prepared.candidates.words);
  SortingSink sink(sorter, prepared.rules.max_solutions, watch);
  ClassExpander<SortingSink> expander(prepared, sink, watch);
  visit_packed_word(prepared.layout, [&]<typename Word>(std::type_identity<Word>) {
    walk_class_multisets<Word>(prepared, expander, watch);
  });
  SolutionList list = sorter.finish();
  list.stop = watch.reason();
  return list;
}

}  // namespace anagram
