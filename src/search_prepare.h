// The first step of the fast search, shared by everything that walks its
// classes: gather the candidate words, lay out the phrase's letters and
// group the candidates into classes. Every early exit of the fast search
// happens here.
//
//  - Candidates: the dictionary words that the phrase's letters can spell
//    and that pass the word rules (length, first letter). Walking the tree's
//    children in letter order yields them in byte order, so their numbers
//    compare like the words.
//  - Layout: the phrase's letters ordered rarest first (the fewer candidates
//    hold a letter, the fewer branches there are where it must be spent) and
//    packed (search_packed.h).
//  - Classes: candidates with the same letters, and the same start-letter tag
//    and pattern set when those options are given. Each class is listed under
//    its lowest field, longest first.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "search_packed.h"
#include "search_rules.h"
#include "solver_records.h"
#include "trie.h"

// Distinct patterns one class mask can tell apart (one bit each).
inline constexpr size_t kMaxFastPatterns = kMachineWordBits;

struct Candidates {
  std::vector<std::string> words;                         // in byte order
  std::vector<std::array<uint32_t, kLetterCount>> counts;  // letters of each word
};

// The request's options in the form the fast search checks them.
struct FastRules {
  std::optional<uint32_t> max_words;
  std::optional<uint32_t> max_solutions;
  std::vector<std::string> patterns;                 // distinct, at most kMaxFastPatterns
  std::optional<CharCountMap> must_start_with;       // the demand, as given
  std::vector<std::pair<int, uint32_t>> must_start;  // the same as (letter slot, words needed)
};

struct WordClass {
  std::array<uint32_t, kLetterCount> counts;  // letters, by letter
  uint32_t length;
  uint64_t patterns;                 // bit p: the words hold rules.patterns[p]
  int start_letter;                  // slot of the first letter; -1 when starts are not tracked
  std::vector<uint32_t> words;       // ascending candidate numbers
};

struct PreparedSearch {
  // Set when there is nothing to walk: no solutions, for this reason.
  std::optional<StopReason> finished;
  CharCounts phrase;
  FastRules rules;
  Candidates candidates;
  Layout layout;
  std::vector<WordClass> classes;
  std::vector<std::vector<uint32_t>> classes_by_field;  // class numbers, longest first
  uint32_t longest = 0;                                 // letters of the longest class

  bool tracks_starts() const { return !rules.must_start.empty(); }
};

// The phrase's letters as fields, those the fewest candidates hold first
// (ties in letter order).
Layout make_layout(const CharCounts& phrase, const Candidates& candidates);

// Everything the walk needs, or `finished` set. `c` may hold at most
// kMaxFastPatterns distinct patterns (more go to the step-by-step search).
// Looks at the clock before and after gathering the candidates (a huge
// dictionary can take a while).
PreparedSearch prepare_search(const Trie& trie, const CharCounts& phrase, const SolverConstraints& c,
                              StopWatch& watch);
