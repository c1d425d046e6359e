// File: request/records.h
//
// The records a solve request is made of: the raw options, the constraints
// built from them, and the sorted result. A leaf: it rests only on the
// letter arithmetic, so every search and the dispatcher can include it.
//
// The request records, the bottom of the engine. Tested by
// tests/cpp/search_rules_test.cpp and through every search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "text/char_utils.h"
#include "request/big_unsigned.h"
#include "request/stop.h"

namespace anagram {

// One entry of contains_patterns, prepared: its letters and their counts.
struct ProcessedPattern {
  std::string text;  // normalised, never empty
  CharCounts counts;
};

// The options of one request, as the caller gave them. Absent (nullopt) and
// present-but-empty are different values and are never merged.
struct SolverConstraints {
  std::optional<CharCountMap> must_start_with;
  std::optional<CharSet> can_only_ever_start_with;
  std::optional<CharSet> must_not_start_with;
  std::optional<uint32_t> max_words;
  std::optional<uint32_t> min_word_length;
  std::optional<double> timeout_seconds;
  std::optional<uint32_t> max_solutions;
  std::optional<std::vector<ProcessedPattern>> contains_patterns;
};

// The raw options of solve, before they are parsed into constraints.
struct SolveOptions {
  std::optional<std::string> must_start_with;
  std::optional<std::string> can_only_ever_start_with;
  std::optional<std::string> must_not_start_with;
  std::optional<uint32_t> max_words;
  std::optional<uint32_t> min_word_length;
  std::optional<double> timeout_seconds;
  std::optional<uint32_t> max_solutions;
  std::optional<std::vector<std::string>> contains_patterns;
};

// Parses the letter lists and patterns; copies the numbers. Cannot fail.
SolverConstraints build_constraints(const SolveOptions& options);

// The sorted result of a request. Words are numbered in ascending byte order,
// so comparing numbers compares words. The solutions come in blocks, one
// after another; within a block every solution has `width` words and is one
// row of `width` ascending numbers.
struct RowBlock {
  uint32_t width;
  std::vector<uint32_t> rows;
  size_t size() const { return rows.size() / width; }
};

// The sink every search writes rows into: blocks of rows in the result
// order, a new block whenever the width changes. Consecutive blocks may
// share a width (a batch boundary, or a change of shortest word).
struct RowBatch {
  std::vector<RowBlock> blocks;

  size_t size() const;
  void clear() { blocks.clear(); }
  // Appends `count` rows of `width` numbers from `rows`.
  void append(uint32_t width, const uint32_t* rows, size_t count);
};

struct SolutionList {
  using Block = RowBlock;
  std::vector<std::string> words;
  std::vector<Block> blocks;
  // Why the search that produced the list ended; an early exit (nothing to
  // search) counts as completed.
  SearchStatus stop = SearchStatus::kCompleted;

  size_t size() const;
};

// How many solutions a request has, without them, and why counting ended:
// kCompleted, or kSolutionCap when the count is max_solutions, are answers;
// after kTimeLimit or kCancelled the value means nothing.
struct SolutionCount {
  BigUnsigned value;
  SearchStatus stop = SearchStatus::kCompleted;
  // No answer: counting exactly would take more memory or time than a count
  // may (the value means nothing).
  bool too_large = false;
};

}  // namespace anagram
