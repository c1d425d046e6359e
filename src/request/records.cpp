// File: request/records.cpp
//
// Building the constraints; row batches and lists (request/records.h).
// The request records. Tested by tests/cpp/search_rules_test.cpp.
#include "request/records.h"

#include <chrono>
#include <utility>
#include <variant>

namespace anagram {

SolverConstraints build_constraints(const SolveOptions& options) {
  SolverConstraints c;
  c.must_start_with = parse_char_list_to_counts(options.must_start_with);
  c.can_only_ever_start_with = parse_char_list_to_set(options.can_only_ever_start_with);
  c.must_not_start_with = parse_char_list_to_set(options.must_not_start_with);
  c.max_words = options.max_words;
  c.min_word_length = options.min_word_length;
  c.timeout_seconds = options.timeout_seconds;
  c.max_solutions = options.max_solutions;
  if (options.contains_patterns) {
    c.contains_patterns.emplace();
    for (const std::string& entry : *options.contains_patterns) {
      std::string text = normalize_word(entry);
      if (text.empty()) continue;
      CharCounts counts = std::get<CharCounts>(CharCounts::from_str(text));
      c.contains_patterns->push_back(ProcessedPattern{std::move(text), counts});
    }
  }
  return c;
}

double elapsed_seconds(std::chrono::steady_clock::time_point start) {
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
  return static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1000000000.0;
}

size_t RowBatch::size() const {
  size_t n = 0;
  for (const RowBlock& block : blocks) n += block.size();
  return n;
}

void RowBatch::append(uint32_t width, const uint32_t* rows, size_t count) {
  if (count == 0) return;
  if (blocks.empty() || blocks.back().width != width) blocks.push_back({width, {}});
  std::vector<uint32_t>& out = blocks.back().rows;
  out.insert(out.end(), rows, rows + count * width);
}

size_t SolutionList::size() const {
  size_t n = 0;
  for (const Block& block : blocks) n += block.size();
  return n;
}

}  // namespace anagram
