// The records a solve request is made of: the raw options, the constraints
// built from them, and the sorted result. A leaf: it rests only on the
// letter arithmetic, so every search and the dispatcher can include it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "char_utils.h"
#include "search_count_number.h"

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

// Why a search ended. Only kCompleted means every solution was found.
enum class StopReason {
  kCompleted,
  kTimeLimit,    // timeout_seconds passed
  kSolutionCap,  // max_solutions solutions collected
  kCancelled,    // the caller's poll hook asked to stop
};

// A caller's way to cancel a running search: polled where the search looks
// at the clock; returning true stops it. Must not throw.
struct PollHook {
  bool (*poll)(void* context) = nullptr;
  void* context = nullptr;
};

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
  // Why the search that produced the list ended; an early exit (nothing to
  // search) counts as completed.
  StopReason stop = StopReason::kCompleted;

  size_t size() const;
};

// How many solutions a request has, without them, and why counting ended:
// kCompleted, or kSolutionCap when the count is max_solutions, are answers;
// after kTimeLimit or kCancelled the value means nothing.
struct SolutionCount {
  BigUnsigned value;
  StopReason stop = StopReason::kCompleted;
};
