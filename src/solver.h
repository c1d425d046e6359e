// The search engine: the records of one solve request, the request itself
// and the dictionary it searches.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "char_utils.h"
#include "trie.h"

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

SolverConstraints build_constraints(const SolveOptions& options);

// The mutable state of one search.
struct SearchState {
  std::chrono::steady_clock::time_point start_time;
  std::optional<std::vector<bool>> pattern_mask;
  uint32_t solutions_found = 0;
  bool timed_out = false;
};

SearchState make_search_state(const SolverConstraints& constraints);

// The sorted result of a request. Words are numbered in ascending byte order,
// so comparing numbers compares words. The solutions come in blocks, one
// after another; within a block every solution has `width` words and is one
// row of `width` ascending numbers.
struct SolutionList {
  struct Block {
    uint32_t width;
    std::vector<uint32_t> rows;
    size_t size() const { return rows.size() / width; }
  };
  std::vector<std::string> words;
  std::vector<Block> blocks;

  size_t size() const;
  // Convenience for tests and tools: the solutions as lists of strings.
  std::vector<std::vector<std::string>> to_vectors() const;
};

struct TraceFile;

struct AnagramSolver {
  Trie trie;

  // Inserts each line of `text` as one word; CRLF and LF both end a line.
  void load_dictionary_from_text(std::string_view text);

  // Every combination of dictionary words whose letters are exactly the
  // phrase's, under the constraints, in the result order. Never fails.
  SolutionList solve(std::string_view phrase, const SolverConstraints& constraints) const;
};
