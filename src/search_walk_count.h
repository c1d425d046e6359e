// Counting by the fast search's walk: every class multiset that spells the
// phrase adds the number of word multisets it stands for (a group of m words
// from a class of c words gives C(c+m-1, m)), so no solution is ever built.
// This is the count for requests the table count cannot express: start-letter
// demands and patterns, which constrain a solution as a whole.
#pragma once

#include "search_count_number.h"
#include "search_prepare.h"
#include "search_rules.h"

// Counts the solutions of `p` (not finished), stopping at its solution cap
// (the count is then the cap) or when `watch` says so.
BigUnsigned count_by_walk(const PreparedSearch& p, StopWatch& watch);
