// The untraced search. It returns the same solutions as the step-by-step
// search but visits each multiset of words once instead of every ordering
// of it, in steps of their own files:
//
//   prepare_search (search_prepare.h): candidates, layout, classes; every
//     early exit
//   ClassWalk (search_walk.h): every multiset of classes that spells the
//     phrase
//   ClassExpander (search_expand.h): each class multiset as word multisets
//   a word sink: here the one that sorts them into the result order
#pragma once

#include "search_rules.h"
#include "solver_records.h"
#include "trie.h"

// At most kMaxFastPatterns distinct patterns (search_prepare.h).
SolutionList run_fast_search(const Trie& trie, const CharCounts& phrase, const SolverConstraints& c,
                             const StopCondition& stop);
