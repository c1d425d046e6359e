// File: search/shared/prepare.h
//
// The prepared request every search takes (search/search.h): gather the
// candidate words, lay out the phrase's letters and group the candidates
// into classes. Every early exit of a request happens here. Shared by every
// search; tested through them (tests/cpp/search_test.cpp).
//
//  - Candidates: the dictionary words that the phrase's letters can spell
//    and that pass the word rules (length, first letter). Walking the tree's
//    children in letter order yields them in byte order, so their numbers
//    compare like the words.
//  - Layout: the phrase's letters ordered rarest first (the fewer candidates
//    hold a letter, the fewer branches there are where it must be spent) and
//    packed (search/shared/packed.h).
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

#include "search/shared/packed.h"
#include "search/shared/rules.h"
#include "request/records.h"
#include "dict/trie.h"

namespace anagram {

// Distinct patterns one class mask can tell apart (one bit each).
inline constexpr size_t kMaxFastPatterns = kMachineWordBits;

struct Candidates {
  std::vector<std::string> words;                         // in byte order
  std::vector<std::array<uint32_t, kLetterCount>> counts;  // letters of each word
};

// The request's options in the form the fast search checks them.
struct RequestRules {
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

// One request, prepared once by the dispatcher for whichever search it
// chooses: the phrase's letters, the request's rules, the candidate words and
// their classes. The pointers are the caller's and live as long as the call.
struct PreparedRequest {
  const Trie* trie = nullptr;
  const SolverConstraints* constraints = nullptr;
  CharCounts phrase;
  // Only the step-by-step search takes this request: a trace was asked for,
  // or the request has more distinct patterns than a class mask tells apart.
  // Nothing below is filled in then.
  bool by_steps = false;
  // Set when there is nothing to search: no solutions, for this reason.
  std::optional<SearchStatus> finished;
  RequestRules rules;
  Candidates candidates;
  Layout layout;
  std::vector<WordClass> classes;
  std::vector<std::vector<uint32_t>> classes_by_field;  // class numbers, longest first
  uint32_t longest = 0;                                 // letters of the longest class

  bool tracks_starts() const { return !rules.must_start.empty(); }
};

// The phrase's letters as fields, those the fewest candidates hold first
// (ties in letter order).
Layout make_walk_layout(const CharCounts& phrase, const Candidates& candidates);

// Does the request go to the step-by-step search alone? With a trace (only
// it writes one), or with more distinct patterns than kMaxFastPatterns.
bool needs_steps(const SolverConstraints& c, bool traced);

// Everything the searches need, or `finished` set, or `by_steps` (then
// nothing is gathered, so the step-by-step search meets the request as the
// caller gave it). Looks at the clock before and after gathering the
// candidates (a huge dictionary can take a while).
PreparedRequest prepare_request(const Trie& trie, const CharCounts& phrase, const SolverConstraints& c,
                                StopWatch& watch, bool traced = false);

}  // namespace anagram
