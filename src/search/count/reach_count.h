// File: search/count/reach_count.h
//
// The count over only the reachable sub-multisets of the phrase's letters,
// for phrases whose dense table (table_count.h) would pass its cap; search
// part. Tested by tests/cpp/search_count_test.cpp against the dense table
// and by the differential tests of every search.
//
// The letters are ordered, those the fewest classes hold first, and every
// class goes to the group of its first letter in that order. A word multiset
// is then taken group by group: starting from the whole phrase, the states
// still to spell are kept in hashed tables, one per first letter left, and
// the states of the lowest such letter are expanded by every way its group
// can use up that letter, each landing in the table of its own next letter.
// Every state is stored once and only while it waits; no state the phrase
// cannot reach is ever made. The commonest letters (the tail) stay out of
// the hashed key: each state holds a small dense table over them, so one
// flow between states adds a run of cells where it would otherwise hash a
// state per combination of those letters.
#pragma once

#include <span>

#include "search/count/table_count.h"

namespace anagram {

// Counts as count_anagrams does, with limits.max_reach_bytes capping the
// tables and limits.threads sharing the work. too_large: the tables passed
// the cap (the count stopped there) or the phrase's counts do not pack into
// 128 bits.
CountResult count_reachable(const CharCounts& phrase, std::span<const AnagramClass> classes,
                            const CountLimits& limits);

}  // namespace anagram
